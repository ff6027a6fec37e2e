#include "JorvuVorn/Model/Popup/PopupChoice.hpp"

#include <type_traits>

namespace {

using Choice = std::variant<PopupLogOnly, PopupChoice>;
using E = VornHelperError;

constexpr PanelSize kSmall{460, 213};
constexpr PanelSize kSetup{460, 184};

Choice logOnly(VornLogLevel level, std::string line) { return PopupLogOnly{level, std::move(line)}; }

Choice unknownError(const char* message) { return PopupChoice{UnknownErrorView{kSmall, message}, kSmall, true}; }

Choice workFailed(const E::WorkFailed& error) {
  const auto operation = setupOpreation(error.errorOperation);
  if (!operation) return unknownError("unknown error.");
  const ErrorCodeInfo codes = ErrorCodeInfo::from(error.errorCode, error.mainErrorCode, error.subErrorCode);
  return PopupChoice{SetupErrorView(kSetup, SetupError{codes, *operation}), kSetup, true};
}

Choice diskSizeLack(const E::DiskSizeLack& error) {
  constexpr PanelSize size{480, 287};
  std::optional<SetupOpreation> operation;
  if (error.status == GameStatus::Status::install) operation = SetupOpreation::install;
  if (error.status == GameStatus::Status::patch) operation = SetupOpreation::update;
  if (!operation) return unknownError("unknown error.");
  return PopupChoice{DriverSpaceErrorView(size, CapacityError{error.require, error.total, *operation}), size, true};
}

struct Chooser {
  Choice operator()(const E::WorkingAnotherGame& e) const {
    return logOnly(VornLogLevel::debug, "WorkingAnotherGame=" + std::to_string(e.gameCode));
  }
  Choice operator()(const E::GameAlreadyRegistered&) const {
    return logOnly(VornLogLevel::debug, "already registered");
  }
  Choice operator()(const E::WorkRequired&) const { return logOnly(VornLogLevel::info, "WorkRequired"); }
  Choice operator()(const E::NoWorkRequired&) const { return logOnly(VornLogLevel::debug, "noWorkRequired"); }
  Choice operator()(const E::Maintenance& e) const {
    constexpr PanelSize size{480, 376};
    return PopupChoice{MaintenanceErrorView{size, {e.startTime, e.endTime, e.reason, e.relatedLink}}, size, true};
  }
  Choice operator()(const E::OSVersionLimit& e) const {
    constexpr PanelSize size{480, 347};
    return PopupChoice{OSVersionErrorView{size, {e.currentOS, e.limitOS}}, size, true};
  }
  Choice operator()(const E::WorkFailed& e) const { return workFailed(e); }
  Choice operator()(const E::DiskSizeLack& e) const { return diskSizeLack(e); }
  Choice operator()(const E::NetworkError& e) const {
    return PopupChoice{InternetErrorView{kSmall, ErrorCodeInfo::from(e.errorCode, e.mainErrorCode, e.subErrorCode)},
                       kSmall, true};
  }
  Choice operator()(const E::VantixError& e) const { return PopupChoice{VANTIXErrorView{kSmall, e.code}, kSmall, true}; }
  Choice operator()(const E::Crash&) const { return unknownError("unknown error."); }
  Choice operator()(const E::GameNotExist&) const { return unknownError("Game Not Exist."); }
  Choice operator()(const E::ExecuteFailed&) const { return unknownError("Execute Failed."); }
  Choice operator()(const E::UnsupportedOS&) const {
    constexpr PanelSize size{320, 226};
    return PopupChoice{UnsupportedOSErrorView{size}, size, false};
  }
  Choice operator()(const E::UnsupportedAppLaunching&) const {
    constexpr PanelSize size{320, 203};
    return PopupChoice{UnsupportedAppLaunchingErrorView{size}, size, false};
  }
};

}  // namespace

std::variant<PopupLogOnly, PopupChoice> choosePopup(const VornHelperError& error) {
  return std::visit(Chooser{}, error.value());
}

std::optional<PopupChoice> preparePopup(const VornHelperError& error, std::uint32_t gameCode) {
  auto choice = choosePopup(error);
  if (auto* logged = std::get_if<PopupLogOnly>(&choice)) {
    VornLogger::logging(logged->level, logged->line);
    return std::nullopt;
  }
  VornLogger::logging(VornLogLevel::error, "gameCode=" + std::to_string(gameCode) + " " + error.description());
  return std::get<PopupChoice>(std::move(choice));
}
