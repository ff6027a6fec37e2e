#pragma once
// The app's main loop as the launch flow sees it (MainThread): work posted
// from any thread runs on the GLib default main context, one item at a time,
// in the order posted. The loop is either GTK's (with a display) or a plain
// GMainLoop (without one); both dispatch the default context.
//
// Thread contract: construct and run() on the main thread; post() from any
// thread. After run() has returned, posted work is dropped.
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "JorvuVorn/ViewModel/MainThread.hpp"

class GLibMainThread final : public MainThread {
 public:
  // useGtk: run gtk_main() (gtk_init_check must have succeeded); otherwise a
  // plain GMainLoop.
  explicit GLibMainThread(bool useGtk);
  ~GLibMainThread() override;
  GLibMainThread(const GLibMainThread&) = delete;
  GLibMainThread& operator=(const GLibMainThread&) = delete;

  void post(std::function<void()> work) override;
  bool isCurrent() const override;

  // Runs the loop until quit(); the work still queued then is dropped.
  void run();
  // Main loop only: ends run() once the current dispatch returns.
  void quit();

 private:
  static int dispatch(void* self);  // GSourceFunc
  void drain();

  const bool useGtk_;
  const std::thread::id owner_;
  struct _GMainLoop* loop_ = nullptr;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
  bool scheduled_ = false;
  bool ended_ = false;
};
