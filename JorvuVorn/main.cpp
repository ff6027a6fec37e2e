// The app's entry, and the one place where the launch controller the
// registry holds is chosen: WebLaunchingTasksController, whose tasks share
// one XPC client to the helper.
//
// For the tests of the registry alone, JORVU_LAUNCH_STANDIN_DIR selects a
// stand-in instead: it writes "<code>.started" (holding the start URL) into
// that folder and finishes when a file "<code>.finish" appears there.
#include <gio/gio.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "JorvuVorn/AppMain.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasks.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasksController.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"

namespace {

// What every launch of the process shares. The tasks go first: they are
// cancelled and joined before the client they use goes.
struct LaunchServices {
  LaunchServices(MainThread& mainThread, Interface& interface) : tasks(mainThread, interface, xpcClient) {}
  XPCClient xpcClient;
  WebLaunchingTasks tasks;
};

class StandInLaunchController final : public LaunchController,
                                      public std::enable_shared_from_this<StandInLaunchController> {
 public:
  StandInLaunchController(MainThread& mainThread, GameExecuteInfo info, std::function<void()> completion)
      : mainThread_(mainThread), info_(std::move(info)), completion_(std::move(completion)) {}

  ~StandInLaunchController() override { stopWatching(); }

  void start() override {
    const char* folder = std::getenv("JORVU_LAUNCH_STANDIN_DIR");
    auto self = shared_from_this();
    if (folder == nullptr || *folder == '\0') {
      mainThread_.post([self] { self->finish(); });
      return;
    }
    const std::string base = std::string(folder) + "/" + std::to_string(info_.gameCode);
    finishPath_ = base + ".finish";
    std::ofstream(base + ".started") << info_.url.value_or("") << "\n";
    mainThread_.post([self, folder = std::string(folder)] { self->watch(folder); });
  }

 private:
  // Main loop only.
  void watch(const std::string& folder) {
    GFile* dir = g_file_new_for_path(folder.c_str());
    monitor_ = g_file_monitor_directory(dir, G_FILE_MONITOR_NONE, nullptr, nullptr);
    g_object_unref(dir);
    if (monitor_ != nullptr) g_signal_connect(monitor_, "changed", G_CALLBACK(&StandInLaunchController::onChanged), this);
    // A file made before the monitor existed counts too.
    if (g_file_test(finishPath_.c_str(), G_FILE_TEST_EXISTS)) finish();
  }

  static void onChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self) {
    auto* controller = static_cast<StandInLaunchController*>(self);
    if (g_file_test(controller->finishPath_.c_str(), G_FILE_TEST_EXISTS)) controller->finish();
  }

  void finish() {
    stopWatching();
    if (auto completion = std::exchange(completion_, nullptr)) completion();
  }

  void stopWatching() {
    if (monitor_ == nullptr) return;
    g_signal_handlers_disconnect_by_data(monitor_, this);
    g_file_monitor_cancel(monitor_);
    g_object_unref(monitor_);
    monitor_ = nullptr;
  }

  MainThread& mainThread_;
  GameExecuteInfo info_;
  std::function<void()> completion_;
  std::string finishPath_;
  GFileMonitor* monitor_ = nullptr;
};

// The controller factory of the registry. The registry (and with it the
// factory) ends before the main loop and the interface do.
LaunchControllerFactory launchControllerFactory(AppServices& services) {
  const char* standIn = std::getenv("JORVU_LAUNCH_STANDIN_DIR");
  if (standIn != nullptr && *standIn != '\0') {
    return [&services](const GameExecuteInfo& info, std::function<void()> completion) {
      return std::make_shared<StandInLaunchController>(services.mainThread, info, std::move(completion));
    };
  }
  auto shared = std::make_shared<LaunchServices>(services.mainThread, services.interface);
  return WebLaunchingTasksController::factory(std::shared_ptr<WebLaunchingTasks>(shared, &shared->tasks));
}

}  // namespace

int main(int argc, char** argv) { return runJorvuVorn(argc, argv, launchControllerFactory); }
