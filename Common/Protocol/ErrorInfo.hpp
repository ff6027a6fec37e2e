#pragma once
// The game worker's error record and the disk-space record carried in its
// message for main error code 933. Both are read by the payload rules, so
// the engine's hand-written texts (blanks around separators, any member
// order) read as well as compact ones.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Common/Protocol/ErrorCases.hpp"
#include "Common/Protocol/PayloadCoding.hpp"

struct CapacityInfo {
  using record_tag = void;
  std::uint64_t require = 0;  // bytes the job needs
  std::uint64_t total = 0;    // free bytes of the volume
  std::uint32_t status = 0;   // work mode of the job: 1 install, 2 patch

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("require", s.require);
    f("total", s.total);
    f("status", s.status);
  }
  bool operator==(const CapacityInfo&) const = default;

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError.
  static CapacityInfo decode(std::string_view text) { return payload::decode<CapacityInfo>(text, "CapacityInfo"); }
};

struct ErrorInfo : ErrorCodes {
  using record_tag = void;
  static constexpr std::int32_t networkErrorCode = -60;
  static constexpr std::uint32_t diskSizeLackMainErrorCode = 933;

  std::string errorMessage;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    ErrorCodes::fields(s, f);
    f("errorMessage", s.errorMessage);
  }
  bool operator==(const ErrorInfo&) const = default;

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError.
  static ErrorInfo decode(std::string_view text) { return payload::decode<ErrorInfo>(text, "ErrorInfo"); }
  static std::optional<ErrorInfo> tryDecode(std::string_view text, std::string* error = nullptr) {
    return payload::tryDecode<ErrorInfo>(text, "ErrorInfo", error);
  }

  // The second stage of reading a disk-space failure: the message, already
  // unescaped by reading this record, decoded as a CapacityInfo. Throws
  // jsoncoding::DecodingError when it is none.
  CapacityInfo capacityInfo() const { return CapacityInfo::decode(errorMessage); }
};

JORVU_PAYLOAD_HASH(CapacityInfo);
JORVU_PAYLOAD_HASH(ErrorInfo);
