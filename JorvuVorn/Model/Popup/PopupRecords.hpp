#pragma once
// The small value records that carry a helper error's contents into the
// popup views, already in the form the views show: error codes as decimal
// texts, the failed work as an operation, the sign-in status as a case.
// Nothing here is sent anywhere or stored.
//
// Plain values; any thread.
#include <cstdint>
#include <optional>
#include <string>

// Which kind of work failed, with the worker's operation numbers as raw values.
enum class SetupOpreation : std::int32_t { install = 13000, update = 32000 };

// Nothing for a number that names no operation.
std::optional<SetupOpreation> setupOpreation(std::int64_t rawValue);
const char* toString(SetupOpreation operation);

struct MaintenanceError {
  std::string startTime;  // shown as received
  std::string endTime;
  std::string reason;
  std::string relatedLink;  // not shown
  bool operator==(const MaintenanceError&) const = default;
};

struct OSVersionError {
  float current = 0;  // the running system's version as major.minor
  float limit = 0;    // the lowest version the game allows
  bool operator==(const OSVersionError&) const = default;
};

// The worker's error codes as decimal texts ("-60", "0", "0").
struct ErrorCodeInfo {
  std::string errorCode;
  std::string mainErrorCode;
  std::string subErrorCode;
  bool operator==(const ErrorCodeInfo&) const = default;

  static ErrorCodeInfo from(std::int32_t errorCode, std::uint32_t mainErrorCode, std::uint32_t subErrorCode);
};

struct SetupError {
  ErrorCodeInfo errorCodeInfo;
  SetupOpreation setupOpreation = SetupOpreation::install;
  bool operator==(const SetupError&) const = default;
};

struct CapacityError {
  std::uint64_t require = 0;  // bytes the work needs
  std::uint64_t total = 0;    // free bytes of the disk
  SetupOpreation setupOpreation = SetupOpreation::install;
  bool operator==(const CapacityError&) const = default;
};

// The sign-in ticket service's status codes that the sign-in popup explains.
enum class VANTIXStatusError : std::int32_t {
  unauthorized = 14,
  unsupportedRegion = 25,
  serverUnderConstruction = -9,
  networkError = -22,
  blockAccount = 1204,
  inProcessingWithdraw = 1301,
  ageLimit = 1900,
  identityVerificationRequired = 2012,
  accountBlockedByAdmin = 2003,
  cannotFoundZQKUser = 2013,
  unregisterTPA = 2019,
  waitingForRegister = 2020,
  longTermNoLogin = 2403,
  jorvuCompanyUnderConstruction = 2999,
  notSupportedCountry = 18,
  unknown = -1,
};

// Nothing for a code that is not in the table.
std::optional<VANTIXStatusError> vantixStatusError(std::int64_t rawValue);
// The case name ("cannotFoundZQKUser").
const char* toString(VANTIXStatusError status);
