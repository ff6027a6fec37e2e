#include "JorvuVornHelper/GameManager/GameWorker/ShortcutScript.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "Platform/PropertyList.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tests/Support/WaitUntil.hpp"

namespace fs = std::filesystem;
using testsupport::TempRoot;

namespace {

std::string base64Decode(const std::string& text) {
  auto r = CommandLineLauncher::runCommand("/bin/sh", {"-c", "printf %s \"$1\" | base64 -d", "sh", text}, true);
  return r.output.value_or("");
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ShortcutScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto found = ShortcutScript::scriptPath();
    ASSERT_TRUE(found) << "Shortcut.sh is not in the build's Resources";
    script = *found;
    fs::create_directories(gameFolder);
  }

  // Runs the script with the given arguments (no tag handling of our own).
  CommandLineLauncher::Result runScript(const std::string& path, const std::vector<std::string>& arguments) {
    std::vector<std::string> all{path};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return CommandLineLauncher::runCommand("/bin/sh", all, true);
  }

  std::optional<std::string> launchIdentifier(const std::string& bundle) {
    auto plist = platform::readPropertyList(bundle + "/Contents/Info.plist");
    if (!plist) return std::nullopt;
    const platform::PlistValue* value = plist->find("ZQLaunchIdentifier");
    if (value == nullptr || value->string() == nullptr) return std::nullopt;
    return *value->string();
  }

  TempRoot root;
  std::string script;
  const std::string desktop = root.home() + "/Desktop";
  const std::string gameFolder = root / "/Library/Application Support/Jorvu/Game";
  ScopedEnv noDesktopVariable{"XDG_DESKTOP_DIR", std::nullopt};
  ScopedEnv noConfigHome{"XDG_CONFIG_HOME", std::nullopt};
};

}  // namespace

TEST(ShortcutScriptPath, IsFoundFromTheExecutablesFolder) {
  TempRoot root;
  const std::string bundle = root.path() + "/Helper.app/Contents";
  EXPECT_FALSE(ShortcutScript::scriptPath(bundle + "/MacOS/JorvuVornHelper"));
  testsupport::writeFile(bundle + "/Resources/Shortcut.sh", "#!/bin/sh\n");
  EXPECT_EQ(ShortcutScript::scriptPath(bundle + "/MacOS/JorvuVornHelper"), bundle + "/Resources/Shortcut.sh");
  testsupport::writeFile(root.path() + "/flat/Shortcut.sh", "#!/bin/sh\n");
  EXPECT_EQ(ShortcutScript::scriptPath(root.path() + "/flat/JorvuVornHelper"), root.path() + "/flat/Shortcut.sh");
  EXPECT_FALSE(ShortcutScript::scriptPath(""));
}

TEST(ShortcutScriptRun, PassesFolderExecutableAndTaggedCodeAsThreeArguments) {
  TempRoot root;
  const std::string recorder = root.path() + "/record.sh";
  const std::string record = root.path() + "/arguments";
  testsupport::writeFile(recorder, "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" + record + "\"\n");

  ShortcutScript::run(recorder, "/T", "G.app", 123, "beta");
  EXPECT_EQ(testsupport::readFileOrEmpty(record), "/T\nG.app\n123@beta\n");
  ShortcutScript::run(recorder, "/T", "G.app", 123, "");
  EXPECT_EQ(testsupport::readFileOrEmpty(record), "/T\nG.app\n123\n");

  // Texts from the catalogue and the web page are arguments, never shell words.
  const std::string marker = root.path() + "/X";
  ShortcutScript::run(recorder, "/T\" ; touch \"" + marker, "$(touch " + marker + ").app", 123,
                      "\"; touch " + marker + " #");
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(testsupport::readFileOrEmpty(record), "/T\" ; touch \"" + marker + "\n$(touch " + marker + ").app\n123@\"; touch " +
                                                      marker + " #\n");
}

