// The job's parts one by one: the queue, object extraction, the file step
// with objects in any order, and delta application.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <vector>
#include <mutex>
#include <condition_variable>
#include <thread>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDDeltaStream.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDGameFolder.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDBuffer.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDPatcher.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"

using jobtest::kBlock;
using testsupport::readFileOrEmpty;
using testsupport::writeFile;

namespace {

OBDBuffer::Element item(const std::string& key, std::size_t dataBytes) {
  OBDBuffer::Element e;
  e.key = key;
  e.full_path = "/x/" + key;
  e.object_index = 0;
  e.object_count = 1;
  e.data.resize(dataBytes);
  return e;
}

std::string sha1(const std::string& s) { return OBDManifest::GetHash(s.data(), s.size()); }

}  // namespace

// ---- OBDBuffer ----

TEST(OBDBufferTest, BoundedQueueTakesOneElementPastCapacityThenBlocksUntilDrained) {
  constexpr std::int64_t MiB = 1 << 20;
  OBDBuffer queue(128 * MiB);
  queue.AddElement(item("a", 100 * MiB));
  queue.AddElement(item("b", 40 * MiB));  // below capacity before: accepted, now 140 MiB
  EXPECT_EQ(queue.QueuedBytes(), 140 * MiB);

  std::promise<void> added;
  std::thread producer([&] {
    queue.AddElement(item("c", 1));
    added.set_value();
  });
  auto future = added.get_future();
  EXPECT_EQ(future.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  OBDBuffer::Element out;
  ASSERT_TRUE(queue.GetElement(out));  // 40 MiB left: below capacity
  EXPECT_EQ(out.key, "a");
  EXPECT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  producer.join();
  EXPECT_EQ(queue.Size(), 2u);
}

TEST(OBDBufferTest, EndMarkerIsConsumedAndQuitStopsEveryWaiter) {
  OBDBuffer queue;
  queue.AddElement(item("a", 1));
  queue.AddElement(OBDBuffer::Element{});
  queue.AddElement(item("b", 1));
  OBDBuffer::Element out;
  EXPECT_TRUE(queue.GetElement(out));
  EXPECT_FALSE(queue.GetElement(out));  // the marker
  EXPECT_EQ(queue.Size(), 1u);
  queue.Quit();
  EXPECT_FALSE(queue.GetElement(out));  // elements remain, but the queue quits
  EXPECT_EQ(queue.Size(), 1u);

  // A waiting consumer and a producer blocked on capacity both wake on Quit.
  OBDBuffer empty;
  OBDBuffer full(10);
  full.AddElement(item("big", 20));
  auto consumer = std::async(std::launch::async, [&] {
    OBDBuffer::Element e;
    return empty.GetElement(e);
  });
  auto producer = std::async(std::launch::async, [&] { full.AddElement(item("more", 1)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  empty.Quit();
  full.Quit();
  EXPECT_EQ(consumer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(consumer.get());
  EXPECT_EQ(producer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(OBDBufferTest, BatchedQueueHandsOverOnWakeAtTheBatchAndAtTheEnd) {
  OBDBuffer queue;
  queue.SetWakeBatch(4);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> seen;
  std::thread consumer([&] {
    OBDBuffer::Element e;
    while (queue.GetElement(e)) {
      std::lock_guard lock(mutex);
      seen.push_back(e.key);
      changed.notify_all();
    }
  });
  auto seenCount = [&](std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() == n; });
  };
  queue.AddElement(item("a", 1));
  queue.AddElement(item("b", 1));
  queue.Wake();  // fewer than a batch: handed over when the producer says so
  EXPECT_TRUE(seenCount(2));
  for (const char* key : {"c", "d", "e", "f"}) queue.AddElement(item(key, 1));
  EXPECT_TRUE(seenCount(6));  // a whole batch
  queue.AddElement(item("g", 1));
  queue.AddElement(OBDBuffer::Element{});  // the end marker always wakes
  consumer.join();
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g"}));
}

TEST(OBDBufferTest, ZeroObjectItemIsNotTheEndMarker) {
  OBDBuffer::Element e;
  EXPECT_TRUE(e.IsEmpty());
  e.key = "ZQ==";
  e.full_path = "/g/e";
  e.already_present = true;
  EXPECT_FALSE(e.IsEmpty());
}

// ---- Extract and the file step ----

class FileStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work = jobtest::makeWork(5, "http://127.0.0.1:1", "live", root.path() + "/g", "x");
    worker = std::make_unique<OBDWorker>(work->manifest_controller, work->progress_info_manager);
    worker->SetWaits(jobtest::fastWaits());
  }

  // A live manifest with one file of these objects.
  void setLive(const std::string& key, const std::vector<std::string>& blocks) {
    std::string objects;
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      objects += (i ? "," : "") + std::string("\"") + std::to_string(i) + "\":\"" + sha1(blocks[i]) + "\"";
      size += blocks[i].size();
    }
    const std::string text = "{\"files\":{\"" + key + "\":{\"objects\":{" + objects + "},\"hash\":\"h\",\"uncompressed_size\":" +
                             std::to_string(size) + "}},\"version\":\"1.0\",\"total_uncompressed_size\":" +
                             std::to_string(size) + "}";
    OBDManifest& live = work->manifest_controller.GetLiveManifest();
    live.SetContentRaw(text);
    ASSERT_TRUE(live.ParseContents());
  }

  OBDBuffer::Element object(const std::string& key, const std::string& path, const std::string& block, int index,
                            int count, bool fresh) {
    OBDBuffer::Element e;
    e.key = key;
    e.full_path = path;
    e.object_index = index;
    e.object_count = count;
    e.object_hash = sha1(block);
    const std::string z = jobtest::zlibCompress(block);
    e.data.assign(z.begin(), z.end());
    e.fresh_file = fresh;
    return e;
  }

  // Runs the file step over the items; returns the items it passed on.
  std::vector<OBDBuffer::Element> runFileStep(std::vector<OBDBuffer::Element> items) {
    OBDBuffer in;
    OBDBuffer out;
    for (auto& e : items) in.AddElement(std::move(e));
    in.AddElement(OBDBuffer::Element{});
    worker->FileProcess(in, out);
    std::vector<OBDBuffer::Element> passed;
    OBDBuffer::Element e;
    while (out.GetElement(e)) passed.push_back(std::move(e));
    return passed;
  }

  testsupport::TempRoot root;
  std::unique_ptr<WorkInfo> work;
  std::unique_ptr<OBDWorker> worker;
};

TEST_F(FileStepTest, ExtractAcceptsExactlyOneBlockAndRefusesOneByteMore) {
  const std::string path = root.path() + "/out.bin";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string block = enginetest::repeatBytes(kBlock, 1);
  const std::string z = jobtest::zlibCompress(block);
  std::uint64_t size = 0;
  EXPECT_TRUE(worker->Extract(1, {z.begin(), z.end()}, sha1(block), false, size, fd));
  EXPECT_EQ(size, kBlock);
  EXPECT_EQ(readFileOrEmpty(path).size(), 2 * kBlock);  // written at its offset

  struct Case {
    const char* name;
    std::string data;
    std::string hash;
    std::string triple;
  };
  const std::string longer = block + "x";
  const std::string zLonger = jobtest::zlibCompress(longer);
  std::vector<Case> cases = {
      {"one byte past a block", zLonger, sha1(longer), "-70/301/0"},
      {"truncated stream", z.substr(0, z.size() / 2), sha1(block), "-70/301/0"},
      {"not zlib at all", "plain bytes", sha1(block), "-70/301/0"},
      {"another block's hash", z, sha1("other"), "-70/931/0"},
  };
  for (const Case& c : cases) {
    work->progress_info_manager.SetLastErrorCode(0, 0, 0);
    EXPECT_FALSE(worker->Extract(0, {c.data.begin(), c.data.end()}, c.hash, false, size, fd)) << c.name;
    EXPECT_EQ(jobtest::triple(work->progress_info_manager), c.triple) << c.name;
  }
  ::close(fd);
}

TEST_F(FileStepTest, ObjectsInAnyOrderMakeTheSameFileRenamedAfterTheLast) {
  const std::string key = obd::utils::Base64Encode("dir/file.bin");
  const std::string path = root.path() + "/g/dir/file.bin";
  const std::vector<std::string> blocks = {enginetest::repeatBytes(kBlock, 1), enginetest::repeatBytes(kBlock, 2),
                                           "tail of the file"};
  setLive(key, blocks);
  const std::string expected = blocks[0] + blocks[1] + blocks[2];

  for (const std::vector<int>& order : {std::vector<int>{0, 1, 2}, std::vector<int>{2, 0, 1}}) {
    std::filesystem::remove_all(root.path() + "/g");
    std::vector<OBDBuffer::Element> items;
    for (int i : order) items.push_back(object(key, path, blocks[i], i, 3, true));
    auto passed = runFileStep(std::move(items));
    ASSERT_EQ(passed.size(), 3u);
    EXPECT_FALSE(passed[0].last_object);
    EXPECT_FALSE(passed[1].last_object);
    EXPECT_TRUE(passed[2].last_object);
    EXPECT_EQ(passed[2].object_index, order[2]);
    // Written objects go on to the record step without their bytes' memory.
    for (const auto& e : passed) EXPECT_EQ(e.data.capacity(), 0u);
    EXPECT_TRUE(readFileOrEmpty(path) == expected) << "order " << order[0] << order[1] << order[2];
    EXPECT_FALSE(std::filesystem::exists(path + ".zqgz"));
    EXPECT_EQ(jobtest::triple(work->progress_info_manager), "0/0/0");
  }
}

TEST_F(FileStepTest, ResumedTempFileKeepsItsObjectsAndIsCutToTheLiveSize) {
  const std::string key = obd::utils::Base64Encode("f");
  const std::string path = root.path() + "/g/f";
  const std::vector<std::string> blocks = {enginetest::repeatBytes(kBlock, 3), enginetest::repeatBytes(kBlock, 4),
                                           "short end"};
  setLive(key, blocks);
  // Left by an earlier attempt: objects 0 and 1 in place, then stale bytes
  // of a longer file.
  writeFile(path + ".zqgz", blocks[0] + blocks[1] + std::string(kBlock, 'z'));

  std::vector<OBDBuffer::Element> items;
  for (int i = 0; i < 2; ++i) {
    OBDBuffer::Element present;
    present.key = key;
    present.full_path = path;
    present.object_count = 3;
    present.already_present = true;
    items.push_back(std::move(present));
  }
  items.push_back(object(key, path, blocks[2], 2, 3, false));
  auto passed = runFileStep(std::move(items));
  ASSERT_EQ(passed.size(), 3u);
  EXPECT_TRUE(readFileOrEmpty(path) == blocks[0] + blocks[1] + blocks[2]);
}

// A file fetched whole takes a delta temp file left beside it (the kill
// tests show that), but never a file of the release of that name.
TEST_F(FileStepTest, DeltaLeftoverThatTheReleaseNamesStays) {
  const std::string key = obd::utils::Base64Encode("f");
  const std::string path = root.path() + "/g/f";
  setLive(key, {"bytes of f"});
  work->manifest_controller.GetLiveManifest().InsertEmptyFile(obd::utils::Base64Encode("f.zqdelta"));
  writeFile(path + ".zqdelta", "the release's");
  ASSERT_EQ(runFileStep({object(key, path, "bytes of f", 0, 1, true)}).size(), 1u);
  EXPECT_EQ(readFileOrEmpty(path), "bytes of f");
  EXPECT_EQ(readFileOrEmpty(path + ".zqdelta"), "the release's");
}

TEST_F(FileStepTest, TempFileIsNeverOpenedThroughALink) {
  const std::string key = obd::utils::Base64Encode("f");
  const std::string path = root.path() + "/g/f";
  setLive(key, {"data"});
  writeFile(root.path() + "/outside", "keep");
  std::filesystem::create_directories(root.path() + "/g");
  std::filesystem::create_symlink(root.path() + "/outside", path + ".zqgz");
  runFileStep({object(key, path, "data", 0, 1, true)});
  EXPECT_EQ(readFileOrEmpty(root.path() + "/outside"), "keep");
  ProgressInfoManager::ErrorInfo info;
  work->progress_info_manager.GetErrorInfo(&info);
  EXPECT_EQ(info.errorCode, -70);
  EXPECT_EQ(info.mainErrorCode, 105u);
  EXPECT_EQ(info.subErrorCode, static_cast<std::uint32_t>(ELOOP));
}

// ---- ApplyDelta ----

class DeltaTest : public ::testing::Test {
 protected:
  struct Run {
    bool ok = false;
    std::string output;
    std::vector<std::pair<std::int64_t, std::size_t>> checks;  // block number, size
  };

  Run apply(const std::string& origin, const std::string& stream, std::function<bool(std::int64_t)> verdict = {}) {
    writeFile(root.path() + "/origin", origin);
    writeFile(root.path() + "/delta", stream);
    Run run;
    run.ok = OBDPatcher::ApplyDelta(&progress, root.path() + "/origin", root.path() + "/delta",
                                    root.path() + "/output", [&](std::int64_t n, const std::uint8_t*, std::size_t size) {
                                      run.checks.emplace_back(n, size);
                                      return verdict ? verdict(n) : true;
                                    });
    run.output = readFileOrEmpty(root.path() + "/output");
    return run;
  }

  testsupport::TempRoot root;
  ProgressInfoManager progress;
};

TEST_F(DeltaTest, CommandBytesPickTheirOperandWidths) {
  // 0x14: copy with a 2-byte offset and a 2-byte length; 0x40: insert with a
  // 1-byte length; 0x3F: copy, 8-byte offset and length, low bits unused;
  // 0xFE: insert, 8-byte length (bits 4 to 7 play no part).
  std::string stream;
  stream += '\x14';
  stream += std::string("\x02\x00\x03\x00", 4);
  stream += '\x40';
  stream += '\x02';
  stream += "xy";
  stream += '\x3F';
  stream += std::string("\x00\x00\x00\x00\x00\x00\x00\x00", 8);
  stream += std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8);
  stream += '\xFE';
  stream += std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8);
  stream += "!";
  const Run run = apply("abcdef", stream);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.output, "cdexya!");
  ProgressInfoManager::ProgressInfo info;
  progress.GetProgressInfo(&info);
  EXPECT_EQ(info.currentSize, 7u);
}

