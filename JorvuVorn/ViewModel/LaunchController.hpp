#pragma once
// What the app's registry of running launches holds: one launch of one game,
// started once, which calls its completion handler once, when it is over
// (the end of its done step). The registry owns the controller; the
// controller must not assume it outlives the call of its completion handler.
#include <functional>
#include <memory>

#include "Common/App/GameExecuteInfo.hpp"

class LaunchController {
 public:
  virtual ~LaunchController() = default;
  virtual void start() = 0;
};

using LaunchControllerFactory = std::function<std::shared_ptr<LaunchController>(
    const GameExecuteInfo& gameExecuteInfo, std::function<void()> completionHandler)>;
