#pragma once
// Waiting for a condition that nothing announces (a file that another
// process writes, a process that ends): checked every few milliseconds until
// it holds or the limit has passed.
//
// Thread contract: any thread; `done` runs on the caller's.
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// True once `done` holds; false when it still does not at the limit.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testsupport
