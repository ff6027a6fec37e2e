#include "JorvuVorn/ViewModel/WebLaunchingStep.hpp"

#include "Common/Protocol/VornHelperError.hpp"
#include "JorvuVorn/ViewModel/LaunchErrors.hpp"
#include "Platform/Cancellation.hpp"

using launcherrors::as;

WebLaunchingStep WebLaunchingStep::error(std::exception_ptr error) {
  WebLaunchingStep step(Case::error);
  step.error_ = std::move(error);
  return step;
}

std::string WebLaunchingStep::name() const {
  switch (case_) {
    case Case::error: return "error(" + launcherrors::description(error_) + ")";
    case Case::ready: return "ready";
    case Case::register_: return "register";
    case Case::execute: return "execute";
    case Case::done: return "done";
    case Case::reloading: return "reloading";
    case Case::work: return "work";
    case Case::cancel: return "cancel";
  }
  return "ready";
}

bool isLaunchFailure(const std::exception_ptr& error) {
  if (!error || as<VornHelperError>(error) != nullptr || as<platform::CancellationError>(error) != nullptr) {
    return false;
  }
  const auto* selfUpdate = as<SelfUpdaterError>(error);
  return selfUpdate == nullptr || selfUpdate->value() != SelfUpdaterError::Case::needReloading;
}

bool hasPopup(const std::exception_ptr& error) {
  const auto* helper = as<VornHelperError>(error);
  if (helper == nullptr) return isLaunchFailure(error);
  return !(helper->is<VornHelperError::WorkingAnotherGame>() || helper->is<VornHelperError::GameAlreadyRegistered>() ||
           helper->is<VornHelperError::WorkRequired>() || helper->is<VornHelperError::NoWorkRequired>());
}

void WebLaunchingStep::nextStep() {
  switch (case_) {
    case Case::ready: *this = Case::register_; return;
    case Case::register_: *this = Case::execute; return;
    case Case::work: *this = Case::execute; return;
    case Case::execute: *this = Case::done; return;
    case Case::reloading: *this = Case::done; return;
    case Case::cancel: *this = Case::done; return;
    case Case::done: return;
    case Case::error: break;
  }
  if (const auto* helper = as<VornHelperError>(error_)) {
    if (helper->is<VornHelperError::WorkRequired>()) {
      *this = Case::work;
    } else if (helper->is<VornHelperError::NoWorkRequired>()) {
      *this = Case::execute;
    } else if (!hasPopup(error_)) {
      *this = Case::done;  // WorkingAnotherGame, GameAlreadyRegistered
    }
    return;
  }
  const auto* selfUpdate = as<SelfUpdaterError>(error_);
  if (selfUpdate != nullptr && selfUpdate->value() == SelfUpdaterError::Case::needReloading) {
    *this = Case::reloading;
  } else if (as<platform::CancellationError>(error_) != nullptr) {
    *this = Case::cancel;
  } else if (!isLaunchFailure(error_)) {
    *this = Case::done;  // an error step without an error
  }
}

bool WebLaunchingStep::operator==(const WebLaunchingStep& other) const {
  if (case_ != other.case_) return false;
  if (case_ != Case::error) return true;
  return launcherrors::localizedDescription(error_) == launcherrors::localizedDescription(other.error_);
}
