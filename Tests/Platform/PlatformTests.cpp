#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "Platform/Bundle.hpp"
#include "Platform/Digest.hpp"
#include "Platform/FileUtil.hpp"
#include "Platform/OneShot.hpp"
#include "Platform/Paths.hpp"
#include "Platform/PropertyList.hpp"
#include "Platform/SerialQueue.hpp"
#include "Platform/SystemInfo.hpp"
#include "Platform/Utf8.hpp"
#include "Tests/Support/ScopedEnv.hpp"
#include "Tests/Support/TempRoot.hpp"

using namespace std::chrono_literals;
using testsupport::TempRoot;

TEST(Paths, PrefixesAbsolutePathsWithTheRootOnlyOnce) {
  TempRoot root;
  const std::string p = platform::resolvePath("/Library/Application Support/Jorvu/VornConfig.json");
  EXPECT_EQ(p, root.path() + "/Library/Application Support/Jorvu/VornConfig.json");
  EXPECT_EQ(platform::resolvePath(p), p);
  EXPECT_EQ(platform::resolvePath("relative/x"), "relative/x");
  EXPECT_EQ(platform::logDirectory(), root.home() + "/Library/Logs/JorvuLauncher");
  ::unsetenv("JORVU_ROOT");
  EXPECT_EQ(platform::resolvePath("/Library/X"), "/Library/X");
}

// The root's "/var/run/jorvu/<uid>", made with its parents, whatever
// XDG_RUNTIME_DIR says: every start of one install meets the same app and
// helper there. What stops it from being made is what it says.
TEST(Paths, TheRuntimeFolderBelongsToTheInstallWhateverTheEnvironment) {
  TempRoot root;
  const std::string own = root.path() + "/var/run/jorvu/" + std::to_string(::geteuid());
  EXPECT_EQ(platform::runtimeDirectory(), own);
  {
    testsupport::ScopedEnv session("XDG_RUNTIME_DIR", root.path() + "/run");
    EXPECT_EQ(platform::runtimeDirectory(), own);
  }
  std::string error;
  int cause = 0;
  ASSERT_TRUE(platform::prepareRuntimeDirectory(&error, &cause)) << error;
  EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);
  std::filesystem::permissions(own, std::filesystem::perms::all);
  ASSERT_TRUE(platform::prepareRuntimeDirectory(&error)) << error;
  EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);

  std::filesystem::remove_all(root.path() + "/var");
  testsupport::writeFile(root.path() + "/var", "in the way");
  EXPECT_FALSE(platform::prepareRuntimeDirectory(&error, &cause));
  EXPECT_EQ(error, "cannot make " + own + ": Not a directory");
  EXPECT_EQ(cause, ENOTDIR);

  std::filesystem::remove(root.path() + "/var");
  std::filesystem::create_directories(root.path() + "/var/run/jorvu");
  testsupport::writeFile(own, "in the way");
  EXPECT_FALSE(platform::prepareRuntimeDirectory(&error, &cause));
  EXPECT_EQ(error, own + " is not a folder of this user");
  EXPECT_EQ(cause, ENOTDIR);
}

TEST(SerialQueue, RunsWorkInOrderOnOneThreadAndWaitsForIdle) {
  platform::SerialQueue queue("test.queue");
  std::vector<int> seen;
  std::set<std::thread::id> threads;
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      seen.push_back(i);
      threads.insert(std::this_thread::get_id());
    });
  }
  queue.waitIdle();
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(threads.size(), 1u);

  int value = 0;
  queue.sync([&] {
    // sync from inside the queue runs inline instead of dead-locking
    queue.sync([&] { value = 7; });
  });
  EXPECT_EQ(value, 7);
}

TEST(SerialQueue, DestructorRunsWhatIsQueued) {
  std::atomic<int> ran{0};
  {
    platform::SerialQueue queue;
    for (int i = 0; i < 50; ++i) queue.async([&] { ran++; });
  }
  EXPECT_EQ(ran.load(), 50);
}

TEST(OneShot, ResolvesOnceAndTimesOut) {
  platform::OneShot<int> shot;
  EXPECT_FALSE(shot.waitFor(10ms).has_value());
  std::thread t([shot] { EXPECT_TRUE(shot.resolve(1)); });
  EXPECT_EQ(shot.waitFor(5s), 1);
  t.join();
  EXPECT_FALSE(shot.resolve(2));
  EXPECT_EQ(shot.wait(), 1);
}

