#pragma once
// One launch of one game: a small state machine whose state is a
// WebLaunchingStep. Entering a step starts that step's task
// (WebLaunchingTasks); when the task ends, its outcome decides the next step:
// success moves on by WebLaunchingStep::nextStep(), a failure becomes the
// error step, which hands the error to the interface and then follows the
// same table (a popup's answer comes back through viewCloseHandler()).
//
//   up to date    ready, register, execute, done
//   needs work    ready, register, execute, error(WorkRequired), work,
//                 execute, done
//   self-update   ready, register, error(needReloading), reloading, done
//   page closed   ... work, error(CancellationError()), cancel, done
//
// Thread contract: the controller is an actor on the launch flow's queue
// (WebLaunchingTasks::actorQueue()): start(), cancelHandler() and
// viewCloseHandler() may be called from any thread (the interface calls the
// last two on the main loop) and only post onto that queue. The completion
// handler is called once, from the done step's task; the registry that owns
// the controller may drop it there.
#include <cstdint>
#include <functional>
#include <memory>

#include "Common/App/GameExecuteInfo.hpp"
#include "JorvuVorn/ViewModel/LaunchController.hpp"
#include "JorvuVorn/ViewModel/LaunchTask.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingStep.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingTasks.hpp"

class WebLaunchingTasksController : public LaunchController,
                                    public std::enable_shared_from_this<WebLaunchingTasksController> {
 public:
  static std::shared_ptr<WebLaunchingTasksController> make(std::shared_ptr<WebLaunchingTasks> tasks,
                                                           GameExecuteInfo gameExecuteInfo,
                                                           std::function<void()> completionHandler);
  // The factory the app's registry uses.
  static LaunchControllerFactory factory(std::shared_ptr<WebLaunchingTasks> tasks);

  ~WebLaunchingTasksController() override;  // cancels the running task

  void start() override;
  // The page asked to close the setup panel: cancels the running work step
  // (nothing else, and only once).
  void cancelHandler();
  // A popup closed: true runs the work step again ignoring the OS-version
  // limit, false finishes the launch.
  void viewCloseHandler(bool ignoreOSVersion);

  // The current step (waits for the controller's queue; not from it).
  WebLaunchingStep step() const;

 private:
  WebLaunchingTasksController(std::shared_ptr<WebLaunchingTasks> tasks, GameExecuteInfo gameExecuteInfo,
                              std::function<void()> completionHandler);

  // On the queue only, from here on.
  void setStep(WebLaunchingStep next);
  void executeTask();
  using Starter = std::function<std::shared_ptr<LaunchTask>(TaskExecutor::Completion)>;
  void setCurrentTask(const Starter& start);
  void resultHandling(std::uint64_t taskNumber, std::exception_ptr error);
  // Cancels the work step's task `taskNumber` if it is still the current one.
  void cancelWork(std::uint64_t taskNumber);
  // Runs `work` on the queue with the controller, if it still exists then.
  void onQueue(std::function<void(WebLaunchingTasksController&)> work) const;
  std::string code() const { return "gameCode=" + std::to_string(gameExecuteInfo_.gameCode); }

  const std::shared_ptr<WebLaunchingTasks> tasks_;
  GameExecuteInfo gameExecuteInfo_;
  const std::function<void()> completionHandler_;
  WebLaunchingStep step_;
  std::shared_ptr<LaunchTask> currentTask_;
  std::uint64_t currentTaskNumber_ = 0;
  std::uint64_t cancelledTaskNumber_ = 0;
};
