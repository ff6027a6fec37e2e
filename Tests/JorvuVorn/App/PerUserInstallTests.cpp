// The launcher as a desktop user without root meets it: a normal user made
// for the test (useradd) installs it from a copy of the build with
// scripts/install-app, with nothing but a temporary HOME and runtime folder
// of its own (no JORVU_ROOT), and opens a start URL through the registered
// handler against the local publisher: the game installs and
// starts. Before that, the same user meets an install that root made into a
// folder of root's, as the old system install was: the app says what failed
// and what to do, and ends with 1. Two such users then install, update the
// app, install and patch games, and nothing of theirs becomes writable by
// anybody else. Creating and becoming a user needs root.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "Platform/Bundle.hpp"
#include "Tests/EndToEnd/EndToEndSupport.hpp"
#include "Tests/JorvuVorn/App/AppTestSupport.hpp"
#include "Tests/Support/FreePorts.hpp"
#include "Tools/publisher/Publisher.hpp"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The ids of the processes that run as `uid`.
std::vector<pid_t> processesOf(uid_t uid) {
  std::vector<pid_t> pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat st {};
    if (::stat(entry.path().c_str(), &st) == 0 && st.st_uid == uid) pids.push_back(std::stoi(name));
  }
  return pids;
}

// The whole environment of a player's desktop session, its publisher at
// `origin`.
std::vector<std::string> playerEnv(const std::string& name, const std::string& home, const std::string& runtime,
                                   const std::string& origin) {
  return {"HOME=" + home,
          "USER=" + name,
          "PATH=/usr/local/bin:/usr/bin:/bin",
          "XDG_RUNTIME_DIR=" + runtime,
          "XDG_DESKTOP_DIR=" + home + "/Desktop",
          "BROWSER=/bin/false",
          "JORVU_CATALOGUE_LIVE_HOST=" + origin,
          "JORVU_CATALOGUE_TEST_HOST=" + origin,
          "JORVU_REPORT_HOST=" + origin,
          "JORVU_TICKET_HOST=" + origin};
}

// A normal user with its home in `home`, removed at the end with whatever
// it still runs.
class TestUser {
 public:
  // `suffix` tells apart the users of one test.
  explicit TestUser(const std::string& home, const std::string& suffix = "")
      : name_("jorvut" + std::to_string(::getpid()) + suffix) {
    made_ = testsupport::runProgram({"/usr/sbin/useradd", "-M", "-d", home, "-s", "/bin/sh", name_}) == 0;
    const passwd* pw = made_ ? ::getpwnam(name_.c_str()) : nullptr;
    if (pw != nullptr) {
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
    }
  }
  ~TestUser() {
    if (!made_) return;
    for (pid_t pid : processesOf(uid_)) ::kill(pid, SIGKILL);
    apptest::waitUntil([this] { return processesOf(uid_).empty(); }, 10s);
    testsupport::runProgram({"/usr/sbin/userdel", name_});
  }
  TestUser(const TestUser&) = delete;
  TestUser& operator=(const TestUser&) = delete;

  bool made() const { return made_ && uid_ != 0; }
  uid_t uid() const { return uid_; }
  const std::string& name() const { return name_; }

  // Gives the user everything below `folder`.
  bool own(const std::string& folder) const {
    return testsupport::runProgram({"/bin/chown", "-R", std::to_string(uid_) + ":" + std::to_string(gid_), folder}) == 0;
  }

  // Runs `argv` as the user with exactly `env` (and the sanitizers' options
  // of this process); its exit status, its output in `outputPath`.
  std::optional<int> run(const std::vector<std::string>& argv, std::vector<std::string> env,
                         const std::string& outputPath, std::chrono::milliseconds limit = 60s) const {
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string(*e).find("SAN_OPTIONS=") != std::string::npos) env.emplace_back(*e);
    }
    std::vector<std::string> all{"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_),
                                 "--regid=" + std::to_string(gid_), "--init-groups", "--", "/usr/bin/env", "-i"};
    all.insert(all.end(), env.begin(), env.end());
    all.insert(all.end(), argv.begin(), argv.end());
    return apptest::Process(all, {}, outputPath).wait(limit);
  }

 private:
  std::string name_;
  bool made_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

