#pragma once
// The port through which the launch flow reaches the app's main loop: the
// interface (panel, popups, the observer of the work step's progress) is
// only touched there. The app posts onto the GLib main loop; tests use a
// loop of their own.
//
// Contract: post() may be called from any thread; work runs on the main
// loop, one item at a time, in the order posted. Work posted after the loop
// has ended is dropped (destroyed without running) instead of blocking.
#include <functional>

class MainThread {
 public:
  virtual ~MainThread() = default;
  virtual void post(std::function<void()> work) = 0;
  // True on the main loop's own thread (for assertions).
  virtual bool isCurrent() const = 0;
};
