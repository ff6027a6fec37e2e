// The app's entry, and the one place where the launch controller the
// registry holds is chosen: WebLaunchingTasksController, whose tasks share
// one XPC client to the helper.
#include <memory>

#include "JorvuVorn/AppMain.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasks.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasksController.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"

namespace {

// What every launch of the process shares. The tasks go first: they are
// cancelled and joined before the client they use goes.
struct LaunchServices {
  LaunchServices(AppServices& services)
      : tasks(services.mainThread, services.interface, xpcClient, options(services)) {}

  static WebLaunchingTasks::Options options(const AppServices& services) {
    WebLaunchingTasks::Options options;
    options.updateInstalled = services.updateInstalled;
    options.launchFailed = services.launchFailed;
    return options;
  }

  XPCClient xpcClient;
  WebLaunchingTasks tasks;
};

// The controller factory of the registry. The registry lets it go, and with
// it every task of the launch flow, before the main loop and the interface
// end.
LaunchControllerFactory launchControllerFactory(AppServices& services) {
  auto shared = std::make_shared<LaunchServices>(services);
  return WebLaunchingTasksController::factory(std::shared_ptr<WebLaunchingTasks>(shared, &shared->tasks));
}

}  // namespace

int main(int argc, char** argv) { return runJorvuVorn(argc, argv, launchControllerFactory); }
