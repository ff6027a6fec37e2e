#pragma once
// The helper's internal error. The request handlers catch it and answer with
// a VornHelperError. It has the JSON form of the other case enumerations,
// although no message of the system carries it.
#include <cstdint>
#include <exception>
#include <string>
#include <variant>

#include "Common/Protocol/ErrorCases.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/PayloadCoding.hpp"

class SubError : public std::exception {
 public:
  using case_tag = void;

  JORVU_EMPTY_CASE(Init);
  JORVU_EMPTY_CASE(GameNotExist);
  JORVU_EMPTY_CASE(GameAlreadyRegistered);
  JORVU_EMPTY_CASE(WorkRequired);
  JORVU_EMPTY_CASE(NoWorkRequired);
  JORVU_EMPTY_CASE(URLSessionStatusCodeNot200);
  JORVU_EMPTY_CASE(FileNotFound);
  JORVU_EMPTY_CASE(FileReadFailed);
  JORVU_EMPTY_CASE(JsonDataEncodeFailed);
  JORVU_EMPTY_CASE(JsonDataDecodeFailed);
  using Maintenance = errorcase::Maintenance;
  using OSVersionLimit = errorcase::OSVersionLimit;
  struct WorkFailed : ErrorCodes {
    static constexpr const char* caseName = "WorkFailed";
    std::string errorMessage;
    template <class S, class F>
    static void fields(S& s, F&& f) {
      ErrorCodes::fields(s, f);
      f("errorMessage", s.errorMessage);
    }
    bool operator==(const WorkFailed&) const = default;
  };
  using NetworkError = errorcase::NetworkError;
  using DiskSizeLack = errorcase::DiskSizeLack;
  JORVU_EMPTY_CASE(ExecuteFailed);
  JORVU_EMPTY_CASE(UnsupportedOS);
  JORVU_EMPTY_CASE(Unknown);

  using Case = std::variant<Init, GameNotExist, GameAlreadyRegistered, WorkRequired, NoWorkRequired,
                            URLSessionStatusCodeNot200, FileNotFound, FileReadFailed, JsonDataEncodeFailed,
                            JsonDataDecodeFailed, Maintenance, OSVersionLimit, WorkFailed, NetworkError,
                            DiskSizeLack, ExecuteFailed, UnsupportedOS, Unknown>;

  SubError() : SubError(Case{}) {}
  SubError(Case value);
  template <class C>
    requires std::is_constructible_v<Case, C>
  SubError(C value) : SubError(Case(std::move(value))) {}

  const Case& value() const { return value_; }
  template <class C>
  bool is() const { return std::holds_alternative<C>(value_); }
  template <class C>
  const C* get() const { return std::get_if<C>(&value_); }
  const char* caseName() const;

  // The printed form, such as WorkFailed(errorCode: -60, ...).
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const SubError& other) const { return value_ == other.value_; }

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError.
  static SubError decode(std::string_view text) { return payload::decode<SubError>(text, "SubError"); }

 private:
  Case value_;
  std::string description_;
};

JORVU_PAYLOAD_HASH(SubError);
