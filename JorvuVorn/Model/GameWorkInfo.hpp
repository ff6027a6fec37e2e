#pragma once
// The work step's progress: what the setup panel shows and hands on to the
// page. `GameWorkInfo` is a plain value; `GameWorkInfoObserver` holds the
// current one and tells its subscribers when it changes.
//
// Thread contract: the observer belongs to the main loop. update(),
// current(), subscribe() and a subscription's cancel() are called there only
// (the work step posts its updates onto the main loop); subscribers are
// called there, synchronously, in the order they subscribed.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Common/Protocol/PayloadCoding.hpp"

struct GameWorkInfo {
  using record_tag = void;
  std::string step;  // "install", "patch", "error" or empty
  float rate = 0;    // fraction done, meaningful from 0 to 1

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("step", s.step);
    f("rate", s.rate);
  }
  bool operator==(const GameWorkInfo&) const = default;

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError (both keys required, others ignored).
  static GameWorkInfo decode(std::string_view text) { return payload::decode<GameWorkInfo>(text, "GameWorkInfo"); }
};

class GameWorkInfoObserver : public std::enable_shared_from_this<GameWorkInfoObserver> {
 public:
  using Subscriber = std::function<void(const GameWorkInfo&)>;

  // Ends one subscription when cancelled or destroyed. Safe to outlive the
  // observer.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(std::weak_ptr<GameWorkInfoObserver> observer, std::uint64_t id)
        : observer_(std::move(observer)), id_(id) {}
    Subscription(Subscription&& other) noexcept
        : observer_(std::move(other.observer_)), id_(std::exchange(other.id_, 0)) {}
    Subscription& operator=(Subscription&& other) noexcept {
      if (this != &other) {
        cancel();
        observer_ = std::move(other.observer_);
        id_ = std::exchange(other.id_, 0);
      }
      return *this;
    }
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription() { cancel(); }

    void cancel() {
      if (id_ == 0) return;
      if (auto observer = observer_.lock()) observer->subscribers_.erase(id_);
      id_ = 0;
    }
    bool isActive() const { return id_ != 0; }

   private:
    std::weak_ptr<GameWorkInfoObserver> observer_;
    std::uint64_t id_ = 0;
  };

  static std::shared_ptr<GameWorkInfoObserver> make(GameWorkInfo initial = {"install", 0}) {
    return std::shared_ptr<GameWorkInfoObserver>(new GameWorkInfoObserver(std::move(initial)));
  }

  const GameWorkInfo& current() const { return value_; }

  // Stores `info` when 0 < rate <= 1 and it differs from the stored value,
  // then notifies every subscriber; otherwise does nothing.
  void update(const GameWorkInfo& info) {
    if (!(info.rate > 0.0f && info.rate <= 1.0f)) return;  // also refuses NaN
    if (info == value_) return;
    value_ = info;
    // Copy first: a subscriber may cancel itself or others while notified.
    auto subscribers = subscribers_;
    for (auto& [id, subscriber] : subscribers) {
      if (subscribers_.count(id) != 0) subscriber(value_);
    }
  }

  // Delivers the current value at once, then every stored one.
  [[nodiscard]] Subscription subscribe(Subscriber subscriber) {
    const std::uint64_t id = ++lastId_;
    subscribers_.emplace(id, subscriber);
    Subscription subscription(weak_from_this(), id);
    subscriber(value_);
    return subscription;
  }

 private:
  explicit GameWorkInfoObserver(GameWorkInfo initial) : value_(std::move(initial)) {}

  GameWorkInfo value_;
  std::map<std::uint64_t, Subscriber> subscribers_;
  std::uint64_t lastId_ = 0;
};
