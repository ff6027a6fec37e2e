#pragma once
// What the helper's internal error (SubError) and the protocol's error
// (VornHelperError) hold alike, written once: the four numbers that name a
// failed job (the worker's error record ErrorInfo holds them too), and the
// cases that both errors carry unchanged. A record that holds the numbers
// derives from ErrorCodes and keeps aggregate initialisation
// ({errorCode, errorOperation, mainErrorCode, subErrorCode, ...}).
#include <cstdint>
#include <string>

#include "Common/Protocol/GameStatus.hpp"

struct ErrorCodes {
  std::int32_t errorCode = 0;
  std::uint32_t errorOperation = 0;
  std::uint32_t mainErrorCode = 0;
  std::uint32_t subErrorCode = 0;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("errorCode", s.errorCode);
    f("errorOperation", s.errorOperation);
    f("mainErrorCode", s.mainErrorCode);
    f("subErrorCode", s.subErrorCode);
  }
  bool operator==(const ErrorCodes&) const = default;
};

// The cases both errors name as their own (SubError::Maintenance is
// VornHelperError::Maintenance).
namespace errorcase {

struct Maintenance {
  static constexpr const char* caseName = "Maintenance";
  std::string startTime, endTime, reason, relatedLink;
  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("startTime", s.startTime);
    f("endTime", s.endTime);
    f("reason", s.reason);
    f("relatedLink", s.relatedLink);
  }
  bool operator==(const Maintenance&) const = default;
};

struct OSVersionLimit {
  static constexpr const char* caseName = "OSVersionLimit";
  float currentOS = 0;
  float limitOS = 0;
  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("currentOS", s.currentOS);
    f("limitOS", s.limitOS);
  }
  bool operator==(const OSVersionLimit&) const = default;
};

struct NetworkError : ErrorCodes {
  static constexpr const char* caseName = "NetworkError";
  bool operator==(const NetworkError&) const = default;
};

struct DiskSizeLack {
  static constexpr const char* caseName = "DiskSizeLack";
  std::uint64_t require = 0, total = 0;
  GameStatus::Status status = GameStatus::Status::registered;
  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("require", s.require);
    f("total", s.total);
    f("status", s.status);
  }
  bool operator==(const DiskSizeLack&) const = default;
};

}  // namespace errorcase
