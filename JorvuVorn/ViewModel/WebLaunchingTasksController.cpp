#include "JorvuVorn/ViewModel/WebLaunchingTasksController.hpp"

#include <cassert>

#include "Common/Logger/VornLogger.hpp"

std::shared_ptr<WebLaunchingTasksController> WebLaunchingTasksController::make(
    std::shared_ptr<WebLaunchingTasks> tasks, GameExecuteInfo gameExecuteInfo, std::function<void()> completionHandler) {
  return std::shared_ptr<WebLaunchingTasksController>(
      new WebLaunchingTasksController(std::move(tasks), std::move(gameExecuteInfo), std::move(completionHandler)));
}

LaunchControllerFactory WebLaunchingTasksController::factory(std::shared_ptr<WebLaunchingTasks> tasks) {
  return [tasks](const GameExecuteInfo& info, std::function<void()> completionHandler) {
    return std::static_pointer_cast<LaunchController>(make(tasks, info, std::move(completionHandler)));
  };
}

WebLaunchingTasksController::WebLaunchingTasksController(std::shared_ptr<WebLaunchingTasks> tasks,
                                                         GameExecuteInfo gameExecuteInfo,
                                                         std::function<void()> completionHandler)
    : tasks_(std::move(tasks)),
      gameExecuteInfo_(std::move(gameExecuteInfo)),
      completionHandler_(std::move(completionHandler)) {}

WebLaunchingTasksController::~WebLaunchingTasksController() {
  if (currentTask_) currentTask_->cancel();
}

void WebLaunchingTasksController::onQueue(std::function<void(WebLaunchingTasksController&)> work) const {
  std::weak_ptr<const WebLaunchingTasksController> weak = weak_from_this();
  tasks_->actorQueue().async([weak, work = std::move(work)] {
    if (auto self = std::const_pointer_cast<WebLaunchingTasksController>(weak.lock())) work(*self);
  });
}

void WebLaunchingTasksController::start() {
  onQueue([](WebLaunchingTasksController& self) {
    logInfo(self.code() + " start game execute process");
    WebLaunchingStep next = self.step_;
    next.nextStep();
    self.setStep(next);
  });
}

void WebLaunchingTasksController::cancelHandler() {
  onQueue([](WebLaunchingTasksController& self) {
    if (self.step_.value() == WebLaunchingStep::Case::work) self.cancelWork(self.currentTaskNumber_);
  });
}

void WebLaunchingTasksController::cancelWork(std::uint64_t taskNumber) {
  // A close that comes once the work step has ended, or again, changes
  // nothing: the steps after it (the execute step among them) are not the
  // page's to cancel, and the job was told to stop once.
  if (taskNumber != currentTaskNumber_ || taskNumber == cancelledTaskNumber_) return;
  cancelledTaskNumber_ = taskNumber;
  logInfo(code() + " [" + step_.name() + "] cancel occurred");
  currentTask_->cancel();
}

void WebLaunchingTasksController::viewCloseHandler(bool ignoreOSVersion) {
  onQueue([ignoreOSVersion](WebLaunchingTasksController& self) {
    if (ignoreOSVersion) {
      self.gameExecuteInfo_.ignoreOSVersion = true;
      self.setStep(WebLaunchingStep::Case::work);
    } else {
      self.setStep(WebLaunchingStep::Case::done);
    }
  });
}

WebLaunchingStep WebLaunchingTasksController::step() const {
  WebLaunchingStep out;
  tasks_->actorQueue().sync([&] { out = step_; });
  return out;
}

void WebLaunchingTasksController::setStep(WebLaunchingStep next) {
  assert(tasks_->actorQueue().isCurrent());
  const WebLaunchingStep old = step_;
  step_ = std::move(next);
  if (step_ == old) return;
  logInfo(code() + ", step [" + old.name() + "]->[" + step_.name() + "]");
  executeTask();
}

void WebLaunchingTasksController::executeTask() {
  WebLaunchingTasks& tasks = *tasks_;
  const GameExecuteInfo& info = gameExecuteInfo_;
  switch (step_.value()) {
    case WebLaunchingStep::Case::ready:
      setCurrentTask([&](auto completion) { return tasks.nothing(std::move(completion)); });
      return;
    case WebLaunchingStep::Case::register_:
      setCurrentTask([&](auto completion) { return tasks.register_(info, std::move(completion)); });
      return;
    case WebLaunchingStep::Case::execute:
      setCurrentTask([&](auto completion) { return tasks.execute(info, std::move(completion)); });
      return;
    case WebLaunchingStep::Case::work: {
      // The panel's close cancels this work task and nothing after it.
      const std::uint64_t workTask = currentTaskNumber_ + 1;
      CancelHandler cancel = [weak = weak_from_this(), workTask] {
        if (auto self = weak.lock()) self->onQueue([workTask](auto& me) { me.cancelWork(workTask); });
      };
      setCurrentTask([&](auto completion) { return tasks.work(info, cancel, std::move(completion)); });
      return;
    }
    case WebLaunchingStep::Case::reloading:
      setCurrentTask([&](auto completion) { return tasks.reloading(info, std::move(completion)); });
      return;
    case WebLaunchingStep::Case::cancel:
      setCurrentTask([&](auto completion) { return tasks.cancel(info, std::move(completion)); });
      return;
    case WebLaunchingStep::Case::done:
      setCurrentTask([&](auto completion) { return tasks.done(info, completionHandler_, std::move(completion)); });
      return;
    case WebLaunchingStep::Case::error: {
      std::weak_ptr<WebLaunchingTasksController> weak = weak_from_this();
      ViewCloseHandler close = [weak](bool ignoreOSVersion) {
        if (auto self = weak.lock()) self->viewCloseHandler(ignoreOSVersion);
      };
      tasks.loadErrorView(info, step_.errorValue(), close);
      setCurrentTask([&](auto completion) { return tasks.nothing(std::move(completion)); });
      return;
    }
  }
}

void WebLaunchingTasksController::setCurrentTask(const Starter& start) {
  const std::uint64_t number = ++currentTaskNumber_;
  std::weak_ptr<WebLaunchingTasksController> weak = weak_from_this();
  WebLaunchingTasks* tasks = tasks_.get();
  logInfo(code() + " wait task done...");
  currentTask_ = start([weak, tasks, number](std::exception_ptr error) {
    tasks->actorQueue().async([weak, number, error = std::move(error)] {
      if (auto self = weak.lock()) self->resultHandling(number, error);
    });
  });
}

void WebLaunchingTasksController::resultHandling(std::uint64_t taskNumber, std::exception_ptr error) {
  // The outcome of a task that is no longer the current one changes nothing.
  if (taskNumber != currentTaskNumber_) return;
  logInfo(code() + " done");
  if (!error) {
    logInfo(code() + " [" + step_.name() + "] complete");
    WebLaunchingStep next = step_;
    next.nextStep();
    setStep(next);
  } else {
    logInfo(code() + " failure");
    setStep(WebLaunchingStep::error(error));
  }
}
