#include <gtest/gtest.h>

#include "Common/Protocol/ErrorInfo.hpp"
#include "Tests/JorvuVornHelper/Common/GameTestSupport.hpp"

namespace {

using namespace gametest;

class GameTest : public GameFixture {};

TEST_F(GameTest, RegistrationHandsTheManifestWorkerItsSevenValues) {
  Game game = registerGame(7001, Record(7001).text("manifest_name", "m.json"), "beta", VantixToken{"g", "w"});
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].kind, "manifest");
  EXPECT_EQ(made[0].gameCode, 7001u);
  EXPECT_EQ(made[0].obdTag, "beta");
  EXPECT_EQ(made[0].url, "http://127.0.0.1:9/source");
  EXPECT_TRUE(made[0].hasManifestName);
  EXPECT_EQ(made[0].manifestName, "m.json");
  EXPECT_EQ(made[0].targetPath, "/Library/Application Support/Jorvu/GameFolder");
  EXPECT_EQ(made[0].executable, "Game.app");
  EXPECT_EQ(made[0].shortcutTarget, "mac-target");
  EXPECT_EQ(game.gameWorker, worker);
  EXPECT_FALSE(game.isURLDownloadMode);
  EXPECT_FALSE(game.workingStatus);
  EXPECT_FALSE(game.isWorked);
  EXPECT_EQ(game.vantixToken, (VantixToken{"g", "w"}));
  ASSERT_EQ(server.catalogueRequests().size(), 1u);
  EXPECT_EQ(server.catalogueRequests()[0].target, "/game-info/7001@beta");
  // Without a manifest name the bridge gets none.
  registerGame(7002, Record(7002).erase("manifest_name"));
  EXPECT_FALSE(made.back().hasManifestName);
}

TEST_F(GameTest, OnlyALowerCaseHttpPrefixMeansASetupArchive) {
  Game game = registerGame(7003, Record(7003).text("mac_executable_file_name", "https://cdn.test/a/b/Installer.zip"));
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].kind, "url");
  EXPECT_TRUE(game.isURLDownloadMode);
  EXPECT_EQ(made[0].gameCode, 7003u);
  EXPECT_EQ(made[0].url, "https://cdn.test/a/b/Installer.zip");
  EXPECT_EQ(made[0].targetPath, "/Library/Application Support/Jorvu/Installer");
  EXPECT_EQ(made[0].executable, "Installer.app");
  EXPECT_EQ(game.gameInfo.install_folder_name, "Installer");

  registerGame(7004, Record(7004).text("mac_executable_file_name", "http://cdn.test/G.zip"));
  EXPECT_EQ(made.back().kind, "url");
  Game upper = registerGame(7005, Record(7005).text("mac_executable_file_name", "HTTPS://cdn.test/G.zip"));
  EXPECT_EQ(made.back().kind, "manifest");
  EXPECT_FALSE(upper.isURLDownloadMode);
  EXPECT_EQ(made.back().executable, "HTTPS://cdn.test/G.zip");
}

