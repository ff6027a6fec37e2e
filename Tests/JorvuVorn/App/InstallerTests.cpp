// scripts/install-app into a temporary root and temporary XDG folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "Common/Launcher/CommandLineLauncher.hpp"
#include "Tests/JorvuVorn/App/AppTestSupport.hpp"
#include "Tests/Support/ScopedEnv.hpp"

namespace fs = std::filesystem;
using namespace apptest;

namespace {

// Every path below `folder` with its kind, mode and bytes.
std::string describeTree(const std::string& folder) {
  std::vector<std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const auto st = e.symlink_status();
    std::string line = fs::relative(e.path(), folder).string() + " " +
                       std::to_string(static_cast<int>(st.type())) + " " +
                       std::to_string(static_cast<unsigned>(st.permissions()));
    if (st.type() == fs::file_type::regular) line += " " + testsupport::readFileOrEmpty(e.path().string());
    entries.push_back(line);
  }
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (const auto& line : entries) out += line + "\n";
  return out;
}

// The handler's launcher for a root and program that need no quoting.
std::string launcherText(const std::string& root, const std::string& program) {
  return "#!/bin/sh\n# Made by install-app: opens a start URL with the installed app.\nJORVU_ROOT='" + root +
         "'\nexport JORVU_ROOT\nexec '" + program + "' \"$@\"\n";
}

