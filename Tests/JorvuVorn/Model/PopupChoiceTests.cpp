#include "JorvuVorn/Model/Popup/PopupChoice.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "Tests/Infra/HttpClient/TestNetwork.hpp"

namespace {

const bool processReady = testnet::setUpProcess();

using E = VornHelperError;

// "SetupErrorView 460x184 border [OK=false]" for a popup, "-" otherwise.
std::string summary(const VornHelperError& error, const std::string& language = "en") {
  auto choice = choosePopup(error);
  const auto* popup = std::get_if<PopupChoice>(&choice);
  if (popup == nullptr) return "-";
  std::string out = std::string(viewName(popup->view)) + " " + std::to_string(popup->size.width) + "x" +
                    std::to_string(popup->size.height) + (popup->needDefaultBorder ? " border" : " plain") + " [";
  std::vector<popup::Button> buttons;
  const popup::Body content = body(popup->view, PopupEnvironment{language, "https://help.test"});
  EXPECT_EQ(content.size, popup->size);
  EXPECT_EQ(panelSizeOf(popup->view), popup->size);
  popup::collectButtons(content.content, buttons);
  for (const auto& button : buttons) {
    if (&button != &buttons.front()) out += ", ";
    out += button.label ? button.label->key : std::string("(circle)");
    out += button.answer ? "=true" : "=false";
  }
  return out + "]";
}

TEST(PopupChoice, EveryHelperError) {
  const std::vector<std::pair<VornHelperError, std::string>> table = {
      {E::Crash{}, "UnknownErrorView 460x213 border [OK=false]"},
      {E::GameNotExist{}, "UnknownErrorView 460x213 border [OK=false]"},
      {E::GameAlreadyRegistered{}, "-"},
      {E::WorkRequired{}, "-"},
      {E::NoWorkRequired{}, "-"},
      {E::WorkingAnotherGame{5}, "-"},
      {E::Maintenance{"a", "b", "c", "d"}, "MaintenanceErrorView 480x376 border [OK=false]"},
      {E::OSVersionLimit{10.15f, 11.0f},
       "OSVersionErrorView 480x347 border [Ignore and install=true, Cancel Installation=false]"},
      {E::WorkFailed{-60, 13000, 0, 0}, "SetupErrorView 460x184 border [OK=false]"},
      {E::WorkFailed{-1, 32000, 1, 2}, "SetupErrorView 460x184 border [OK=false]"},
      {E::WorkFailed{-1, 5, 1, 2}, "UnknownErrorView 460x213 border [OK=false]"},
      {E::DiskSizeLack{1, 2, GameStatus::Status::install}, "DriverSpaceErrorView 480x287 border [OK=false]"},
      {E::DiskSizeLack{1, 2, GameStatus::Status::patch}, "DriverSpaceErrorView 480x287 border [OK=false]"},
      {E::DiskSizeLack{1, 2, GameStatus::Status::registered}, "UnknownErrorView 460x213 border [OK=false]"},
      {E::NetworkError{-60, 0, 0, 0}, "InternetErrorView 460x213 border [OK=false]"},
      {E::VantixError{2013}, "VANTIXErrorView 460x213 border [OK=false]"},
      {E::ExecuteFailed{}, "UnknownErrorView 460x213 border [OK=false]"},
      {E::UnsupportedOS{}, "UnsupportedOSErrorView 320x226 plain [(circle)=false, OK=false]"},
      {E::UnsupportedAppLaunching{}, "UnsupportedAppLaunchingErrorView 320x203 plain [(circle)=false, OK=false]"},
  };
  for (const auto& [error, expected] : table) EXPECT_EQ(summary(error), expected) << error.description();
  // Korean offers the help page on the network and setup popups only.
  EXPECT_EQ(summary(E::NetworkError{-60, 0, 0, 0}, "ko"), "InternetErrorView 460x213 border [See the troubleshoot=false]");
  EXPECT_EQ(summary(E::WorkFailed{3, 13000, 4, 5}, "ko"), "SetupErrorView 460x184 border [See the troubleshoot=false]");
  EXPECT_EQ(summary(E::Crash{}, "ko"), "UnknownErrorView 460x213 border [OK=false]");
}

template <class View>
const View& viewOf(const VornHelperError& error) {
  static std::variant<PopupLogOnly, PopupChoice> kept;
  kept = choosePopup(error);
  const auto* view = std::get_if<View>(&std::get<PopupChoice>(kept).view);
  if (view == nullptr) throw std::runtime_error("another view");
  return *view;
}

TEST(PopupChoice, RecordsCarryThePayload) {
  const auto& maintenance = viewOf<MaintenanceErrorView>(E::Maintenance{"09:00", "11:00", "db", "https://x"});
  EXPECT_EQ(maintenance.maintenanceError, (MaintenanceError{"09:00", "11:00", "db", "https://x"}));

  const auto& os = viewOf<OSVersionErrorView>(E::OSVersionLimit{10.15f, 11.0f});
  EXPECT_EQ(os.osversionError, (OSVersionError{10.15f, 11.0f}));

  const auto& setup = viewOf<SetupErrorView>(E::WorkFailed{-60, 13000, 0, 0});
  EXPECT_EQ(setup.setupError, (SetupError{{"-60", "0", "0"}, SetupOpreation::install}));
  EXPECT_EQ(setup.errorMessage, "install_failed_message_1");
  const auto& update = viewOf<SetupErrorView>(E::WorkFailed{7, 32000, 4294967295u, 12});
  EXPECT_EQ(update.setupError, (SetupError{{"7", "4294967295", "12"}, SetupOpreation::update}));
  EXPECT_EQ(update.errorMessage, "patch_failed_message_1");

  const auto& disk = viewOf<DriverSpaceErrorView>(E::DiskSizeLack{5'000'000'000, 12'300'000'000, GameStatus::Status::patch});
  EXPECT_EQ(disk.capacityError, (CapacityError{5'000'000'000, 12'300'000'000, SetupOpreation::update}));
  EXPECT_EQ(disk.capacityMessage, "12.3GB left");
  EXPECT_FALSE(disk.volumeName.empty());

  const auto& net = viewOf<InternetErrorView>(E::NetworkError{-60, 13000, 2, 3});
  EXPECT_EQ(net.errorCodeInfo, (ErrorCodeInfo{"-60", "2", "3"}));

  EXPECT_EQ(viewOf<VANTIXErrorView>(E::VantixError{-9'000'000'000}).errorCode, -9'000'000'000);
  EXPECT_EQ(viewOf<UnknownErrorView>(E::WorkFailed{1, 5, 1, 2}).errorMessage, "unknown error.");
  EXPECT_EQ(viewOf<UnknownErrorView>(E::DiskSizeLack{1, 2, GameStatus::Status::error}).errorMessage, "unknown error.");
  EXPECT_EQ(viewOf<UnknownErrorView>(E::Crash{}).errorMessage, "unknown error.");
  EXPECT_EQ(viewOf<UnknownErrorView>(E::GameNotExist{}).errorMessage, "Game Not Exist.");
  EXPECT_EQ(viewOf<UnknownErrorView>(E::ExecuteFailed{}).errorMessage, "Execute Failed.");
}

TEST(PopupChoice, LogsTheLogOnlyLineOrTheErrorBeforeAPopup) {
  const std::vector<std::tuple<VornHelperError, VornLogLevel, std::string>> table = {
      {E::WorkingAnotherGame{77}, VornLogLevel::debug, "WorkingAnotherGame=77"},
      {E::GameAlreadyRegistered{}, VornLogLevel::debug, "already registered"},
      {E::WorkRequired{}, VornLogLevel::info, "WorkRequired"},
      {E::NoWorkRequired{}, VornLogLevel::debug, "noWorkRequired"},
  };
  for (const auto& [error, level, line] : table) {
    const auto choice = choosePopup(error);
    const auto* logged = std::get_if<PopupLogOnly>(&choice);
    ASSERT_NE(logged, nullptr) << line;
    EXPECT_EQ(logged->level, level);
    EXPECT_EQ(logged->line, line);
  }
  // Debug lines are not written; the INFO line is, and nothing else.
  testnet::LogMark mark;
  for (const auto& [error, level, line] : table) EXPECT_EQ(preparePopup(error, 4001), std::nullopt);
  const auto lines = mark.since();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("[INFO] WorkRequired"), std::string::npos) << lines[0];

  testnet::LogMark popupMark;
  const VornHelperError error = E::WorkFailed{-60, 13000, 0, 0};
  ASSERT_TRUE(preparePopup(error, 4001).has_value());
  EXPECT_EQ(popupMark.errors(), std::vector<std::string>{"gameCode=4001 " + error.description()});
}

}  // namespace
