// The shortcut stub, started from real bundles in a temporary folder, with a
// recording URL handler found through the XDG folders of the test.
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Platform/PropertyList.hpp"
#include "Tests/Support/TempRoot.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::TempRoot;
using testsupport::writeFile;

std::string base64(const std::string& bytes) {
  gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string out(encoded);
  g_free(encoded);
  return out;
}

class ShortcutStub : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string xdg = root_.path() + "/xdg";
    dataHome_ = xdg + "/data";
    // Only the handler below exists for the test's schemes.
    fs::create_directories(xdg + "/config");
    fs::create_directories(xdg + "/sysdata");
    fs::create_directories(xdg + "/sysconfig");

    const std::string fifo = root_.path() + "/opened.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A write end of our own keeps the pipe from reporting a hang-up between
    // two handlers.
    reader_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer_ = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader_, 0);
    ASSERT_GE(writer_, 0);

    const std::string handler = root_.path() + "/record.sh";
    writeFile(handler, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + fifo + "'\n");
    fs::permissions(handler, fs::perms::owner_all);
    writeFile(dataHome_ + "/applications/jorvu-recorder.desktop",
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=Recorder\n"
              "Exec=" + handler + " %u\n"
              "NoDisplay=true\n"
              "MimeType=x-scheme-handler/jorvutest;x-scheme-handler/jorvuvorn;\n");

    writeFile(xdg + "/config/mimeapps.list",
              "[Default Applications]\n"
              "x-scheme-handler/jorvutest=jorvu-recorder.desktop\n"
              "x-scheme-handler/jorvuvorn=jorvu-recorder.desktop\n");

    env_ = {"XDG_DATA_HOME=" + dataHome_, "XDG_DATA_DIRS=" + xdg + "/sysdata",
            "XDG_CONFIG_HOME=" + xdg + "/config", "XDG_CONFIG_DIRS=" + xdg + "/sysconfig"};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "XDG_", 4) != 0) env_.push_back(*e);
    }
  }

  void TearDown() override {
    if (reader_ >= 0) ::close(reader_);
    if (writer_ >= 0) ::close(writer_);
  }

  // A shortcut bundle holding the stub; `identifier` is the value of
  // ZQLaunchIdentifier, left out when absent.
  std::string makeBundle(const std::string& name, std::optional<platform::PlistValue> identifier) {
    const std::string bundle = root_.path() + "/Desktop/" + name + ".app";
    fs::create_directories(bundle + "/Contents/MacOS");
    fs::copy_file(testsupport::binDir() + "/run", bundle + "/Contents/MacOS/run");
    platform::PlistDict info{{"CFBundleExecutable", "run"}, {"CFBundlePackageType", "APPL"}};
    if (identifier) info.emplace("ZQLaunchIdentifier", *identifier);
    EXPECT_TRUE(platform::writePropertyList(bundle + "/Contents/Info.plist", platform::PlistValue(info)));
    return bundle + "/Contents/MacOS/run";
  }

  std::string makeBundleForURL(const std::string& name, const std::string& url) {
    return makeBundle(name, platform::PlistValue(base64(url)));
  }

  // Runs a program without arguments; its exit status, or -1.
  int start(const std::string& program) {
    std::vector<char*> envp;
    for (auto& e : env_) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The next URL the handler was given; "" when none came within 10 s.
  std::string nextOpened() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      if (auto eol = pending_.find('\n'); eol != std::string::npos) {
        std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{reader_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      ssize_t n = ::read(reader_, buf, sizeof buf);
      if (n > 0) pending_.append(buf, static_cast<std::size_t>(n));
    }
  }

  // Starts a bundle that opens a known URL and checks that it is the next
  // one opened: whatever was started before it opened nothing.
  void expectNothingOpenedBefore() {
    const std::string sentinel = "jorvutest://sentinel?n=" + std::to_string(++sentinels_);
    ASSERT_EQ(start(makeBundleForURL("Sentinel" + std::to_string(sentinels_), sentinel)), 0);
    EXPECT_EQ(nextOpened(), sentinel);
  }

  TempRoot root_;
  std::string dataHome_;
  std::vector<std::string> env_;
  int reader_ = -1;
  int writer_ = -1;
  std::string pending_;
  int sentinels_ = 0;
};

TEST_F(ShortcutStub, OpensTheStoredURLEscapedForAQuery) {
  struct Case {
    const char* stored;
    const char* opened;
  };
  const Case cases[] = {
      // The start URL that the shortcut script stores.
      {"jorvuvorn://launch?game=1234@beta", "jorvuvorn://launch?game=1234@beta"},
      {"jorvutest://launch?game=1234&a=b/c:d?e!$'()*+,;=-._~", "jorvutest://launch?game=1234&a=b/c:d?e!$'()*+,;=-._~"},
      {"jorvutest://launch?name=a b", "jorvutest://launch?name=a%20b"},
      // A stored escape is escaped once more.
      {"jorvutest://launch?x=%3A", "jorvutest://launch?x=%253A"},
      {"jorvutest://launch?name=\xc3\xa9#frag", "jorvutest://launch?name=%C3%A9%23frag"},
      {"jorvutest://launch?q=\"<>[]{}|\\^`", "jorvutest://launch?q=%22%3C%3E%5B%5D%7B%7D%7C%5C%5E%60"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string program = makeBundleForURL("Game" + std::to_string(++n), c.stored);
    EXPECT_EQ(start(program), 0);
    EXPECT_EQ(nextOpened(), c.opened) << c.stored;
  }
}

TEST_F(ShortcutStub, OpensNothingAndEndsWithZeroOnABadBundle) {
  const std::string url = "jorvutest://launch?game=1";
  const std::string encoded = base64(url);
  struct Case {
    const char* name;
    std::optional<platform::PlistValue> identifier;
  };
  const Case cases[] = {
      {"NoKey", std::nullopt},
      {"NotText", platform::PlistValue(std::int64_t{42})},
      {"TwoLines", platform::PlistValue(encoded.substr(0, 8) + "\n" + encoded.substr(8))},
      {"Blank", platform::PlistValue(encoded + " ")},
      {"Unpadded", platform::PlistValue(base64("jorvutest://x?a=bc").substr(0, 23))},
      {"NotUTF8", platform::PlistValue(base64("jorvutest://launch?game=\xff"))},
      {"Empty", platform::PlistValue(std::string())},
      {"NoURL", platform::PlistValue(base64("1http://bad"))},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(start(makeBundle(c.name, c.identifier)), 0) << c.name;
    expectNothingOpenedBefore();
  }
}

TEST_F(ShortcutStub, OpensNothingWithoutABundleOrItsInfoPlist) {
  // The stub as built, outside any bundle.
  EXPECT_EQ(start(testsupport::binDir() + "/run"), 0);
  expectNothingOpenedBefore();

  const std::string program = makeBundleForURL("Broken", "jorvutest://launch?game=1");
  writeFile(fs::path(program).parent_path().parent_path().string() + "/Info.plist", "not a property list");
  EXPECT_EQ(start(program), 0);
  expectNothingOpenedBefore();
}

}  // namespace