TEST_F(ShortcutScriptTest, MakesTheShortcutBundleWithTheStartURL) {
  auto r = ShortcutScript::run(script, gameFolder, "Game.app", 123, "beta");
  ASSERT_EQ(r.status, 0) << r.output.value_or("");
  const std::string bundle = desktop + "/Game.app";
  auto identifier = launchIdentifier(bundle);
  ASSERT_TRUE(identifier);
  EXPECT_EQ(identifier->find('\n'), std::string::npos);
  EXPECT_EQ(base64Decode(*identifier), "jorvuvorn://launch?game=123@beta");

  // A tag of several segments.
  r = ShortcutScript::run(script, gameFolder, "Game.app", 123, "678e/dev");
  ASSERT_EQ(r.status, 0) << r.output.value_or("");
  EXPECT_EQ(base64Decode(launchIdentifier(bundle).value_or("")), "jorvuvorn://launch?game=123@678e/dev");

  // Again without the tag: the shortcut is replaced.
  r = ShortcutScript::run(script, gameFolder, "Game.app", 123, "");
  ASSERT_EQ(r.status, 0) << r.output.value_or("");
  EXPECT_EQ(base64Decode(launchIdentifier(bundle).value_or("")), "jorvuvorn://launch?game=123");
  for (const auto& entry : fs::directory_iterator(desktop)) {
    const auto name = entry.path().filename();
    EXPECT_TRUE(name == "Game.app" || name == "Game.desktop") << name;  // no work folder left behind
  }
}

TEST_F(ShortcutScriptTest, FindsTheDesktopThroughXdg) {
  {
    ScopedEnv desktopVariable("XDG_DESKTOP_DIR", root.path() + "/MyDesktop");
    ASSERT_EQ(ShortcutScript::run(script, gameFolder, "Game.app", 5, "").status, 0);
    EXPECT_TRUE(launchIdentifier(root.path() + "/MyDesktop/Game.app"));
  }
  testsupport::writeFile(root.home() + "/.config/user-dirs.dirs",
                         "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  ASSERT_EQ(ShortcutScript::run(script, gameFolder, "Game.app", 5, "").status, 0);
  EXPECT_TRUE(launchIdentifier(root.home() + "/Schreibtisch/Game.app"));
}

TEST_F(ShortcutScriptTest, UsesTheStubBesideTheHelper) {
  // The bundle layout: Contents/Resources/Shortcut.sh and Contents/MacOS/run.
  const std::string contents = root.path() + "/JorvuVornHelper.app/Contents";
  testsupport::writeFile(contents + "/Resources/Shortcut.sh", testsupport::readFileOrEmpty(script));
  testsupport::writeFile(contents + "/MacOS/run", "#!/bin/sh\necho stub\n");
  ::chmod((contents + "/MacOS/run").c_str(), 0755);

  auto r = runScript(contents + "/Resources/Shortcut.sh", {gameFolder, "Game.app", "123@beta"});
  ASSERT_EQ(r.status, 0) << r.output.value_or("");
  const std::string bundle = desktop + "/Game.app";
  EXPECT_EQ(testsupport::readFileOrEmpty(bundle + "/Contents/MacOS/run"), "#!/bin/sh\necho stub\n");
  auto plist = platform::readPropertyList(bundle + "/Contents/Info.plist");
  ASSERT_TRUE(plist);
  const platform::PlistValue* executable = plist->find("CFBundleExecutable");
  ASSERT_TRUE(executable && executable->string());
  EXPECT_EQ(*executable->string(), "run");
}

TEST_F(ShortcutScriptTest, RefusesBadArgumentsAndForeignBundles) {
  const std::string marker = root.path() + "/X";
  const std::vector<std::vector<std::string>> bad = {
      {gameFolder, "Game.app", "123@\"; touch " + marker + " #"},
      {gameFolder, "Game.app", "123@a&game=9"},
      {gameFolder, "Game.app", "123@a/../b"},
      {gameFolder, "Game.app", "123@a//b"},
      {gameFolder, "Game.app", "123@a/"},
      {gameFolder, "Game.app", "123@./a"},
      {gameFolder, "Game.app", "abc"},
      {gameFolder, "Game.app", "4294967296"},
      {gameFolder, "../Game.app", "123"},
      {"relative/folder", "Game.app", "123"},
      {root.path() + "/missing", "Game.app", "123"},
      {gameFolder, "Game.app"},
  };
  for (const auto& arguments : bad) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    auto r = runScript(script, arguments);
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(fs::exists(desktop + "/Game.app"));
  }
  EXPECT_FALSE(fs::exists(marker));

  // A bundle of the user's own with the same name is left alone.
  testsupport::writeFile(desktop + "/Game.app/notes.txt", "mine");
  EXPECT_NE(ShortcutScript::run(script, gameFolder, "Game.app", 123, "").status, 0);
  EXPECT_EQ(testsupport::readFileOrEmpty(desktop + "/Game.app/notes.txt"), "mine");
}

