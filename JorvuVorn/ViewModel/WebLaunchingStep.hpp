#pragma once
// The state of one launch: which step it is at, and for the error step the
// error the last task failed with. nextStep() is the table of what follows
// each step when its task succeeded.
//
// A plain value; the controller keeps its own on its queue.
#include <exception>
#include <string>

class WebLaunchingStep {
 public:
  enum class Case { error, ready, register_, execute, done, reloading, work, cancel };

  WebLaunchingStep() = default;
  WebLaunchingStep(Case value) : case_(value) {}  // NOLINT: a step is its case
  static WebLaunchingStep error(std::exception_ptr error);

  Case value() const { return case_; }
  const std::exception_ptr& errorValue() const { return error_; }

  // The case name; for the error step "error(" + the error's description + ")".
  std::string name() const;

  // Replaces the step by its successor:
  //   ready -> register -> execute -> done; work -> execute; reloading,
  //   cancel -> done; done stays done;
  //   error(WorkRequired) -> work; error(NoWorkRequired) -> execute;
  //   error(WorkingAnotherGame) -> done; error(needReloading) -> reloading;
  //   error(cancellation) -> cancel;
  //   error(WorkingAnotherGame or GameAlreadyRegistered) -> done: they are
  //   only logged, and nobody would ever answer for them;
  //   error(anything else: a helper error with a popup, a launch failure)
  //   stays: the popup's answer decides.
  void nextStep();

  // Same case; two error steps when their errors' localized descriptions match.
  bool operator==(const WebLaunchingStep& other) const;

 private:
  Case case_ = Case::ready;
  std::exception_ptr error_;
};

// A failure of the launch itself rather than a helper's answer: the game's
// status port taken, no answer or an unreadable one from the helper, a
// self-update that timed out or ended in an unexpected state, a reload that
// could not start. The game cannot be started now, and the player is told
// so with the popup of a game the helper could not start (ExecuteFailed).
// Not the two errors that lead on: needReloading and the cancellation.
bool isLaunchFailure(const std::exception_ptr& error);

// Whether the interface shows a popup for this error (and so answers through
// the view-close callback): helper errors but the four it only logs, and
// launch failures.
bool hasPopup(const std::exception_ptr& error);
