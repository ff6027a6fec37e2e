#include "JorvuVorn/ViewModel/LaunchErrors.hpp"

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Infra/HttpServer/Socket.hpp"
#include "JorvuVorn/ViewModel/Interface.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"
#include "Platform/Cancellation.hpp"

namespace {

// The sentence for an error value that has no text of its own: its domain
// and its case number.
std::string couldNotComplete(const std::string& domain, std::size_t code) {
  return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

struct Texts {
  std::string description;
  std::string localized;
};

Texts texts(const std::exception_ptr& error) {
  if (!error) return {"nil", "nil"};
  try {
    std::rethrow_exception(error);
  } catch (const VornHelperError& e) {
    return {e.description(), couldNotComplete("JorvuVorn.VornHelperError", e.value().index())};
  } catch (const SelfUpdaterError& e) {
    return {e.description(), couldNotComplete("JorvuVorn.SelfUpdaterError", static_cast<std::size_t>(e.value()))};
  } catch (const WebLaunchingTasksError& e) {
    return {e.description(),
            couldNotComplete("JorvuVorn.WebLaunchingTasksError", static_cast<std::size_t>(e.value()))};
  } catch (const XPCError& e) {
    return {e.description(), couldNotComplete("JorvuVorn.XPCError", static_cast<std::size_t>(e.value()))};
  } catch (const SafeCheckedContinuationError& e) {
    return {e.description(), couldNotComplete("JorvuVorn.SafeCheckedContinuationError", 0)};
  } catch (const platform::CancellationError& e) {
    return {e.description(), couldNotComplete("Swift.CancellationError", 1)};
  } catch (const httpserver::SocketError& e) {
    return {std::string(httpserver::SocketError::name(e.kind())) + "(\"" + e.text() + "\")", e.what()};
  } catch (const CommandLineLauncher::LaunchError& e) {
    return {"LaunchError(errno: " + std::to_string(e.errorNumber) + ")", e.what()};
  } catch (const InterfaceError& e) {
    return {"InterfaceError", e.what()};
  } catch (const std::exception& e) {
    return {e.what(), e.what()};
  } catch (...) {
    return {"unknown error", "unknown error"};
  }
}

}  // namespace

const char* SelfUpdaterError::description() const noexcept {
  switch (value_) {
    case Case::timeout: return "timeout";
    case Case::invalidGameStatus: return "invalidGameStatus";
    case Case::needReloading: return "needReloading";
    case Case::networkFailure: return "networkFailure";
  }
  return "timeout";
}

namespace launcherrors {

std::string description(const std::exception_ptr& error) { return texts(error).description; }
std::string localizedDescription(const std::exception_ptr& error) { return texts(error).localized; }

std::string text(const std::exception_ptr& error) {
  const Texts t = texts(error);
  return t.description + " " + t.localized;
}

}  // namespace launcherrors