std::string copyOfTheBuild(const std::string& folder) {
  const std::string build = folder + "/build";
  fs::create_directories(build + "/bin");
  fs::create_directories(folder + "/scripts");
  fs::copy(JORVU_BUILD_DIR "/JorvuVorn.app", build + "/JorvuVorn.app",
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::copy_file(JORVU_BUILD_DIR "/bin/launchctl", build + "/bin/launchctl");
  fs::copy_file(JORVU_SOURCE_DIR "/scripts/install-app", folder + "/scripts/install-app");
  return build;
}

// Whether every folder above `path` lets others pass.
bool othersCanReach(fs::path path) {
  for (path = path.parent_path(); path != path.root_path(); path = path.parent_path()) {
    if ((fs::status(path).permissions() & fs::perms::others_exec) == fs::perms::none) return false;
  }
  return true;
}

TEST(PerUserInstall, ANormalUserInstallsTheLauncherAndPlays) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a user (useradd) and running as that user needs root";
  testsupport::TempRoot root;
  fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  if (!othersCanReach(root.path())) GTEST_SKIP() << "another user cannot reach the temporary folder " << root.path();
  // Everything of the user lies in a folder it owns: its home, its runtime
  // folder and the copy of the build it installs from.
  const std::string mine = root.path() + "/user";
  const std::string home = mine + "/home";
  const std::string runtime = mine + "/run";
  fs::create_directories(home + "/Desktop");
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const std::string build = copyOfTheBuild(mine);
  TestUser user(home);
  ASSERT_TRUE(user.made()) << "useradd failed";
  ASSERT_TRUE(user.own(mine));

  publisher::Publisher pub(root.path() + "/pub");
  pub.start();
  const std::vector<std::string> env = playerEnv(user.name(), home, runtime, pub.origin());

  // An install of root's in a folder of root's: the user cannot write the
  // data folder, and is told so and what to do.
  const std::string system = root.path() + "/system";
  fs::create_directories(system);
  ASSERT_EQ(apptest::runInstaller({{"JORVU_ROOT", system},
                                   {"XDG_DATA_HOME", root.path() + "/xdg/data"},
                                   {"XDG_CONFIG_HOME", root.path() + "/xdg/config"}}),
            0);
  const std::string systemApp = system + apptest::installedApp + "/Contents/MacOS/JorvuVorn";
  std::vector<std::string> systemEnv = env;
  systemEnv.push_back("JORVU_ROOT=" + system);
  EXPECT_EQ(user.run({systemApp, "jorvuvorn://launch?game=1"}, systemEnv, root.path() + "/system.out"), 1);
  const std::string refused = testsupport::readFileOrEmpty(root.path() + "/system.out");
  EXPECT_NE(refused.find("JorvuVorn: cannot make " + system + "/var/run/jorvu/" + std::to_string(user.uid()) +
                         ": Permission denied\n"),
            std::string::npos)
      << refused;
  EXPECT_NE(refused.find("JorvuVorn: Install the launcher as the user who plays"), std::string::npos) << refused;
  // Its runtime folder made by root for the user, the games folder is what
  // the user cannot write.
  const std::string systemRuntime = system + "/var/run/jorvu/" + std::to_string(user.uid());
  fs::create_directories(systemRuntime);
  ASSERT_TRUE(user.own(systemRuntime));
  EXPECT_EQ(user.run({systemApp, "jorvuvorn://launch?game=1"}, systemEnv, root.path() + "/games.out"), 1);
  const std::string games = testsupport::readFileOrEmpty(root.path() + "/games.out");
  EXPECT_NE(games.find("JorvuVorn: cannot write to the games folder " + system +
                       "/Library/Application Support/Jorvu: Permission denied\n"),
            std::string::npos)
      << games;
  EXPECT_NE(games.find("JorvuVorn: Install the launcher as the user who plays"), std::string::npos) << games;

  // The user's own install, from the copy of the build.
  ASSERT_EQ(user.run({"/bin/bash", mine + "/scripts/install-app", "--build-dir", build}, env, root.path() + "/install.out",
                     120s),
            0)
      << testsupport::readFileOrEmpty(root.path() + "/install.out");
  const std::string data = home + "/.local/share/jorvuvorn";
  const std::string vorn = data + "/Library/Application Support/Jorvu/Vorn";
  ASSERT_TRUE(fs::is_regular_file(vorn + "/JorvuVorn.app/Contents/MacOS/JorvuVorn"));
  const std::string logs = data + home + "/Library/Logs/JorvuLauncher";
  testsupport::writeFile(data + "/Library/Application Support/Jorvu/VornConfig.json",
                         R"({"common":{"isRemainLogFile":true},"games":[]})");

  // The installed app is the publisher's current release, so it does not
  // update itself first.
  const std::string release = pub.publishApp(vorn + "/JorvuVorn.app", "", testsupport::binDir() + "/jorvu-pack");
  ASSERT_EQ(e2e::runProgram({testsupport::binDir() + "/jorvu-obd", "install", "--source", pub.origin() + "/app-source",
                             "--manifest", release, "--target", vorn, "--code", "128000", "--exe", "JorvuVorn.app"}),
            0);
  ASSERT_EQ(e2e::runProgram({"/bin/chmod", "-R", "755", vorn}), 0);
  // A game.
  const std::uint32_t code = testsupport::freeGameCode();
  const std::string tree = root.path() + "/trees/g1";
  e2e::writeTree(tree, {{"readme.txt", "release one\n"}});
  e2e::makeFakeGameBundle(tree, "Game");
  ASSERT_EQ(e2e::runProgram({testsupport::binDir() + "/jorvu-pack", "--out", root.path() + "/pub/src", "--name", "g1",
                             "--jobs", "2", "--level", "1", tree}),
            0);
  e2e::Record record(code);
  record.text("setup_file_url", pub.origin() + "/src")
      .text("manifest_name", "g1")
      .text("install_folder_name", "Orbit")
      .text("mac_executable_file_name", "Game.app")
      .text("shortcut_install_list", "[]")
      .text("command_line_info", "-arg=%ARG%");
  testsupport::writeFile(root.path() + "/pub/game-info/" + std::to_string(code) + ".json", record.json());
  ASSERT_TRUE(user.own(mine));

  // The start URL, as the desktop hands it to the registered handler (GIO,
  // which xdg-open uses on a desktop it knows).
  const std::string out = root.path() + "/open.out";
  EXPECT_EQ(user.run({"/usr/bin/gio", "open", "jorvuvorn://launch?game=" + std::to_string(code) + "&passarg=mine"}, env,
                     out),
            0)
      << testsupport::readFileOrEmpty(out);
  const std::string game = data + "/Library/Application Support/Jorvu/Orbit/Game.app/Contents/MacOS/Game";
  ASSERT_TRUE(apptest::waitUntil([&] { return fs::exists(game + ".args"); }, 240s))
      << testsupport::readFileOrEmpty(out) << testsupport::readFileOrEmpty(logs + "/JorvuVorn.log")
      << testsupport::readFileOrEmpty(logs + "/JorvuVornHelper.log");
  EXPECT_NE(testsupport::readFileOrEmpty(game + ".args").find("-arg=mine"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(game.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, user.uid());
  // Its lock and sockets lay in the install's runtime folder, not in the
  // session's; the app and its helper have ended.
  EXPECT_TRUE(fs::exists(data + "/var/run/jorvu/" + std::to_string(user.uid()) + "/com.jorvu.vorn.app.lock"));
  EXPECT_FALSE(fs::exists(runtime + "/jorvu"));
  EXPECT_TRUE(apptest::waitUntil([&] { return processesOf(user.uid()).empty(); }, 30s));
}

// Every file, folder and socket below `folder`, the folder itself included,
// whose mode has one of `bits`; symbolic links (always 0777) are left out and
// never followed. As `find folder ! -type l -perm /bits` lists them.
std::vector<std::string> entriesWith(const std::string& folder, mode_t bits) {
  std::vector<std::string> found;
  const auto check = [&](const fs::path& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode) || (st.st_mode & bits) == 0) return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    found.push_back(path.string() + " " + mode);
  };
  check(folder);
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) check(it->path());
  return found;
}

