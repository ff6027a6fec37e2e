#pragma once
// A game's state as the helper reports it to the app.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Common/Protocol/PayloadCoding.hpp"

struct GameStatus {
  using record_tag = void;

  // In declaration order; a case object without values on the wire.
  enum class Status : std::uint8_t { registered, install, patch, restore, ready, cancel, error };

  // The progress of the running or last job.
  struct ProgressInfo {
    using record_tag = void;
    std::uint32_t operationType = 0;
    std::uint64_t totalSize = 0;
    std::uint64_t currentSize = 0;
    bool isRetry = false;

    template <class S, class F>
    static void fields(S& s, F&& f) {
      f("operationType", s.operationType);
      f("totalSize", s.totalSize);
      f("currentSize", s.currentSize);
      f("isRetry", s.isRetry);
    }
    bool operator==(const ProgressInfo&) const = default;

    std::string encode() const;
    // Throws jsoncoding::DecodingError.
    static ProgressInfo decode(std::string_view text);
    // A whole text read as an optional record: the text null is absent.
    static std::optional<ProgressInfo> decodeOptional(std::string_view text);
  };

  std::uint32_t gameCode = 0;
  Status status = Status::registered;
  std::optional<ProgressInfo> progress;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("gameCode", s.gameCode);
    f("status", s.status);
    f("progress", s.progress);
  }
  bool operator==(const GameStatus&) const = default;

  std::string encode() const;
  // Throws jsoncoding::DecodingError.
  static GameStatus decode(std::string_view text);
  static std::optional<GameStatus> tryDecode(std::string_view text, std::string* error = nullptr);
};

// The case name ("registered", "install", ...).
const char* toString(GameStatus::Status status);

template <>
struct payload::Coder<GameStatus::Status> {
  static constexpr const char* names[] = {"registered", "install", "patch", "restore", "ready", "cancel", "error"};
  static void read(const Value& v, std::string_view what, GameStatus::Status& out);
  static void write(JsonWriter& w, GameStatus::Status value);
  static std::size_t hash(GameStatus::Status value) { return static_cast<std::size_t>(value); }
  static std::string describe(GameStatus::Status value) { return toString(value); }
};

JORVU_PAYLOAD_HASH(GameStatus::ProgressInfo);
JORVU_PAYLOAD_HASH(GameStatus);
