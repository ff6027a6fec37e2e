// The step table of a launch, at its own level.
#include <gtest/gtest.h>

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

TEST(WebLaunchingStepTest, HelperErrorsWithAPopupWaitForItsAnswerEveryOtherErrorFinishes) {
  // The popup's answer decides what follows: the step stays.
  for (const VornHelperError& e :
       {VornHelperError(VornHelperError::Maintenance{"a", "b", "c", "d"}),
        VornHelperError(VornHelperError::OSVersionLimit{12.0f, 13.0f}),
        VornHelperError(VornHelperError::NetworkError{-60, 0, 0, 0}), VornHelperError(VornHelperError::Crash{}),
        VornHelperError(VornHelperError::ExecuteFailed{}), VornHelperError(VornHelperError::UnsupportedAppLaunching{})}) {
    const auto step = errorStep(e);
    EXPECT_EQ(after(step), step.name());
  }
  // Nobody would ever answer for these: the launch finishes.
  EXPECT_EQ(after(errorStep(VornHelperError(VornHelperError::GameAlreadyRegistered{}))), "done");
  EXPECT_EQ(after(errorStep(XPCError::invalidResponse())), "done");
  EXPECT_EQ(after(errorStep(SafeCheckedContinuationError::timeout())), "done");
  EXPECT_EQ(after(errorStep(SelfUpdaterError(SelfUpdaterError::Case::invalidGameStatus))), "done");
  EXPECT_EQ(after(errorStep(SelfUpdaterError(SelfUpdaterError::Case::timeout))), "done");
  EXPECT_EQ(after(errorStep(WebLaunchingTasksError(WebLaunchingTasksError::Case::invalidUrl))), "done");
  EXPECT_EQ(after(errorStep(std::runtime_error("bind failed"))), "done");
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