// A player of the machine: a user made for the test, with a home, a runtime
// folder and a copy of the build in a folder of its own, and a umask of its own.
class Player {
 public:
  Player(const std::string& folder, const std::string& suffix, const std::string& umask,
         const publisher::Publisher& pub)
      : mine(folder), home(folder + "/home"), data(home + "/.local/share/jorvuvorn"),
        games(data + "/Library/Application Support/Jorvu"), umask_(umask), user_(home, suffix) {
    fs::create_directories(home + "/Desktop");
    fs::create_directories(runtime());
    fs::permissions(runtime(), fs::perms::owner_all);
    build = copyOfTheBuild(mine);
    env_ = playerEnv(user_.name(), home, runtime(), pub.origin());
  }

  bool made() const { return user_.made(); }
  // Gives the player everything in its folder (after the test wrote there).
  bool ownsItsFolder() const { return user_.own(mine); }
  std::string runtime() const { return mine + "/run"; }
  std::string logs() const { return data + home + "/Library/Logs/JorvuLauncher"; }

  // Runs `argv` as the player, under the player's umask.
  std::optional<int> run(std::vector<std::string> argv, const std::string& outputPath,
                         std::chrono::milliseconds limit = 60s) const {
    argv.insert(argv.begin(), {"/bin/sh", "-c", "umask " + umask_ + " && exec \"$@\"", "sh"});
    return user_.run(argv, env_, outputPath, limit);
  }