TEST_F(DeltaTest, CommandsRunningPastTheDeltaFailWithoutAllocatingThem) {
  std::string hugeInsert;
  obd::delta::AppendUint(hugeInsert += '\x4C', std::uint64_t{1} << 62, 8);  // 8-byte length, no bytes
  hugeInsert[0] = static_cast<char>(0x40 | (3 << 2));
  std::string shortLiteral = std::string("\x40\x05", 2) + "ab";
  std::string cutOperand = std::string("\x14\x01", 2);
  for (const std::string& stream : {hugeInsert, shortLiteral, cutOperand}) {
    EXPECT_FALSE(apply("abcdef", stream).ok) << testing::PrintToString(stream);
  }
}

// The file step drops a delta that is no command stream and fetches its
// file whole, but fails the job on a delta it cannot read: the two are told
// apart.
TEST_F(DeltaTest, ACutShortStreamIsBrokenWhileAnUnreadableDeltaFails) {
  writeFile(root.path() + "/origin", "abcdef");
  writeFile(root.path() + "/delta", std::string("\x14\x01", 2));
  const OBDFd origin(::open((root.path() + "/origin").c_str(), O_RDONLY | O_CLOEXEC));
  const OBDFd delta(::open((root.path() + "/delta").c_str(), O_RDONLY | O_CLOEXEC));
  const OBDFd folder(::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const OBDFd output(::open((root.path() + "/output").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  auto pass = [](std::int64_t, const std::uint8_t*, std::size_t) { return true; };
  EXPECT_EQ(OBDPatcher::ApplyDelta(&progress, origin.get(), delta.get(), output.get(), pass),
            OBDPatcher::DeltaResult::BrokenStream);
  EXPECT_EQ(OBDPatcher::ApplyDelta(&progress, origin.get(), folder.get(), output.get(), pass),
            OBDPatcher::DeltaResult::IoFailed);
}

TEST_F(DeltaTest, CopyPastTheOriginReadsZerosForTheBlockCheckToJudge) {
  std::string pastOrigin;
  obd::delta::AppendCopy(pastOrigin, 4, 3, 0, 0);
  obd::delta::AppendCopy(pastOrigin, std::uint64_t{1} << 63, 2, 3, 0);  // far past any file
  Run run = apply("abcdef", pastOrigin);
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.output, std::string("ef\0\0\0", 5));

  // A huge copy goes on only while its blocks pass: one block at a time.
  std::string hugeCopy;
  obd::delta::AppendCopy(hugeCopy, 0, std::uint64_t{1} << 62, 3, 3);
  run = apply("abcdef", hugeCopy, [](std::int64_t n) { return n == 0; });
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.checks.size(), 2u);
  EXPECT_TRUE(run.output == "abcdef" + std::string(kBlock - 6, '\0'));
}

TEST_F(DeltaTest, EveryBlockIsCheckedAsItFormsAndWholeBlocksNeedNoFinalCheck) {
  const std::string origin = enginetest::repeatBytes(kBlock, 9);
  struct Case {
    std::size_t outputSize;
    std::vector<std::pair<std::int64_t, std::size_t>> checks;
  };
  const std::vector<Case> cases = {
      {2 * kBlock, {{0, kBlock}, {1, kBlock}}},
      {2 * kBlock + 1, {{0, kBlock}, {1, kBlock}, {2, 1}}},
      {kBlock - 1, {{0, kBlock - 1}}},
  };
  for (const Case& c : cases) {
    // One long insert, then copies of the origin, so that one command
    // carries several blocks.
    std::string stream;
    const std::size_t inserted = c.outputSize > kBlock ? c.outputSize - kBlock : c.outputSize;
    obd::delta::AppendInsert(stream, enginetest::repeatBytes(inserted, 4), 2);
    if (c.outputSize > kBlock) obd::delta::AppendCopy(stream, 0, kBlock, 2, 2);
    const Run run = apply(origin, stream);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.output.size(), c.outputSize);
    EXPECT_EQ(run.checks, c.checks) << c.outputSize;
  }
  // A single command of 2.5 blocks is checked block by block.
  std::string stream;
  obd::delta::AppendInsert(stream, enginetest::repeatBytes(2 * kBlock + kBlock / 2, 5), 3);
  const Run run = apply(origin, stream);
  const std::vector<std::pair<std::int64_t, std::size_t>> expected = {{0, kBlock}, {1, kBlock}, {2, kBlock / 2}};
  EXPECT_EQ(run.checks, expected);
}

TEST_F(DeltaTest, FailedCheckStopsBeforeTheBlockIsWritten) {
  const std::string origin = enginetest::repeatBytes(3 * kBlock, 2);
  std::string stream;
  obd::delta::AppendCopy(stream, 0, 3 * kBlock, 2, 2);
  const Run run = apply(origin, stream, [](std::int64_t n) { return n != 1; });
  EXPECT_FALSE(run.ok);
  EXPECT_EQ(run.checks.size(), 2u);
  EXPECT_TRUE(run.output == origin.substr(0, kBlock));
}
