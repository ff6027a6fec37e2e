#pragma once
// The helper's internal error. The request handlers catch it and answer with
// a VornHelperError. It has the JSON form of the other case enumerations,
// although no message of the system carries it.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "Common/Protocol/CaseError.hpp"
#include "Common/Protocol/ErrorCases.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/PayloadCoding.hpp"

struct SubErrorCases {
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
};

class SubError : public payload::CaseError<SubErrorCases> {
 public:
  using CaseError::CaseError;

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError.
  static SubError decode(std::string_view text) { return payload::decode<SubError>(text, "SubError"); }
};

JORVU_PAYLOAD_HASH(SubError);
