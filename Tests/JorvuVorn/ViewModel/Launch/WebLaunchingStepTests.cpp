// The step table of a launch, at its own level.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "Common/Protocol/VornHelperError.hpp"
#include "JorvuVorn/ViewModel/LaunchErrors.hpp"
#include "JorvuVorn/ViewModel/WebLaunchingStep.hpp"
#include "JorvuVorn/ViewModel/XPC/XPCClient.hpp"
#include "Platform/Cancellation.hpp"

namespace {

using Case = WebLaunchingStep::Case;

template <class E>
WebLaunchingStep errorStep(E error) {
  return WebLaunchingStep::error(std::make_exception_ptr(std::move(error)));
}

std::string after(WebLaunchingStep step) {
  step.nextStep();
  return step.name();
}

TEST(WebLaunchingStepTest, EachStepLeadsToItsSuccessor) {
  EXPECT_EQ(after(Case::ready), "register");
  EXPECT_EQ(after(Case::register_), "execute");
  EXPECT_EQ(after(Case::work), "execute");
  EXPECT_EQ(after(Case::execute), "done");
  EXPECT_EQ(after(Case::reloading), "done");
  EXPECT_EQ(after(Case::cancel), "done");
  EXPECT_EQ(after(Case::done), "done");

  EXPECT_EQ(after(errorStep(VornHelperError(VornHelperError::WorkRequired{}))), "work");
  EXPECT_EQ(after(errorStep(VornHelperError(VornHelperError::NoWorkRequired{}))), "execute");
  EXPECT_EQ(after(errorStep(VornHelperError(VornHelperError::WorkingAnotherGame{77}))), "done");
  EXPECT_EQ(after(errorStep(SelfUpdaterError(SelfUpdaterError::Case::needReloading))), "reloading");
  EXPECT_EQ(after(errorStep(platform::CancellationError())), "cancel");
}

TEST(WebLaunchingStepTest, ErrorsWithAPopupWaitForItsAnswerTheOnlyLoggedOnesFinish) {
  // The popup's answer decides what follows: the step stays. Launch
  // failures have the popup of a game that could not be started.
  std::vector<WebLaunchingStep> waiting;
  for (const VornHelperError& e :
       {VornHelperError(VornHelperError::Maintenance{"a", "b", "c", "d"}),
        VornHelperError(VornHelperError::OSVersionLimit{12.0f, 13.0f}),
        VornHelperError(VornHelperError::NetworkError{-60, 0, 0, 0}), VornHelperError(VornHelperError::Crash{}),
        VornHelperError(VornHelperError::ExecuteFailed{}), VornHelperError(VornHelperError::UnsupportedAppLaunching{})}) {
    waiting.push_back(errorStep(e));
  }
  for (const auto& step :
       {errorStep(XPCError::invalidResponse()), errorStep(SafeCheckedContinuationError::timeout()),
        errorStep(SelfUpdaterError(SelfUpdaterError::Case::invalidGameStatus)),
        errorStep(SelfUpdaterError(SelfUpdaterError::Case::timeout)),
        errorStep(WebLaunchingTasksError(WebLaunchingTasksError::Case::invalidUrl)),
        errorStep(std::runtime_error("bind failed"))}) {
    EXPECT_TRUE(isLaunchFailure(step.errorValue())) << step.name();
    waiting.push_back(step);
  }
  for (const auto& step : waiting) {
    EXPECT_TRUE(hasPopup(step.errorValue())) << step.name();
    EXPECT_EQ(after(step), step.name());
  }
  // Only logged, so nobody would ever answer: the launch finishes.
  const auto registered = errorStep(VornHelperError(VornHelperError::GameAlreadyRegistered{}));
  EXPECT_FALSE(hasPopup(registered.errorValue()));
  EXPECT_EQ(after(registered), "done");
  // The errors that lead on are no failures.
  EXPECT_FALSE(isLaunchFailure(errorStep(SelfUpdaterError(SelfUpdaterError::Case::needReloading)).errorValue()));
  EXPECT_FALSE(isLaunchFailure(errorStep(platform::CancellationError()).errorValue()));
  EXPECT_FALSE(isLaunchFailure(errorStep(VornHelperError(VornHelperError::ExecuteFailed{})).errorValue()));
}

TEST(WebLaunchingStepTest, ErrorStepsAreNamedAfterTheErrorAndEqualByItsSentence) {
  EXPECT_EQ(errorStep(VornHelperError(VornHelperError::WorkingAnotherGame{5})).name(),
            "error(WorkingAnotherGame(gameCode: 5))");
  EXPECT_EQ(errorStep(platform::CancellationError()).name(), "error(CancellationError())");
  EXPECT_EQ(errorStep(SelfUpdaterError(SelfUpdaterError::Case::needReloading)).name(), "error(needReloading)");

  // The sentence names the case, not its values.
  EXPECT_EQ(errorStep(VornHelperError(VornHelperError::WorkingAnotherGame{5})),
            errorStep(VornHelperError(VornHelperError::WorkingAnotherGame{6})));
  EXPECT_NE(errorStep(VornHelperError(VornHelperError::Crash{})),
            errorStep(VornHelperError(VornHelperError::ExecuteFailed{})));
  EXPECT_NE(errorStep(VornHelperError(VornHelperError::Crash{})), WebLaunchingStep(Case::done));
  EXPECT_EQ(WebLaunchingStep(Case::work), WebLaunchingStep(Case::work));

  EXPECT_EQ(launcherrors::text(std::make_exception_ptr(VornHelperError(VornHelperError::NoWorkRequired{}))),
            "NoWorkRequired The operation couldn't be completed. (JorvuVorn.VornHelperError error 4.)");
}

}  // namespace