  // Opens the start URL of game `code` as the desktop hands it to the
  // registered handler; true once the game's executable `executable` has
  // started and the app and its helper have ended.
  ::testing::AssertionResult play(std::uint32_t code, const std::string& executable, const std::string& out) const {
    fs::remove(executable + ".args");
    const auto opened = run({"/usr/bin/gio", "open", "jorvuvorn://launch?game=" + std::to_string(code)}, out);
    if (opened != 0) return ::testing::AssertionFailure() << "gio open: " << testsupport::readFileOrEmpty(out);
    if (!apptest::waitUntil([&] { return fs::exists(executable + ".args"); }, 240s)) {
      return ::testing::AssertionFailure() << "the game did not start\n" << testsupport::readFileOrEmpty(out)
                                           << testsupport::readFileOrEmpty(logs() + "/JorvuVorn.log")
                                           << testsupport::readFileOrEmpty(logs() + "/JorvuVornHelper.log");
    }
    if (!apptest::waitUntil([&] { return processesOf(user_.uid()).empty(); }, 60s)) {
      return ::testing::AssertionFailure() << "the app or its helper still runs";
    }
    return ::testing::AssertionSuccess();
  }

  const std::string mine;
  const std::string home;
  const std::string data;
  const std::string games;
  std::string build;

 private:
  std::string umask_;
  TestUser user_;
  std::vector<std::string> env_;
};

// A setup archive whose entries let anybody write, as an archive may.
void publishSetupArchive(const std::string& pubRoot, const std::string& staging) {
  e2e::makeFakeGameBundle(staging, "Setup");
  testsupport::writeFile(staging + "/Setup.app/Contents/Resources/data.bin", "data");
  for (const char* path : {"/Setup.app", "/Setup.app/Contents", "/Setup.app/Contents/MacOS/Setup"}) {
    ::chmod((staging + path).c_str(), 0777);
  }
  ::chmod((staging + "/Setup.app/Contents/Resources/data.bin").c_str(), 0666);
  fs::create_directories(pubRoot + "/dl");
  ASSERT_EQ(e2e::runProgram({"/bin/sh", "-c", "cd \"$1\" && exec /usr/bin/zip -qr \"$2\" Setup.app", "sh", staging,
                             pubRoot + "/dl/Setup.zip"}),
            0);
}

