// The app program with a stand-in launch controller, for the tests of its
// start-up, registry of launches and termination: each launch writes
// "<code>.started" (holding its start URL) into the folder named by
// JORVU_LAUNCH_STANDIN_DIR and finishes when a file "<code>.finish" appears
// there (at once when the variable is not set). A launch whose pass argument
// is "update" acts as one that found an installed update of the app. The
// tests install it in place of the app's program.
#include <gio/gio.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "JorvuVorn/AppMain.hpp"

namespace {

class StandInLaunchController final : public LaunchController,
                                      public std::enable_shared_from_this<StandInLaunchController> {
 public:
  StandInLaunchController(AppServices& services, GameExecuteInfo info, std::function<void()> completion)
      : services_(services), info_(std::move(info)), completion_(std::move(completion)) {}

  ~StandInLaunchController() override { stopWatching(); }

  void start() override {
    if (info_.passarg == "update") services_.updateInstalled();
    const char* folder = std::getenv("JORVU_LAUNCH_STANDIN_DIR");
    auto self = shared_from_this();
    if (folder == nullptr || *folder == '\0') {
      services_.mainThread.post([self] { self->finish(); });
      return;
    }
    const std::string base = std::string(folder) + "/" + std::to_string(info_.gameCode);
    finishPath_ = base + ".finish";
    std::ofstream(base + ".started") << info_.url.value_or("") << "\n";
    services_.mainThread.post([self, folder = std::string(folder)] { self->watch(folder); });
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

  AppServices& services_;
  GameExecuteInfo info_;
  std::function<void()> completion_;
  std::string finishPath_;
  GFileMonitor* monitor_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  return runJorvuVorn(argc, argv, [](AppServices& services) -> LaunchControllerFactory {
    return [&services](const GameExecuteInfo& info, std::function<void()> completion) {
      return std::make_shared<StandInLaunchController>(services, info, std::move(completion));
    };
  });
}
