#pragma once
// The launch flow's own errors, and the two texts of any error that reaches
// it: the default description (the printed error value, such as
// NetworkError(errorCode: -60, ...) or needReloading) and the localized
// description (a sentence for people). Log lines show both as the error text
// ("<description> <localized description>"); two error steps are the same
// step when their localized descriptions are equal.
#include <exception>
#include <string>

class SelfUpdaterError : public std::exception {
 public:
  enum class Case { timeout, invalidGameStatus, needReloading, networkFailure };

  explicit SelfUpdaterError(Case value) : value_(value) {}
  Case value() const { return value_; }
  // The case name.
  const char* description() const noexcept;
  const char* what() const noexcept override { return description(); }
  bool operator==(const SelfUpdaterError& other) const { return value_ == other.value_; }

 private:
  Case value_;
};

class WebLaunchingTasksError : public std::exception {
 public:
  enum class Case { invalidUrl };

  explicit WebLaunchingTasksError(Case value) : value_(value) {}
  Case value() const { return value_; }
  const char* description() const noexcept { return "invalidUrl"; }
  const char* what() const noexcept override { return description(); }

 private:
  Case value_;
};

namespace launcherrors {

std::string description(const std::exception_ptr& error);
std::string localizedDescription(const std::exception_ptr& error);
// description + " " + localized description.
std::string text(const std::exception_ptr& error);

// Whether `error` is an exception of type E.
template <class E>
const E* as(const std::exception_ptr& error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const E& e) {
    // The exception object lives as long as `error` does.
    return &e;
  } catch (...) {
  }
  return nullptr;
}

}  // namespace launcherrors