TEST_F(GameTest, ShortcutTargetRules) {
  const std::string noMac = R"("[{\"Path\":\"Win\",\"Target\":\"w\",\"Index\":0,\"Arg\":\"\"}]")";
  const std::string emptyMac = R"("[{\"Path\":\"Mac\",\"Target\":\"\",\"Index\":0,\"Arg\":\"\"},{\"Path\":\"Mac\",\"Target\":\"second\",\"Index\":1,\"Arg\":\"\"}]")";
  registerGame(7010, Record(7010).set("shortcut_install_list", noMac));
  EXPECT_EQ(made.back().shortcutTarget, "https://www.jorvu.com/Home/Game");
  registerGame(7011, Record(7011).set("shortcut_install_list", R"("[]")"));
  EXPECT_EQ(made.back().shortcutTarget, "https://www.jorvu.com/Home/Game");
  registerGame(7012, Record(7012).set("shortcut_install_list", emptyMac));
  EXPECT_EQ(made.back().shortcutTarget, "");
  // The app itself and the ported games need no list and get no target.
  for (std::uint32_t code : {128000u, 589825u, 589826u}) {
    registerGame(code, Record(code).erase("shortcut_install_list"));
    EXPECT_EQ(made.back().shortcutTarget, "") << code;
    registerGame(code, Record(code));
    EXPECT_EQ(made.back().shortcutTarget, "") << code;
  }
  const std::size_t before = made.size();
  for (const std::string& bad : {std::string(), std::string(R"("not json")"), std::string(R"("{}")"),
                                 std::string(R"("[{\"Path\":\"Mac\"}]")")}) {
    Record record(7013);
    if (bad.empty()) record.erase("shortcut_install_list");
    else record.set("shortcut_install_list", bad);
    EXPECT_EQ(thrownCase([&] { registerGame(7013, record); }), "JsonDataDecodeFailed") << bad;
  }
  EXPECT_EQ(made.size(), before);  // no worker for a refused record
}

TEST_F(GameTest, RegistrationFailures) {
  EXPECT_EQ(thrownCase([&] { Game::make(404, "", std::nullopt, factory); }), "URLSessionStatusCodeNot200");
  EXPECT_EQ(thrownCase([&] { registerGame(7020, Record(7020).erase("mac_executable_file_name")); }), "UnsupportedOS");
  EXPECT_EQ(thrownCase([&] { registerGame(7021, Record(7021).text("mac_executable_file_name", "")); }),
            "UnsupportedOS");
  {
    testnet::LogMark mark;
    EXPECT_EQ(thrownCase([&] { registerGame(7022, Record(7022).erase("setup_file_url")); }), "JsonDataDecodeFailed");
    EXPECT_EQ(mark.errors(), std::vector<std::string>{"setupFileURL invalid"});
  }
  // Names that would lead out of the games folder.
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"install_folder_name", ".."}, {"install_folder_name", "a/../../x"}, {"install_folder_name", ""},
           {"mac_executable_file_name", "../../bin/sh"}, {"mac_executable_file_name", "/bin/sh"}}) {
    EXPECT_EQ(thrownCase([&] { registerGame(7023, Record(7023).text(key, value)); }), "JsonDataDecodeFailed")
        << key << "=" << value;
  }
  EXPECT_TRUE(made.empty());
}

TEST_F(GameTest, WorkStartsTheJobOnABackgroundThreadAndSetsBothFlags) {
  Game game = registerGame(7030, Record(7030));
  std::mutex gate;
  std::unique_lock hold(gate);
  worker->job = [&] {
    std::lock_guard wait(gate);
    return true;
  };
  game.work(false);  // returns while the job is held
  EXPECT_TRUE(game.workingStatus);
  EXPECT_TRUE(game.isWorked);
  ASSERT_TRUE(worker->waitForWork(1));
  EXPECT_NE(worker->workThread(), std::this_thread::get_id());
  hold.unlock();
  BackgroundQueue::shared().waitIdle();

  worker->needs = false;
  Game fresh = registerGame(7031, Record(7031));
  EXPECT_EQ(thrownCase([&] { fresh.work(false); }), "NoWorkRequired");
  EXPECT_FALSE(fresh.workingStatus);
  EXPECT_FALSE(fresh.isWorked);
}

TEST_F(GameTest, OSVersionLimitHoldsBackOnlyAnInstallThatDoesNotIgnoreIt) {
  setSystemVersion("12.0");
  Game game = registerGame(7040, Record(7040).text("mac_os_version", "12.1"));
  worker->mode = WorkMode::Install;
  try {
    game.work(false);
    FAIL() << "no limit";
  } catch (const SubError& e) {
    ASSERT_TRUE(e.is<SubError::OSVersionLimit>()) << e.what();
    EXPECT_FLOAT_EQ(e.get<SubError::OSVersionLimit>()->currentOS, 12.0f);
    EXPECT_FLOAT_EQ(e.get<SubError::OSVersionLimit>()->limitOS, 12.1f);
  }
  EXPECT_FALSE(game.workingStatus);
  EXPECT_EQ(worker->works(), 0);
  game.work(true);
  EXPECT_TRUE(worker->waitForWork(1));
  BackgroundQueue::shared().waitIdle();
  Game patch = registerGame(7041, Record(7041).text("mac_os_version", "12.1"));
  worker->mode = WorkMode::Patch;
  patch.work(false);
  EXPECT_TRUE(patch.workingStatus);
  EXPECT_TRUE(worker->waitForWork(2));
}

TEST_F(GameTest, StatusCarriesProgressAndClearsTheWorkingFlagWhenTheJobIsOver) {
  Game game = registerGame(7050, Record(7050).set("game_code", "7059"));
  game.work(false);
  auto status = GameStatus::decode(game.getGameStatusJson());
  EXPECT_EQ(status.gameCode, 7059u);  // the record's code
  EXPECT_EQ(status.status, GameStatus::Status::install);
  ASSERT_TRUE(status.progress);
  EXPECT_EQ(status.progress->totalSize, 100u);
  EXPECT_EQ(status.progress->currentSize, 40u);
  EXPECT_TRUE(game.workingStatus);

  for (auto [mode, name] : {std::pair{WorkMode::Ready, "ready"}, std::pair{WorkMode::UserAbort, "cancel"}}) {
    game.workingStatus = true;
    worker->mode = mode;
    worker->setTexts("null", worker->getErrorInfo());
    status = GameStatus::decode(game.getGameStatusJson());
    EXPECT_STREQ(toString(status.status), name);
    EXPECT_FALSE(status.progress);
    EXPECT_FALSE(game.workingStatus) << name;
  }
  worker->mode = WorkMode::Install;
  worker->setTexts("{\"operationType\":1}", worker->getErrorInfo());
  EXPECT_EQ(thrownCase([&] { game.getGameStatusJson(); }), "JsonDataDecodeFailed");
}

TEST_F(GameTest, AJobThatEndedInErrorGivesItsRecordAndFreesTheWorkingFlag) {
  Game game = registerGame(7060, Record(7060));
  game.work(false);
  worker->mode = 7;  // any mode above 6 is an error too
  const CapacityInfo capacity{5000, 10, 1};
  worker->setTexts("null", ErrorInfo{-10, 13000, 933, 2, capacity.encode()}.encode());
  try {
    game.getGameStatusJson();
    FAIL() << "no failure";
  } catch (const SubError& e) {
    const auto* failed = e.get<SubError::WorkFailed>();
    ASSERT_NE(failed, nullptr) << e.what();
    EXPECT_EQ(*failed, (SubError::WorkFailed{-10, 13000, 933, 2, capacity.encode()}));
  }
  EXPECT_FALSE(game.workingStatus);
  EXPECT_TRUE(game.isWorked);
  worker->setTexts("null", "not json");
  EXPECT_EQ(thrownCase([&] { game.getGameStatusJson(); }), "JsonDataDecodeFailed");
}

TEST_F(GameTest, CancelSendsReport62AndCancelsTheWorker) {
  Game game = registerGame(7070, Record(7070).set("game_code", "7071"));
  game.cancel();  // nothing was running
  game.work(false);
  game.cancel();
  EXPECT_FALSE(game.workingStatus);
  EXPECT_EQ(worker->cancels, 2);
  EXPECT_EQ(reportQueries(), (std::vector<std::string>{"gc=7071&tp=62", "gc=7071&tp=62"}));
}

TEST_F(GameTest, PanelFollowsTheWorkModeAndAcceptsOnlyWebViewAddresses) {
  testnet::ScopedEnv locale("LC_ALL", "ko_KR.UTF-8");
  Game game = registerGame(7080, Record(7080)
                                     .text("patch_panel_image_url", "webview://url=https%3A%2F%2Fpanel.test%2Fp%20x.html")
                                     .set("patch_panel_image_width", "800")
                                     .set("patch_panel_image_height", "600")
                                     .text("install_panel_image_url", "https://panel.test/plain.html")
                                     .set("install_panel_image_width", "1")
                                     .set("install_panel_image_height", "2"));
  worker->mode = WorkMode::Patch;
  auto panel = GamePanelInfo::decode(game.getGamePanelInfoJson());
  EXPECT_EQ(panel, (GamePanelInfo{7080, "https://panel.test/p x.html?language=ko", 800, 600}));

  const GamePanelInfo fallback{7080, gamepanel::defaultContentsURL(), 540, 188};
  EXPECT_NE(fallback.contentsURL.find("/ktz-execution-layer-common-macos-skins/common-skins/index.html?language="),
            std::string::npos);
  {
    testnet::LogMark mark;
    worker->mode = WorkMode::Install;
    EXPECT_EQ(GamePanelInfo::decode(game.getGamePanelInfoJson()), fallback);
    EXPECT_EQ(mark.errors(), std::vector<std::string>{"invalid contentsURL=Optional(\"https://panel.test/plain.html\")"});
  }
  for (auto mode : {WorkMode::None, WorkMode::Ready, WorkMode::UserAbort, WorkMode::Error}) {
    worker->mode = mode;
    EXPECT_EQ(GamePanelInfo::decode(game.getGamePanelInfoJson()), fallback) << mode;
  }

  // The marker is found anywhere and in any case; a size of 0 is kept; a
  // bad escape or a missing address keeps the default.
  const std::vector<std::pair<std::optional<std::string>, std::optional<GamePanelInfo>>> table = {
      {"x-WebView://URL=https://a.test/i", GamePanelInfo{1, "https://a.test/i?language=ko", 0, 0}},
      {"webview://url=", GamePanelInfo{1, "?language=ko", 0, 0}},
      {"webview://url=%zz", std::nullopt},
      {"", std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const auto& [address, expected] : table) {
    Record record(1);
    record.set("install_panel_image_width", "0").set("install_panel_image_height", "0");
    if (address) record.text("install_panel_image_url", *address);
    testnet::LogMark mark;
    const GamePanelInfo got = makeGamePanelInfo(record.info(), GameStatus::Status::install);
    EXPECT_EQ(got, expected.value_or(GamePanelInfo{1, fallback.contentsURL, 540, 188})) << address.value_or("nil");
    EXPECT_EQ(mark.errors("invalid contentsURL=").size(), expected ? 0u : 1u);
  }
  testnet::LogMark mark;
  makeGamePanelInfo(Record(1).info(), GameStatus::Status::install);
  EXPECT_EQ(mark.errors(), std::vector<std::string>{"invalid contentsURL=nil"});
}

}  // namespace
