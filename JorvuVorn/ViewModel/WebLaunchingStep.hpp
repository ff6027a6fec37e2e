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
  //   error(a helper error that has a popup) stays: the popup's answer decides;
  //   error(anything else) -> done: nobody would ever answer for it.
  void nextStep();

  // Same case; two error steps when their errors' localized descriptions match.
  bool operator==(const WebLaunchingStep& other) const;

 private:
  Case case_ = Case::ready;
  std::exception_ptr error_;
};

// Whether the interface shows a popup for this error (and so answers through
// the view-close callback); false for the errors it only logs.
bool hasPopup(const std::exception_ptr& error);