namespace {

// The helper bundle's layout with a stub that records the path it ran from.
struct HelperBundle {
  explicit HelperBundle(const TempRoot& root, const std::string& script)
      : contents(root.path() + "/JorvuVornHelper.app/Contents"), record(root.path() + "/stub-ran") {
    testsupport::writeFile(contents + "/Resources/Shortcut.sh", testsupport::readFileOrEmpty(script));
    testsupport::writeFile(contents + "/MacOS/run", "#!/bin/sh\nprintf '%s\\n' \"$0\" > '" + record + "'\n");
    ::chmod((contents + "/MacOS/run").c_str(), 0755);
  }
  std::string script() const { return contents + "/Resources/Shortcut.sh"; }

  std::string contents;
  std::string record;
};

// What the stub wrote once it ran: the path it was started as.
std::string stubRecord(const std::string& path) {
  std::string bytes;
  testsupport::waitUntil([&] { return !(bytes = testsupport::readFileOrEmpty(path)).empty(); });
  return bytes;
}

}  // namespace

TEST_F(ShortcutScriptTest, WritesADesktopLauncherThatRunsTheStubInsideTheBundle) {
  // Names that mean something to a shell, to the .desktop format and to its
  // Exec quoting: the launcher must still run exactly the bundle's stub.
  const std::string hostileDesktop = root.path() + "/Desk top $HOME `id` \"q\" 'a' \\b; x";
  ScopedEnv desktopVariable("XDG_DESKTOP_DIR", hostileDesktop);
  HelperBundle helper(root, script);
  const std::string executable = " Game \"$(touch x)\" \\n.app";

  auto r = runScript(helper.script(), {gameFolder, executable, "123@beta"});
  ASSERT_EQ(r.status, 0) << r.output.value_or("");
  const std::string bundle = hostileDesktop + "/ Game \"$(touch x)\" \\n.app";
  const std::string launcher = hostileDesktop + "/ Game \"$(touch x)\" \\n.desktop";
  ASSERT_TRUE(fs::is_directory(bundle));
  struct stat info {};
  ASSERT_EQ(::stat(launcher.c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);
  const std::string text = testsupport::readFileOrEmpty(launcher);
  EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nName=\\sGame \"$(touch x)\" \\\\n\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nX-Jorvu-Shortcut=123@beta\n"), std::string::npos) << text;

  // Started as a desktop starts it.
  auto launched = CommandLineLauncher::runCommand("/usr/bin/gio", {"launch", launcher}, true);
  ASSERT_EQ(launched.status, 0) << launched.output.value_or("");
  EXPECT_EQ(stubRecord(helper.record), bundle + "/Contents/MacOS/run\n");
  EXPECT_FALSE(fs::exists(root.path() + "/x"));
  EXPECT_FALSE(fs::exists("x"));

  // Made again: both are replaced, nothing else is left in the folder.
  r = runScript(helper.script(), {gameFolder, executable, "123"});
  ASSERT_EQ(r.status, 0) << r.output.value_or("");
  EXPECT_NE(testsupport::readFileOrEmpty(launcher).find("\nX-Jorvu-Shortcut=123\n"), std::string::npos);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(hostileDesktop)) ++entries;
  EXPECT_EQ(entries, 2u);
}