TEST(Bundle, ReadsInfoPlistAndFindsItsExecutable) {
  TempRoot root;
  const std::string app = root.path() + "/Game.app";
  platform::PlistDict info;
  info["CFBundleExecutable"] = "Game";
  info["CFBundleShortVersionString"] = "1.2.3";
  info["DebugMode"] = true;
  std::filesystem::create_directories(app + "/Contents/MacOS");
  ASSERT_TRUE(platform::writePropertyList(app + "/Contents/Info.plist", platform::PlistValue(info)));

  auto bundle = platform::Bundle::containing(app + "/Contents/MacOS/Game");
  ASSERT_TRUE(bundle.has_value());
  EXPECT_EQ(bundle->bundlePath(), app);
  EXPECT_EQ(bundle->shortVersion(), "1.2.3");
  EXPECT_EQ(bundle->boolForKey("DebugMode"), true);
  EXPECT_EQ(bundle->boolForKey("CFBundleExecutable"), std::nullopt);
  EXPECT_EQ(bundle->executablePath(), app + "/Contents/MacOS/Game");
  EXPECT_EQ(bundle->resourcePath(), app + "/Contents/Resources");

  EXPECT_FALSE(platform::Bundle::containing(root.path() + "/bin/tool").has_value());
  EXPECT_FALSE(platform::Bundle::containing(app + "/Contents/Other/Game").has_value());
  // The test program itself is not in a bundle.
  EXPECT_FALSE(platform::Bundle::main().has_value());

  // A hostile executable name never leaves Contents/MacOS.
  info["CFBundleExecutable"] = "../../../evil";
  ASSERT_TRUE(platform::writePropertyList(app + "/Contents/Info.plist", platform::PlistValue(info)));
  EXPECT_FALSE(bundle->executablePath().has_value());
}

TEST(PropertyList, ReadsXmlAndRefusesGarbage) {
  const std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>Label</key><string>com.jorvu.vorn.helper</string>"
      "<key>ProgramArguments</key><array><string>/a b</string><string>x</string></array>"
      "<key>N</key><integer>5</integer></dict></plist>";
  auto v = platform::parsePropertyList(xml);
  ASSERT_TRUE(v.has_value());
  ASSERT_NE(v->find("Label"), nullptr);
  EXPECT_EQ(*v->find("Label")->string(), "com.jorvu.vorn.helper");
  ASSERT_NE(v->find("ProgramArguments")->array(), nullptr);
  EXPECT_EQ(*v->find("ProgramArguments")->array()->at(0).string(), "/a b");
  EXPECT_EQ(*v->find("N")->integer(), 5);
  EXPECT_FALSE(platform::parsePropertyList("").has_value());
  EXPECT_FALSE(platform::parsePropertyList("not a plist at all").has_value());
}

namespace {

void appendBigEndian(std::string& out, std::uint64_t v, int size) {
  for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// A binary list of `depth` arrays, each holding the next; the last is empty.
std::string nestedBinaryPlist(std::uint64_t depth) {
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (std::uint64_t i = 0; i < depth; ++i) {
    offsets.push_back(out.size());
    out.push_back(static_cast<char>(0xA1));
    appendBigEndian(out, i + 1, 4);
  }
  offsets.push_back(out.size());
  out.push_back(static_cast<char>(0xA0));
  const std::uint64_t table = out.size();
  for (std::uint64_t offset : offsets) appendBigEndian(out, offset, 4);
  out.append(6, '\0');
  out.push_back(4);  // offset size
  out.push_back(4);  // object reference size
  appendBigEndian(out, offsets.size(), 8);
  appendBigEndian(out, 0, 8);  // top object
  appendBigEndian(out, table, 8);
  return out;
}

std::string nestedXmlPlist(std::size_t depth) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
  for (std::size_t i = 0; i < depth; ++i) out += "<array>";
  for (std::size_t i = 0; i < depth; ++i) out += "</array>";
  return out + "</plist>";
}

}  // namespace

