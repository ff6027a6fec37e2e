#include "JorvuVorn/Model/Popup/PopupViews.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "JorvuVorn/Model/Popup/PopupChoice.hpp"
#include "JorvuVorn/Model/Popup/StringTable.hpp"
#include "Tests/Infra/HttpClient/TestNetwork.hpp"

namespace {

const bool processReady = testnet::setUpProcess();

const PopupEnvironment english{"en", "https://help.test"};
const PopupEnvironment korean{"ko", "https://help.test"};

std::vector<popup::Text> textsOf(const PopupView& view, const PopupEnvironment& environment = english) {
  std::vector<popup::Text> texts;
  popup::collectTexts(body(view, environment).content, texts);
  return texts;
}

// The keys, or "=verbatim" texts, in order.
std::vector<std::string> keysOf(const PopupView& view, const PopupEnvironment& environment = english) {
  std::vector<std::string> keys;
  for (const auto& text : textsOf(view, environment)) keys.push_back(text.verbatim ? "=" + text.key : text.key);
  return keys;
}

const popup::Text& findText(const std::vector<popup::Text>& texts, const std::string& key) {
  for (const auto& text : texts) {
    if (text.key == key) return text;
  }
  throw std::runtime_error("no text " + key);
}

constexpr PanelSize kSetup{460, 184};

TEST(SetupErrorView, MessageKeyAndCodeLine) {
  const SetupErrorView install(kSetup, {{"-60", "0", "0"}, SetupOpreation::install});
  EXPECT_EQ(keysOf(install), (std::vector<std::string>{"install_failed_message_1", "ERROR CODE = %@(%@,%@)", "OK"}));
  const auto line = findText(textsOf(install), "ERROR CODE = %@(%@,%@)");
  EXPECT_EQ(line.values, (std::vector<std::string>{"-60", "0", "0"}));
  EXPECT_EQ(line.color, "#999999");
  EXPECT_EQ(line.letterSpacing, -0.42);
  EXPECT_EQ(StringTable().localized(line.key, line.values), "ERROR CODE = -60(0,0)");

  EXPECT_EQ(SetupErrorView(kSetup, {{"1", "2", "3"}, SetupOpreation::update}).errorMessage, "patch_failed_message_1");
  // A lack of disk space shows its own message whatever the operation.
  for (auto operation : {SetupOpreation::install, SetupOpreation::update}) {
    EXPECT_EQ(SetupErrorView(kSetup, {{"-1", "933", "0"}, operation}).errorMessage, "driver_space_error_message");
  }
}

TEST(LanguageButton, KoreanOpensTheHelpPageWithTheCodes) {
  const InternetErrorView view{{460, 213}, {"-60", "12", "34"}};
  std::vector<popup::Button> buttons;
  popup::collectButtons(body(view, korean).content, buttons);
  ASSERT_EQ(buttons.size(), 1u);
  EXPECT_EQ(buttons[0].label->key, "See the troubleshoot");
  EXPECT_EQ(buttons[0].style, popup::ButtonStyle::outlined);
  EXPECT_FALSE(buttons[0].answer);
  EXPECT_EQ(buttons[0].helpURL, "https://help.test/KTZ/HTML/error_page.html?main_error_code=-60&sub_error_code=34");

  for (const auto& language : {"en", "", "kor", "de"}) {
    buttons.clear();
    popup::collectButtons(body(view, PopupEnvironment{language, "https://help.test"}).content, buttons);
    ASSERT_EQ(buttons.size(), 1u);
    EXPECT_EQ(buttons[0].label->key, "OK") << language;
    EXPECT_EQ(buttons[0].helpURL, std::nullopt);
  }
  // An address that does not parse opens nothing; the button still answers.
  buttons.clear();
  popup::collectButtons(body(view, PopupEnvironment{"ko", "not a host"}).content, buttons);
  EXPECT_EQ(buttons.at(0).helpURL, std::nullopt);
}

TEST(VANTIXErrorView, StatusTexts) {
  const auto keys = [](std::int64_t code) { return keysOf(VANTIXErrorView{{460, 213}, code}); };
  EXPECT_EQ(keys(2019), keys(2013));
  EXPECT_EQ(keys(2013), (std::vector<std::string>{"ids_vantix_ticket_error_not_signed_up_member_1",
                                                  "ids_vantix_ticket_error_not_signed_up_member_2", "OK"}));
  EXPECT_EQ(keys(18), (std::vector<std::string>{"ids_vantix_ticket_error_not_supported_locale", "OK"}));
  EXPECT_EQ(keys(-22)[0], "ids_vantix_ticket_error_network_connection_fail_1");
  EXPECT_EQ(keys(7), (std::vector<std::string>{"ids_vantix_ticket_error_common_format_1",
                                               "ids_vantix_ticket_error_common_format_2", "ERROR CODE = %lld", "OK"}));
  EXPECT_EQ(keys(-1), keys(7));
  const auto line = findText(textsOf(VANTIXErrorView{{460, 213}, 7}), "ERROR CODE = %lld");
  EXPECT_EQ(StringTable().localized(line.key, line.values), "ERROR CODE = 7");

  testnet::LogMark mark;
  body(VANTIXErrorView{{460, 213}, 2019}, english);
  body(VANTIXErrorView{{460, 213}, 7}, english);
  EXPECT_EQ(mark.errors("VANTIX"),
            (std::vector<std::string>{"VANTIX failed, err=unregisterTPA", "VANTIX failed, err=unknown"}));
}

TEST(DriverSpaceErrorView, SizesAndMessagesByOperation) {
  const DriverSpaceErrorView install({480, 287}, {5'000'000'000, 12'300'000'000, SetupOpreation::install}, "Data");
  EXPECT_EQ(keysOf(install),
            (std::vector<std::string>{"driver_space_error_install_message_1", "=5GB",
                                      "driver_space_error_install_message_2", "driver_space_error_install_message_3",
                                      "=Data", "=12.3GB left", "OK"}));
  EXPECT_EQ(findText(textsOf(install), "12.3GB left").color, "#ff0014");
  const DriverSpaceErrorView update({480, 287}, {1, 0, SetupOpreation::update}, "Unknown Volume");
  EXPECT_EQ(keysOf(update),
            (std::vector<std::string>{"driver_space_error_patch_message_1", "driver_space_error_patch_message_2",
                                      "=Unknown Volume", "=ZeroKB left", "OK"}));
}

TEST(OtherViews, TextsInOrder) {
  EXPECT_EQ(keysOf(OSVersionErrorView{{480, 347}, {10.9f, 10.15f}}),
            (std::vector<std::string>{"os_version_limit_message_1", "os_version_limit_message_2",
                                      "os_version_limit_supoort_os_version", "=macOS Catalina 10.15", "or higher",
                                      "os_version_limit_current_os_version", "=macOS Unknown 10.9",
                                      "Ignore and install", "Cancel Installation"}));
  EXPECT_EQ(findText(textsOf(OSVersionErrorView{{480, 347}, {10.9f, 10.15f}}), "macOS Unknown 10.9").color, "#FF0014");
  // The related link is not shown.
  EXPECT_EQ(keysOf(MaintenanceErrorView{{480, 376}, {"s", "e", "r", "https://link"}}),
            (std::vector<std::string>{
                "game_service_maintenance_message_1", "game_service_maintenance_message_2",
                "game_service_maintenance_start_time", "=s", "game_service_maintenance_end_time", "=e",
                "game_service_maintenance_reason", "=r", "game_service_maintenance_message_3_1",
                "game_service_maintenance_notice", "game_service_maintenance_message_3_2", "OK"}));
  EXPECT_EQ(keysOf(UnknownErrorView{{460, 213}, "Execute Failed."}),
            (std::vector<std::string>{"=Execute Failed.", "OK"}));
  EXPECT_EQ(keysOf(UnsupportedAppLaunchingErrorView{{320, 203}}),
            (std::vector<std::string>{"JorvuVorn", "unsupported_app_launching_message_1",
                                      "unsupported_app_launching_message_2", "OK"}));
  const auto dark = body(UnsupportedOSErrorView{{320, 226}}, english);
  EXPECT_EQ(dark.background, "#1d1e1f");
  EXPECT_TRUE(dark.shadow);
  EXPECT_TRUE(dark.alignedToTop);
  EXPECT_EQ(body(UnknownErrorView{{460, 213}, "x"}, english).background, "#ffffff");
}

// Every view in every variant the choice can make, in both languages.
std::vector<PopupView> everyView() {
  std::vector<PopupView> views = {
      UnsupportedAppLaunchingErrorView{{320, 203}},
      UnsupportedOSErrorView{{320, 226}},
      OSVersionErrorView{{480, 347}, {10.15f, 11.0f}},
      MaintenanceErrorView{{480, 376}, {"a", "b", "c", "d"}},
      UnknownErrorView{{460, 213}, "unknown error."},
      InternetErrorView{{460, 213}, {"-60", "0", "0"}},
      SetupErrorView(kSetup, {{"1", "2", "3"}, SetupOpreation::install}),
      SetupErrorView(kSetup, {{"1", "2", "3"}, SetupOpreation::update}),
      SetupErrorView(kSetup, {{"1", "933", "3"}, SetupOpreation::update}),
      DriverSpaceErrorView({480, 287}, {1, 2, SetupOpreation::install}, "v"),
      DriverSpaceErrorView({480, 287}, {1, 2, SetupOpreation::update}, "v"),
  };
  for (std::int64_t code : {14, 25, -9, -22, 1204, 1301, 1900, 2012, 2003, 2013, 2019, 2020, 2403, 2999, 18, -1, 7}) {
    views.push_back(VANTIXErrorView{{460, 213}, code});
  }
  return views;
}

TEST(Resources, EveryKeyInBothTablesAndEveryImagePresent) {
  const std::string folder = JORVU_SOURCE_RESOURCES;
  const StringTable en = StringTable::load(folder, "en");
  const StringTable ko = StringTable::load(folder, "ko");
  ASSERT_FALSE(en.entries().empty());
  ASSERT_FALSE(ko.entries().empty());
  std::set<std::string> used;
  std::set<std::string> images;
  for (const auto& view : everyView()) {
    for (const auto& environment : {english, korean}) {
      const auto content = body(view, environment).content;
      std::vector<popup::Text> texts;
      popup::collectTexts(content, texts);
      for (const auto& text : texts) {
        if (!text.verbatim) used.insert(text.key);
      }
      std::vector<std::string> names;
      popup::collectImages(content, names);
      images.insert(names.begin(), names.end());
    }
  }
  for (const auto& key : used) {
    EXPECT_TRUE(en.contains(key)) << "en lacks " << key;
    EXPECT_TRUE(ko.contains(key)) << "ko lacks " << key;
  }
  // The tables hold nothing the views do not use, and the same keys.
  for (const auto& [key, value] : en.entries()) EXPECT_TRUE(used.count(key)) << "unused " << key;
  EXPECT_EQ(en.entries().size(), ko.entries().size());
  EXPECT_NE(ko.lookup("See the troubleshoot"), "See the troubleshoot");
  EXPECT_EQ(images, (std::set<std::string>{"ArrowRight", "ExclamationMark_circle", "ExclamationMark_triangle",
                                           "JorvuVornTitleBarIcon"}));
  for (const auto& name : images) {
    struct stat st {};
    EXPECT_EQ(::stat((folder + "/Images/" + name + ".svg").c_str(), &st), 0) << name;
  }
}

}  // namespace
