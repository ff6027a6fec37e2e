#include <gtest/gtest.h>

#include <csignal>
#include <set>

#include "Common/Launcher/ApplicationLauncher.hpp"

#include "JorvuVornHelper/Common/QuillmereSymbolicLinkFiles.hpp"
#include "JorvuVornHelper/Common/VANTIXAuthentication.hpp"
#include "Tests/JorvuVornHelper/Common/GameTestSupport.hpp"

namespace {

using namespace gametest;
namespace fs = std::filesystem;

class GameLaunchTest : public GameFixture {
 protected:
  // A registered, installed game whose bundle records its arguments.
  Game installed(std::uint32_t code, Record record, std::optional<VantixToken> token = std::nullopt) {
    exe = makeBundle("GameFolder", "Game.app");
    Game game = registerGame(code, record, "", std::move(token));
    worker->needs = false;
    return game;
  }
  std::vector<std::string> launch(const Game& game, const std::optional<std::string>& passarg) {
    game.execute(passarg);
    auto args = launchedArguments(exe);
    EXPECT_TRUE(args) << "the game did not record its arguments";
    return args.value_or(std::vector<std::string>{"<none>"});
  }
  std::string exe;
};

TEST_F(GameLaunchTest, FillsTheTemplateIntoOneArgument) {
  Game game = installed(8001, Record(8001)
                                  .text("command_line_info", "-sid %SID% -arg %ARG% -x %EXECINFO% -l %LOC% -again %SID% %DOM%")
                                  .text("execution_info", "exec info")
                                  .set("use_vantix_token", "true"),
                        VantixToken{"gid-1", "web-1"});
  auto args = launch(game, "pass word");
  ASSERT_EQ(args.size(), 1u);
  // "-sid N -arg pass word -x exec info -l KR -again N ticket-gid-1"
  const std::string& a = args[0];
  const std::string prefix = "-sid ";
  ASSERT_EQ(a.rfind(prefix, 0), 0u) << a;
  const std::string sid = a.substr(prefix.size(), a.find(' ', prefix.size()) - prefix.size());
  EXPECT_FALSE(sid.empty());
  EXPECT_EQ(sid.find_first_not_of("0123456789"), std::string::npos) << sid;
  EXPECT_EQ(a, "-sid " + sid + " -arg pass word -x exec info -l KR -again " + sid + " ticket-gid-1");
  ASSERT_EQ(server.ticketRequests().size(), 1u);
  EXPECT_EQ(server.ticketRequests()[0].header("x-ias-web-token"), "web-1");

  // Another launch draws another number.
  auto again = launch(game, "p");
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].find("-sid " + sid + " "), std::string::npos) << again[0];
}

TEST_F(GameLaunchTest, PlaceholdersWhoseConditionFailsStayAndNoTicketIsAsked) {
  const std::string tmpl = "%ARG% %DOM% %EXECINFO% %LOC%";
  Game noToken = installed(8002, Record(8002).text("command_line_info", tmpl).set("use_vantix_token", "true"));
  EXPECT_EQ(launch(noToken, std::nullopt), std::vector<std::string>{"%ARG% %DOM% %EXECINFO% KR"});
  Game notAsked = installed(8003, Record(8003).text("command_line_info", tmpl), VantixToken{"g", "w"});
  EXPECT_EQ(launch(notAsked, std::nullopt), std::vector<std::string>{"%ARG% %DOM% %EXECINFO% KR"});
  EXPECT_TRUE(server.ticketRequests().empty());
  // Without a template: one empty argument, and no ticket either.
  Game none = installed(8004, Record(8004).set("use_vantix_token", "true"), VantixToken{"g", "w"});
  EXPECT_EQ(launch(none, "x"), std::vector<std::string>{""});
  EXPECT_TRUE(server.ticketRequests().empty());
  // A text put in by an earlier placeholder is searched by the later ones,
  // and a blank does not split the argument.
  Game chained = installed(8005, Record(8005).text("command_line_info", "a %ARG% b"));
  EXPECT_EQ(launch(chained, "%LOC%  %ARG%"), std::vector<std::string>{"a KR  %ARG% b"});
}

TEST_F(GameLaunchTest, ATicketFailureStopsTheLaunch) {
  testsupport::writeFile(root.path() + "/ticket/status", "401");
  testsupport::writeFile(root.path() + "/ticket/body", R"({"error":{"code":14}})");
  Game game = installed(8006, Record(8006).text("command_line_info", "%DOM%").set("use_vantix_token", "true"),
                        VantixToken{"g", "w"});
  try {
    game.execute(std::nullopt);
    FAIL() << "launched";
  } catch (const VANTIXAuthenticationError& e) {
    EXPECT_EQ(e, VANTIXAuthenticationError::statusCodeFailure(14));
  }
  EXPECT_FALSE(fs::exists(exe + ".args"));
  EXPECT_TRUE(reportQueries().empty());
}