TEST_F(ShortcutScriptTest, LaunchersStartForGameFoldersOfAnyName) {
  // "%" is doubled in Exec and must still reach the stub as one "%", in the
  // desktop folder's path as in the game's name.
  const std::string percentDesktop = root.path() + "/Desktop 100%";
  ScopedEnv desktopVariable("XDG_DESKTOP_DIR", percentDesktop);
  for (const std::string name : {"My Game", "Game \"Q\" 'S'", "100% %u Game %%", "게임 폴더"}) {
    SCOPED_TRACE(name);
    HelperBundle helper(root, script);
    const std::string folder = root.path() + "/Games/" + name;
    fs::create_directories(folder);
    auto r = runScript(helper.script(), {folder, name + ".app", "7"});
    ASSERT_EQ(r.status, 0) << r.output.value_or("");
    auto launched =
        CommandLineLauncher::runCommand("/usr/bin/gio", {"launch", percentDesktop + "/" + name + ".desktop"}, true);
    ASSERT_EQ(launched.status, 0) << launched.output.value_or("");
    EXPECT_EQ(stubRecord(helper.record), percentDesktop + "/" + name + ".app/Contents/MacOS/run\n");
    fs::remove(helper.record);
  }

  // Without a stub there is nothing for a launcher to run: the bundle only.
  const std::string alone = root.path() + "/alone/Shortcut.sh";
  testsupport::writeFile(alone, testsupport::readFileOrEmpty(script));
  ASSERT_EQ(runScript(alone, {gameFolder, "Other.app", "7"}).status, 0);
  EXPECT_TRUE(fs::is_directory(percentDesktop + "/Other.app"));
  EXPECT_FALSE(fs::exists(percentDesktop + "/Other.desktop"));
}

TEST_F(ShortcutScriptTest, LeavesAForeignLauncherAlone) {
  HelperBundle helper(root, script);
  testsupport::writeFile(desktop + "/Game.desktop", "[Desktop Entry]\nType=Application\nExec=mine\n");
  EXPECT_NE(runScript(helper.script(), {gameFolder, "Game.app", "123"}).status, 0);
  EXPECT_EQ(testsupport::readFileOrEmpty(desktop + "/Game.desktop"), "[Desktop Entry]\nType=Application\nExec=mine\n");
  EXPECT_FALSE(fs::exists(desktop + "/Game.app"));

  // Nor is a link named like it, even to one of ours.
  fs::remove(desktop + "/Game.desktop");
  testsupport::writeFile(root.path() + "/elsewhere.desktop", "X-Jorvu-Shortcut=1\n");
  fs::create_symlink(root.path() + "/elsewhere.desktop", desktop + "/Game.desktop");
  EXPECT_NE(runScript(helper.script(), {gameFolder, "Game.app", "123"}).status, 0);
  EXPECT_EQ(testsupport::readFileOrEmpty(root.path() + "/elsewhere.desktop"), "X-Jorvu-Shortcut=1\n");
}

TEST_F(ShortcutScriptTest, IsMadeWholeOrNotAtAll) {
  HelperBundle helper(root, script);
  // A line break in the desktop folder would end the launcher's Exec line; a
  // launcher that is not UTF-8 does not start.
  for (const std::string& folder : {root.path() + "/d\nExec=touch pwned\n#", root.path() + "/\xb0\xd4\xc0\xd3"}) {
    ScopedEnv desktopVariable("XDG_DESKTOP_DIR", folder);
    auto r = runScript(helper.script(), {gameFolder, "Game.app", "7"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.value_or("").find("no shortcut made"), std::string::npos) << r.output.value_or("");
    EXPECT_FALSE(fs::exists(folder));
  }

  // A launcher name one byte longer than a file name may be leaves nothing;
  // the longest starts its stub.
  const std::string longest(255 - std::string(".desktop").size(), 'n');
  EXPECT_NE(runScript(helper.script(), {gameFolder, longest + "n.app", "8"}).status, 0);
  EXPECT_FALSE(fs::exists(desktop + "/" + longest + "n.app"));
  ASSERT_EQ(runScript(helper.script(), {gameFolder, longest + ".app", "7"}).status, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(desktop), fs::directory_iterator()), 2);
  auto launched = CommandLineLauncher::runCommand("/usr/bin/gio", {"launch", desktop + "/" + longest + ".desktop"}, true);
  ASSERT_EQ(launched.status, 0) << launched.output.value_or("");
  EXPECT_EQ(stubRecord(helper.record), desktop + "/" + longest + ".app/Contents/MacOS/run\n");
}
