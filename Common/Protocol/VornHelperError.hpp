#pragma once
// The error of the XPC protocol: every failed reply of the helper that
// carries data holds one, wrapped in an ErrorStatus.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Common/Protocol/CaseError.hpp"
#include "Common/Protocol/ErrorCases.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/PayloadCoding.hpp"

struct VornHelperErrorCases {
  JORVU_EMPTY_CASE(Crash);
  JORVU_EMPTY_CASE(GameNotExist);
  JORVU_EMPTY_CASE(GameAlreadyRegistered);
  JORVU_EMPTY_CASE(WorkRequired);
  JORVU_EMPTY_CASE(NoWorkRequired);
  struct WorkingAnotherGame {
    static constexpr const char* caseName = "WorkingAnotherGame";
    std::uint32_t gameCode = 0;
    template <class S, class F>
    static void fields(S& s, F&& f) {
      f("gameCode", s.gameCode);
    }
    bool operator==(const WorkingAnotherGame&) const = default;
  };
  using Maintenance = errorcase::Maintenance;
  using OSVersionLimit = errorcase::OSVersionLimit;
  struct WorkFailed : ErrorCodes {
    static constexpr const char* caseName = "WorkFailed";
    bool operator==(const WorkFailed&) const = default;
  };
  using DiskSizeLack = errorcase::DiskSizeLack;
  using NetworkError = errorcase::NetworkError;
  // The sign-in ticket service's own error code (a value without a label).
  struct VantixError {
    static constexpr const char* caseName = "VantixError";
    std::int64_t code = 0;
    template <class S, class F>
    static void fields(S& s, F&& f) {
      f("_0", s.code);
    }
    bool operator==(const VantixError&) const = default;
  };
  JORVU_EMPTY_CASE(ExecuteFailed);
  JORVU_EMPTY_CASE(UnsupportedOS);
  JORVU_EMPTY_CASE(UnsupportedAppLaunching);

  using Case = std::variant<Crash, GameNotExist, GameAlreadyRegistered, WorkRequired, NoWorkRequired,
                            WorkingAnotherGame, Maintenance, OSVersionLimit, WorkFailed, DiskSizeLack,
                            NetworkError, VantixError, ExecuteFailed, UnsupportedOS, UnsupportedAppLaunching>;
};

class VornHelperError : public payload::CaseError<VornHelperErrorCases> {
 public:
  using CaseError::CaseError;
};

// The payload of a failed reply.
struct ErrorStatus {
  using record_tag = void;
  VornHelperError error;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("error", s.error);
  }
  bool operator==(const ErrorStatus&) const = default;

  // Throws jsoncoding::EncodingError for a non-finite OSVersionLimit value.
  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError.
  static ErrorStatus decode(std::string_view text) { return payload::decode<ErrorStatus>(text, "ErrorStatus"); }
  static std::optional<ErrorStatus> tryDecode(std::string_view text, std::string* error = nullptr) {
    return payload::tryDecode<ErrorStatus>(text, "ErrorStatus", error);
  }
};

JORVU_PAYLOAD_HASH(VornHelperError);
JORVU_PAYLOAD_HASH(ErrorStatus);