// A game's Info.plist comes with its files: one nested far too deeply is
// refused, not read until the stack runs out.
TEST(PropertyList, RefusesListsNestedTooDeeply) {
  auto shallow = platform::parsePropertyList(nestedBinaryPlist(3));
  ASSERT_TRUE(shallow.has_value());
  ASSERT_NE(shallow->array(), nullptr);
  ASSERT_EQ(shallow->array()->size(), 1u);
  ASSERT_TRUE(platform::parsePropertyList(nestedXmlPlist(3)).has_value());

  EXPECT_FALSE(platform::parsePropertyList(nestedBinaryPlist(300000)).has_value());
  EXPECT_FALSE(platform::parsePropertyList(nestedXmlPlist(300000)).has_value());

  // A binary list whose offset table lies outside its data.
  std::string broken = nestedBinaryPlist(3);
  broken[broken.size() - 1] = static_cast<char>(0xFF);
  EXPECT_FALSE(platform::parsePropertyList(broken).has_value());
}

TEST(SystemInfo, ReadsSystemVersionPlistUnderTheRootElseOsRelease) {
  TempRoot root;
  auto linux = platform::operatingSystemVersion();
  EXPECT_FALSE(linux.name.empty());
  platform::PlistDict sv;
  sv["ProductVersion"] = "14.2.1";
  std::filesystem::create_directories(root.path() + "/System/Library/CoreServices");
  ASSERT_TRUE(platform::writePropertyList(root.path() + "/System/Library/CoreServices/SystemVersion.plist",
                                          platform::PlistValue(sv)));
  auto mac = platform::operatingSystemVersion();
  EXPECT_EQ(mac.name, "macOS");
  EXPECT_EQ(mac.version, "14.2.1");
  EXPECT_EQ(mac.major, 14);
  EXPECT_EQ(mac.minor, 2);
  EXPECT_EQ(mac.patch, 1);
  EXPECT_EQ(platform::processID(), ::getpid());
  EXPECT_EQ(platform::processName(), "platform_tests");  // longer than comm's 15 characters
  EXPECT_FALSE(platform::architecture().empty());
}

TEST(Digest, Sha1KnownVectorsAndIncrementalUpdates) {
  EXPECT_EQ(platform::Sha1::hexDigest("", 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(platform::Sha1::hexDigest("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
  platform::Sha1 sha;
  sha.update("a");
  sha.update("bc");
  auto d = sha.finish();
  EXPECT_EQ(platform::toHex(d.data(), d.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
  // After finish the object starts over.
  sha.update("abc");
  d = sha.finish();
  EXPECT_EQ(platform::toHex(d.data(), d.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(FileUtil, AtomicWriteReplacesWholeAndLeavesNoTemporary) {
  TempRoot root;
  const std::string p = root.path() + "/f.txt";
  ASSERT_TRUE(platform::writeFileAtomically(p, "one"));
  ASSERT_TRUE(platform::writeFileAtomically(p, "two!"));
  EXPECT_EQ(platform::readFile(p), "two!");
  int entries = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(root.path())) entries++;
  EXPECT_EQ(entries, 2);  // home and f.txt
  EXPECT_FALSE(platform::writeFileAtomically(root.path() + "/missing/dir/f", "x"));
  EXPECT_FALSE(platform::readFile(root.path()).has_value());  // a folder is not a file
}

TEST(SerialQueue, AQueueDestroyedByItsOwnWorkFinishesSafely) {
  auto* queue = new platform::SerialQueue("self");
  platform::OneShot<bool> done;
  platform::OneShot<bool> queued;
  std::atomic<int> after{0};
  queue->async([queue, queued] {
    queued.wait();
    delete queue;
  });
  queue->async([&] { after++; });  // queued before the delete runs: still runs
  queue->async([done] { done.resolve(true); });
  queued.resolve(true);
  EXPECT_EQ(done.waitFor(5s), true);
  EXPECT_EQ(after.load(), 1);
}

TEST(Utf8, ValidatesAndRepairsByMaximalIllFormedParts) {
  EXPECT_TRUE(platform::isValidUTF8(""));
  EXPECT_TRUE(platform::isValidUTF8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  const char* invalid[] = {"\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff", "\x80"};
  for (const char* text : invalid) EXPECT_FALSE(platform::isValidUTF8(text)) << text;
  EXPECT_EQ(platform::repairedUTF8("a\xffz"), "a\xef\xbf\xbdz");
  EXPECT_EQ(platform::repairedUTF8("\xe2\x82z"), "\xef\xbf\xbdz");  // one truncated sequence, one mark
  EXPECT_EQ(platform::repairedUTF8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(platform::repairedUTF8("ok\xc3\xa9"), "ok\xc3\xa9");
}