// Two players each install the launcher with scripts/install-app and play:
// the app updates itself and installs a game, the game is patched, a game
// comes as a setup archive. After each step nothing of theirs is writable by
// any other user, nor by their group. The second player's stricter umask
// (027) holds for everything the helper's jobs made.
TEST(PerUserInstall, TwoPlayersInstallAndPlayAndNothingOfTheirsIsWritableByOthers) {
  if (::geteuid() != 0) GTEST_SKIP() << "making users (useradd) and running as them needs root";
  testsupport::TempRoot root;
  fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  if (!othersCanReach(root.path())) GTEST_SKIP() << "another user cannot reach the temporary folder " << root.path();
  const std::string pubRoot = root.path() + "/pub";
  publisher::Publisher pub(pubRoot);
  pub.start();

  // The publisher's app is newer than the one in the build: each first start
  // updates the app.
  pub.publishApp(JORVU_BUILD_DIR "/JorvuVorn.app", "9.9.9", testsupport::binDir() + "/jorvu-pack");
  const auto [manifestGame, archiveGame] = testsupport::freeGameCodes<2>();
  const auto pack = [&](const std::string& name, const std::string& readme, const std::string& from) {
    const std::string tree = root.path() + "/trees/" + name;
    e2e::writeTree(tree, {{"readme.txt", readme}, {"data/one.bin", std::string(20000, 'a') + readme}});
    e2e::makeFakeGameBundle(tree, "Game");
    std::vector<std::string> argv{testsupport::binDir() + "/jorvu-pack", "--out", pubRoot + "/src", "--name", name,
                                  "--jobs", "2", "--level", "1"};
    if (!from.empty()) argv.insert(argv.end(), {"--from", root.path() + "/trees/" + from, "--from-name", from});
    argv.push_back(tree);
    return e2e::runProgram(argv);
  };
  ASSERT_EQ(pack("g1", "release one\n", ""), 0);
  ASSERT_EQ(pack("g2", "release two\n", "g1"), 0);
  const auto serveManifestGame = [&](const std::string& release) {
    e2e::Record record(manifestGame);
    record.text("setup_file_url", pub.origin() + "/src")
        .text("manifest_name", release)
        .text("install_folder_name", "Orbit")
        .text("mac_executable_file_name", "Game.app")
        .text("shortcut_install_list", "[]")
        .text("command_line_info", "-arg=%ARG%");
    testsupport::writeFile(pubRoot + "/game-info/" + std::to_string(manifestGame) + ".json", record.json());
  };
  ASSERT_NO_FATAL_FAILURE(publishSetupArchive(pubRoot, root.path() + "/archive"));
  e2e::Record archiveRecord(archiveGame);
  archiveRecord.text("mac_executable_file_name", pub.origin() + "/dl/Setup.zip")
      .text("install_folder_name", "Ignored")
      .text("shortcut_install_list", "[]")
      .text("command_line_info", "%ARG%");
  testsupport::writeFile(pubRoot + "/game-info/" + std::to_string(archiveGame) + ".json", archiveRecord.json());

  for (const auto& [suffix, umask] : std::vector<std::pair<std::string, std::string>>{{"a", "022"}, {"b", "027"}}) {
    SCOPED_TRACE("player " + suffix + ", umask " + umask);
    Player player(root.path() + "/user-" + suffix, suffix, umask, pub);
    ASSERT_TRUE(player.made()) << "useradd failed";
    ASSERT_TRUE(player.ownsItsFolder());
    const auto nothingWritableByOthers = [&](const std::string& after) {
      EXPECT_EQ(entriesWith(player.mine, S_IWOTH), std::vector<std::string>{}) << "others may write, after " << after;
      EXPECT_EQ(entriesWith(player.mine, S_IWGRP), std::vector<std::string>{}) << "the group may write, after " << after;
    };

    ASSERT_EQ(player.run({"/bin/bash", player.mine + "/scripts/install-app", "--build-dir", player.build},
                         root.path() + "/install-" + suffix + ".out", 120s),
              0)
        << testsupport::readFileOrEmpty(root.path() + "/install-" + suffix + ".out");
    nothingWritableByOthers("the install of the launcher");
    testsupport::writeFile(player.games + "/VornConfig.json", R"({"common":{"isRemainLogFile":true},"games":[]})");
    ASSERT_TRUE(player.ownsItsFolder());

    // The app updates itself, then installs the game.
    serveManifestGame("g1");
    const std::string game = player.games + "/Orbit/Game.app/Contents/MacOS/Game";
    ASSERT_TRUE(player.play(manifestGame, game, root.path() + "/install-game-" + suffix + ".out"));
    EXPECT_EQ(platform::Bundle(player.games + "/Vorn/JorvuVorn.app").shortVersion(), "9.9.9");
    nothingWritableByOthers("the app's update and the game's install");

    // A patch.
    serveManifestGame("g2");
    ASSERT_TRUE(player.play(manifestGame, game, root.path() + "/patch-" + suffix + ".out"));
    EXPECT_EQ(testsupport::readFileOrEmpty(player.games + "/Orbit/readme.txt"), "release two\n");
    nothingWritableByOthers("the patch");

    // A setup archive.
    ASSERT_TRUE(
        player.play(archiveGame, player.games + "/Setup/Setup.app/Contents/MacOS/Setup", root.path() + "/archive-" + suffix + ".out"));
    nothingWritableByOthers("the setup archive");

    // What the helper's jobs made, the game's shortcut among it, keeps to
    // the player's umask.
    if (umask == "027") {
      for (const std::string& made : {player.games + "/Vorn", player.games + "/Orbit", player.games + "/Setup",
                                      player.home + "/Desktop/Game.app", player.home + "/Desktop/Game.desktop"}) {
        EXPECT_TRUE(fs::exists(made)) << made;
        EXPECT_EQ(entriesWith(made, S_IRWXO), std::vector<std::string>{});
      }
    }
  }
}

}  // namespace