TEST_F(GameLaunchTest, ReportsOneAndTwoOnSuccessFiveAndSixOnFailure) {
  Game game = installed(8010, Record(8010).set("game_code", "8011"));
  launch(game, std::nullopt);
  EXPECT_EQ(reportQueries(), std::vector<std::string>{"gc=8011&tp=1"});
  worker->needs = true;
  game.work(false);
  BackgroundQueue::shared().waitIdle();
  worker->needs = false;
  launch(game, std::nullopt);
  EXPECT_EQ(reportQueries(), (std::vector<std::string>{"gc=8011&tp=1", "gc=8011&tp=2"}));

  fs::remove_all(root / "/Library/Application Support/Jorvu/GameFolder");
  Game unworked = registerGame(8010, Record(8010).set("game_code", "8011"));
  for (const Game* g : {&unworked, &game}) {
    testnet::LogMark mark;
    EXPECT_EQ(thrownCase([&] { g->execute(std::nullopt); }), "ExecuteFailed");
    ASSERT_EQ(mark.errors("An error occurred: ").size(), 1u);
  }
  EXPECT_EQ(reportQueries(), (std::vector<std::string>{"gc=8011&tp=1", "gc=8011&tp=2", "gc=8011&tp=5", "gc=8011&tp=6"}));
  for (const auto& r : server.reports()) {
    const bool failure = r.query.back() == '5' || r.query.back() == '6';
    EXPECT_EQ(r.cookies.count("errorLog"), failure ? 1u : 0u) << r.query;
    if (failure) {
      EXPECT_EQ(r.cookies.at("errorLog"), "ApplicationLauncherError.invalidBundle");
    }
  }
}

TEST_F(GameLaunchTest, WorkRequiredAndMaintenanceStopTheLaunchWithoutAReport) {
  const auto now = std::chrono::system_clock::now();
  Game game = installed(8020, Record(8020).set("game_maintenance",
                                               maintenance(false, kstText(now - std::chrono::hours(1)),
                                                           kstText(now + std::chrono::hours(1)))));
  EXPECT_EQ(thrownCase([&] { game.execute(std::nullopt); }), "Maintenance");
  worker->needs = true;
  EXPECT_EQ(thrownCase([&] { game.execute(std::nullopt); }), "WorkRequired");
  EXPECT_FALSE(fs::exists(exe + ".args"));
  EXPECT_TRUE(reportQueries().empty());
}

TEST_F(GameLaunchTest, APortedGameLaunchesDuringMaintenanceWithItsOwnArgument) {
  const auto now = std::chrono::system_clock::now();
  for (std::uint32_t code : Game::portedWindowsGames) {
    Game game = installed(code, Record(code)
                                    .text("command_line_info", "%ARG% ignored")
                                    .set("game_maintenance", maintenance(false, kstText(now - std::chrono::hours(1)),
                                                                         kstText(now + std::chrono::hours(1)))));
    EXPECT_EQ(launch(game, "pass"), std::vector<std::string>{"ktz://launch/ pass"}) << code;
    EXPECT_EQ(launch(game, std::nullopt), std::vector<std::string>{"ktz://launch/ "}) << code;
  }
  // Not worked in this registration: no links.
  EXPECT_FALSE(fs::exists(root / QuillmereSymbolicLinkFiles::bundlePath));
}

TEST_F(GameLaunchTest, APortedGameGetsItsLinksOnlyAfterWorkByTheEngine) {
  const std::string bin = root / QuillmereSymbolicLinkFiles::symbolic().back().second;
  exe = makeBundle("QuillT", "QuillmereT.app");
  for (const auto& [target, link] : QuillmereSymbolicLinkFiles::symbolic())
    fs::create_directories(fs::path(root / link).parent_path());

  Game game = registerGame(589826, Record(589826).text("install_folder_name", "QuillT")
                                       .text("mac_executable_file_name", "QuillmereT.app"));
  game.isWorked = true;
  game.isURLDownloadMode = true;
  worker->needs = false;
  launch(game, std::nullopt);
  EXPECT_FALSE(fs::is_symlink(bin));
  game.isURLDownloadMode = false;
  launch(game, std::nullopt);
  EXPECT_TRUE(fs::is_symlink(bin));
  EXPECT_EQ(fs::read_symlink(bin).string(), root / QuillmereSymbolicLinkFiles::symbolic().back().first);
}

TEST_F(GameLaunchTest, ARunningGameIsNotStartedTwice) {
  // A bundle whose executable stays up until told to stop.
  exe = makeBundle("GameFolder", "Game.app");
  fs::remove(exe);
  fs::copy_file("/bin/sleep", exe);
  Game game = registerGame(8030, Record(8030).text("command_line_info", "30"));
  worker->needs = false;
  game.execute(std::nullopt);
  ASSERT_TRUE(waitUntil([&] { return ApplicationLauncher::findRunning(root / "/Library/Application Support/Jorvu/GameFolder/Game.app").has_value(); }));
  const pid_t first = *ApplicationLauncher::findRunning(root / "/Library/Application Support/Jorvu/GameFolder/Game.app");
  game.execute(std::nullopt);  // the running one stands for the launch
  EXPECT_EQ(reportQueries(), (std::vector<std::string>{"gc=8030&tp=1", "gc=8030&tp=1"}));
  ::kill(first, SIGKILL);
  EXPECT_TRUE(waitUntil([&] { return !ApplicationLauncher::findRunning(root / "/Library/Application Support/Jorvu/GameFolder/Game.app"); }));
}

}  // namespace