std::string xdgMimeDefault(const InstalledApp& app) {
  // xdg-mime reads the environment of this process.
  ::setenv("XDG_DATA_HOME", app.xdgEnv("data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", app.xdgEnv("config").c_str(), 1);
  auto r = CommandLineLauncher::runCommand("/usr/bin/xdg-mime", {"query", "default", "x-scheme-handler/jorvuvorn"},
                                           true);
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CONFIG_HOME");
  return r.output.value_or("");
}

TEST(Installer, LaysOutTheAppAndRegistersTheStartURLScheme) {
  InstalledApp app(InstalledApp::Launches::real);  // installs once
  const std::string bundle = app.root() / installedApp;
  EXPECT_TRUE(fs::is_regular_file(bundle + "/Contents/Info.plist"));
  EXPECT_TRUE(fs::is_regular_file(bundle + "/Contents/MacOS/JorvuVorn"));
  EXPECT_TRUE(fs::is_regular_file(bundle + "/Contents/Resources/com.jorvu.vorn.helper.plist"));
  EXPECT_TRUE(fs::is_regular_file(bundle + "/Contents/MacOS/JorvuVornHelper.app/Contents/MacOS/JorvuVornHelper"));
  EXPECT_TRUE(fs::is_regular_file(bundle + "/Contents/MacOS/JorvuVornHelper.app/Contents/MacOS/run"));
  EXPECT_TRUE(fs::is_regular_file(bundle + "/Contents/MacOS/JorvuVornHelper.app/Contents/Resources/Shortcut.sh"));
  EXPECT_TRUE(fs::is_regular_file(app.launchctl()));

  const std::string desktop = testsupport::readFileOrEmpty(app.xdgEnv("data") + "/applications/jorvuvorn.desktop");
  EXPECT_NE(desktop.find("MimeType=x-scheme-handler/jorvuvorn;\n"), std::string::npos) << desktop;
  // The program's path holds a blank, which xdg-open without a known desktop
  // cannot take: Exec runs a launcher that needs no quoting, with the URL.
  const std::string opener = app.xdgEnv("data") + "/jorvuvorn/open-start-url";
  EXPECT_NE(desktop.find("Exec=" + opener + " %u\n"), std::string::npos) << desktop;
  EXPECT_EQ(testsupport::readFileOrEmpty(opener), launcherText(app.root().path(), app.program()));
  EXPECT_EQ(xdgMimeDefault(app), "jorvuvorn.desktop\n");

  // A second run gives the same tree, and keeps what else the user's
  // mimeapps.list holds.
  const std::string mimeapps = app.xdgEnv("config") + "/mimeapps.list";
  testsupport::writeFile(mimeapps, "[Default Applications]\ntext/html=browser.desktop\n"
                                   "x-scheme-handler/jorvuvorn=other.desktop\n\n[Added Associations]\na/b=c.desktop\n");
  const std::string before = describeTree(app.root().path() + "/Library") + describeTree(app.root().path() + "/bin");
  std::string output;
  ASSERT_EQ(runInstaller(app.appEnv(), &output), 0) << output;
  EXPECT_EQ(describeTree(app.root().path() + "/Library") + describeTree(app.root().path() + "/bin"), before);
  const std::string list = testsupport::readFileOrEmpty(mimeapps);
  EXPECT_NE(list.find("text/html=browser.desktop\n"), std::string::npos) << list;
  EXPECT_NE(list.find("[Added Associations]\na/b=c.desktop\n"), std::string::npos) << list;
  EXPECT_EQ(list.find("other.desktop"), std::string::npos) << list;
  EXPECT_EQ(xdgMimeDefault(app), "jorvuvorn.desktop\n");
  ASSERT_EQ(runInstaller(app.appEnv(), &output), 0) << output;
  EXPECT_EQ(testsupport::readFileOrEmpty(mimeapps), list);
}

// Without JORVU_ROOT the user's own data folder is the root (a relative
// XDG_DATA_HOME counts as unset); there is no install for every user.
TEST(Installer, WithoutARootInstallsInTheUsersDataFolder) {
  testsupport::TempRoot root;
  const std::string data = root.home() + "/.local/share";
  std::string output;
  ::unsetenv("JORVU_ROOT");
  const int status = runInstaller({{"XDG_DATA_HOME", "relative"}, {"XDG_CONFIG_HOME", ""}}, &output);
  ::setenv("JORVU_ROOT", root.path().c_str(), 1);
  ASSERT_EQ(status, 0) << output;
  const std::string installed = data + "/jorvuvorn" + installedApp;
  EXPECT_TRUE(fs::is_regular_file(installed + "/Contents/MacOS/JorvuVorn"));
  EXPECT_TRUE(fs::is_regular_file(data + "/jorvuvorn/bin/launchctl"));
  EXPECT_EQ(testsupport::readFileOrEmpty(data + "/jorvuvorn/open-start-url"),
            launcherText(data + "/jorvuvorn", installed + "/Contents/MacOS/JorvuVorn"));
  EXPECT_TRUE(fs::is_regular_file(data + "/applications/jorvuvorn.desktop"));
  EXPECT_NE(testsupport::readFileOrEmpty(root.home() + "/.config/mimeapps.list")
                .find("x-scheme-handler/jorvuvorn=jorvuvorn.desktop\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(root.path() + "/Library"));
  EXPECT_FALSE(fs::exists(root.home() + "/relative"));
}

// Folders whose names a shell or a desktop file must quote (a blank, "=",
// "%", quotes, "$"): the handler that GIO finds starts the installed app with
// the install's root and the start URL.
TEST(Installer, TheHandlerStartsTheAppFromFoldersWithCharactersToQuote) {
  testsupport::TempRoot temp;
  const std::string root = temp.path() + "/it's a=b %c $d";
  const std::string data = temp.path() + "/da ta%=\"x";
  const std::string config = temp.path() + "/config";
  const std::string launches = temp.path() + "/launches";
  fs::create_directories(launches);
  std::string output;
  ASSERT_EQ(runInstaller({{"JORVU_ROOT", root}, {"XDG_DATA_HOME", data}, {"XDG_CONFIG_HOME", config}}, &output), 0)
      << output;
  fs::copy_file(JORVU_STANDIN_APP, root + installedApp + "/Contents/MacOS/JorvuVorn",
                fs::copy_options::overwrite_existing);

  // As a desktop opens a start URL: GIO reads the handler from the user's
  // folders, and the app knows its root from the handler alone.
  std::map<std::string, std::string> env = appProcessEnv();
  env.insert_or_assign("JORVU_ROOT", "");
  env.insert_or_assign("XDG_DATA_HOME", data);
  env.insert_or_assign("XDG_CONFIG_HOME", config);
  env.insert_or_assign("JORVU_LAUNCH_STANDIN_DIR", launches);
  Process open({"/usr/bin/gio", "open", startURL(7)}, env, temp.path() + "/open.out");
  EXPECT_EQ(open.wait(), 0) << testsupport::readFileOrEmpty(temp.path() + "/open.out");
  const std::string log = root + temp.home() + "/Library/Logs/JorvuLauncher/JorvuVorn.log";
  ASSERT_TRUE(waitUntil([&] { return fs::exists(launches + "/7.started"); }))
      << testsupport::readFileOrEmpty(temp.path() + "/open.out") << testsupport::readFileOrEmpty(log);
  EXPECT_EQ(testsupport::readFileOrEmpty(launches + "/7.started"), startURL(7) + "\n");
  testsupport::writeFile(launches + "/7.finish", "");
  EXPECT_TRUE(waitUntil([&] {
    return testsupport::readFileOrEmpty(log).find("[INFO] applicationWillTerminate") != std::string::npos;
  })) << testsupport::readFileOrEmpty(log);
  // The app unloaded the helper's job of that root.
  testsupport::ScopedEnv rootOfTheJob("JORVU_ROOT", root);
  EXPECT_TRUE(waitUntil([&] {
    const auto listing = CommandLineLauncher::runCommand(root + "/bin/launchctl", {"list"}, true);
    return listing.output && listing.output->find(helperLabel) == std::string::npos;
  }));
}

// A folder that a desktop file cannot hold on one line of UTF-8 text is
// refused before anything is installed.
TEST(Installer, RefusesFoldersADesktopFileCannotHold) {
  testsupport::TempRoot temp;
  const std::string good = temp.path() + "/good";
  struct Case {
    std::string root;
    std::string data;
    std::string says;
  };
  const std::vector<Case> cases = {
      {good, temp.path() + "/line\nbreak", "the data folder (XDG_DATA_HOME) must not hold a line break"},
      {temp.path() + "/line\nbreak", good, "the install folder must not hold a line break"},
      {good, temp.path() + "/not\xff" "utf8", "the data folder (XDG_DATA_HOME) must be UTF-8 text"},
      {temp.path() + "/not\xff" "utf8", good, "the install folder must be UTF-8 text"},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(runInstaller({{"JORVU_ROOT", c.root}, {"XDG_DATA_HOME", c.data}, {"XDG_CONFIG_HOME", good + "/config"}},
                           &output),
              1)
        << c.says;
    EXPECT_NE(output.find("install-app: " + c.says), std::string::npos) << output;
    EXPECT_EQ(output.find("installed"), std::string::npos) << output;
  }
  EXPECT_FALSE(fs::exists(good));
  EXPECT_FALSE(fs::exists(temp.path() + "/line\nbreak"));
}

TEST(Installer, ThereIsNoInstallForEveryUser) {
  testsupport::TempRoot root;
  std::string output;
  EXPECT_NE(runInstaller({{"XDG_DATA_HOME", root.path() + "/data"}}, &output, {"--system"}), 0);
  EXPECT_NE(output.find("installs per user"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(root.path() + "/data"));
}

}  // namespace
