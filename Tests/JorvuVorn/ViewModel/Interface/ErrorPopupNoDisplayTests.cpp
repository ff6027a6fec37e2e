// Without a display the popups cannot be shown: the caller learns it at once
// and answers for the user; nothing waits.
#include <gtest/gtest.h>

#include <vector>

#include "JorvuVorn/ViewModel/Interface/ErrorViewController.hpp"

namespace {

TEST(ErrorPopupWithoutDisplay, ThrowsBeforeAnyAnswerAndLogOnlyErrorsStillReturn) {
  std::vector<bool> answers;
  const auto record = [&](bool answer) { answers.push_back(answer); };
  GameExecuteInfo info;
  info.gameCode = 4001;
  EXPECT_THROW(ErrorViewController::loadPopupView(VornHelperError::OSVersionLimit{10.15f, 11.0f}, info, record),
               InterfaceError);
  EXPECT_THROW(ErrorViewController::loadPopupView(VornHelperError::UnsupportedAppLaunching{}, info, record),
               InterfaceError);
  EXPECT_NO_THROW(ErrorViewController::loadPopupView(VornHelperError::WorkRequired{}, info, record));
  EXPECT_TRUE(answers.empty());

  int done = 0;
  ErrorViewController::showDebugAlert([&] { ++done; });
  EXPECT_EQ(done, 1);
}

}  // namespace
