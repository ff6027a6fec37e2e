#include "JorvuVorn/Model/Popup/PopupRecords.hpp"

#include <array>
#include <utility>

std::optional<SetupOpreation> setupOpreation(std::int64_t rawValue) {
  switch (rawValue) {
    case static_cast<std::int64_t>(SetupOpreation::install):
      return SetupOpreation::install;
    case static_cast<std::int64_t>(SetupOpreation::update):
      return SetupOpreation::update;
    default:
      return std::nullopt;
  }
}

const char* toString(SetupOpreation operation) {
  return operation == SetupOpreation::install ? "install" : "update";
}

ErrorCodeInfo ErrorCodeInfo::from(std::int32_t errorCode, std::uint32_t mainErrorCode, std::uint32_t subErrorCode) {
  return {std::to_string(errorCode), std::to_string(mainErrorCode), std::to_string(subErrorCode)};
}

namespace {

constexpr std::array<std::pair<VANTIXStatusError, const char*>, 16> kVantixStatuses = {{
    {VANTIXStatusError::unauthorized, "unauthorized"},
    {VANTIXStatusError::unsupportedRegion, "unsupportedRegion"},
    {VANTIXStatusError::serverUnderConstruction, "serverUnderConstruction"},
    {VANTIXStatusError::networkError, "networkError"},
    {VANTIXStatusError::blockAccount, "blockAccount"},
    {VANTIXStatusError::inProcessingWithdraw, "inProcessingWithdraw"},
    {VANTIXStatusError::ageLimit, "ageLimit"},
    {VANTIXStatusError::identityVerificationRequired, "identityVerificationRequired"},
    {VANTIXStatusError::accountBlockedByAdmin, "accountBlockedByAdmin"},
    {VANTIXStatusError::cannotFoundZQKUser, "cannotFoundZQKUser"},
    {VANTIXStatusError::unregisterTPA, "unregisterTPA"},
    {VANTIXStatusError::waitingForRegister, "waitingForRegister"},
    {VANTIXStatusError::longTermNoLogin, "longTermNoLogin"},
    {VANTIXStatusError::jorvuCompanyUnderConstruction, "jorvuCompanyUnderConstruction"},
    {VANTIXStatusError::notSupportedCountry, "notSupportedCountry"},
    {VANTIXStatusError::unknown, "unknown"},
}};

}  // namespace

std::optional<VANTIXStatusError> vantixStatusError(std::int64_t rawValue) {
  for (const auto& [status, name] : kVantixStatuses) {
    if (static_cast<std::int64_t>(status) == rawValue) return status;
  }
  return std::nullopt;
}

const char* toString(VANTIXStatusError status) {
  for (const auto& [candidate, name] : kVantixStatuses) {
    if (candidate == status) return name;
  }
  return "unknown";
}
