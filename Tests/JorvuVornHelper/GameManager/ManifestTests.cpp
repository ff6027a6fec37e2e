#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <zlib.h>

#include <filesystem>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDLivePaths.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestController.hpp"
#include "Platform/Digest.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"

using obd::utils::Base64Encode;
using testsupport::TempRoot;

namespace {

const std::string kH0(40, 'a');
const std::string kH1(40, 'b');
const std::string kH2(40, 'c');

std::string sha1(const std::string& s) { return platform::Sha1::hexDigest(s.data(), s.size()); }

std::string headerOf(OBDManifest& m, const std::string& raw) {
  m.SetHeaderRaw(raw);
  m.ParseHeader();
  return m.GetHeaderRaw();
}

std::string gunzip(const std::string& path) {
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) return "<none>";
  std::string out;
  char buf[4096];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  gzclose(f);
  return out;
}

void gzipTo(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  gzFile f = gzopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  if (!text.empty()) gzwrite(f, text.data(), static_cast<unsigned>(text.size()));
  gzclose(f);
}

}  // namespace

TEST(OBDManifest, HeaderTextLeavesOutEmptyMembers) {
  OBDManifest m;
  m.SetName("live-2");
  EXPECT_EQ(m.GetHeaderRaw(), R"({"name":"live-2"})");
  m.SetOrigin();
  EXPECT_EQ(m.GetHeaderRaw(), R"({"name":"live-2","origin":"live-2"})");
  m.SetInstallingPath("/G/A");
  EXPECT_EQ(m.GetHeaderRaw(), R"({"name":"live-2","origin":"live-2","resume_installing_path":"/G/A"})");
  m.ClearOrigin();
  EXPECT_EQ(m.GetHeaderRaw(), R"({"name":"live-2","resume_installing_path":"/G/A"})");
  OBDManifest nameless;
  nameless.SetOrigin();
  EXPECT_EQ(nameless.GetOrigin(), "unknown");
}

TEST(OBDManifest, ParseHeaderTakesStringsAndForgetsEarlierValues) {
  OBDManifest m;
  EXPECT_EQ(headerOf(m, R"({"name":"a","origin":"o","resume_installing_path":"/p","x":1})"),
            R"({"name":"a","origin":"o","resume_installing_path":"/p"})");
  // A second reading never keeps values of the first.
  m.SetHeaderRaw(R"({"origin":"o2"})");
  EXPECT_FALSE(m.ParseHeader());
  EXPECT_EQ(m.GetHeader().name, "");
  EXPECT_EQ(m.GetHeader().origin, "o2");
  EXPECT_EQ(m.GetInstallingPath(), "");
  for (const char* bad : {"", "not json", "[1]", R"({"name":5})", R"("name")", R"({"name":"a"} x)"}) {
    m.SetHeaderRaw(R"({"name":"stale"})");
    ASSERT_TRUE(m.ParseHeader());
    m.SetHeaderRaw(bad);
    EXPECT_FALSE(m.ParseHeader()) << bad;
    EXPECT_EQ(m.GetName(), "") << bad;
  }
}

TEST(OBDManifest, FilesAsObjectOrStringReadAlike) {
  const std::string files = R"({"a2V5":{"objects":{"0":")" + kH0 + R"("},"hash":"h","uncompressed_size":7,"origin_file_broken":false}})";
  rapidjson::StringBuffer sb;
  rapidjson::Writer<rapidjson::StringBuffer> w(sb);
  w.String(files.c_str());
  const std::string asObject = R"({"files":)" + files + R"(,"version":"1.0","total_uncompressed_size":7})";
  const std::string asString = R"({"files":)" + std::string(sb.GetString()) + R"(,"version":"1.0","total_uncompressed_size":7})";

  OBDManifest::Contents a;
  OBDManifest::Contents b;
  ASSERT_TRUE(OBDManifest::ParseContentsCore(asObject, a));
  ASSERT_TRUE(OBDManifest::ParseContentsCore(asString, b));
  EXPECT_TRUE(a.Files() == b.Files());
  EXPECT_EQ(a.total_uncompressed_size, 7u);

  // The contents text writes "files" as a string and reads back the same.
  OBDManifest m;
  m.SetContentRaw(asObject);
  ASSERT_TRUE(m.ParseContents());
  EXPECT_EQ(m.GetContentRaw(), asString);
  EXPECT_EQ(m.GetUncompressedFileSize("a2V5"), 7u);
  EXPECT_EQ(m.GetObjectsCount("a2V5"), 1u);
  EXPECT_EQ(m.GetObjectHash("a2V5", 0), kH0);
  EXPECT_EQ(m.GetObjectHash("a2V5", 1), "");
  EXPECT_EQ(m.GetObjectHash("nope", 0), "");
}

TEST(OBDManifest, ContentsAreWrittenInPiecesAsTheWriterWouldEscapeThem) {
  // Keys with every byte a string escape touches, UTF-8, and enough files
  // for the text to take several pieces.
  OBDManifest m;
  std::string odd;
  for (int c = 0; c < 0x80; ++c) odd.push_back(static_cast<char>(c));
  odd += "\xed\x95\x9c/\"\\";
  ASSERT_TRUE(m.InsertEmptyFile(odd));
  ASSERT_TRUE(m.AddObject(odd, 0, kH0, 3));
  ASSERT_TRUE(m.AddObject(odd, 1, kH1, 4));
  for (int i = 0; i < 2000; ++i) {
    const std::string key = "file-" + std::to_string(i);
    ASSERT_TRUE(m.InsertEmptyFile(key));
    ASSERT_TRUE(m.AddObject(key, 0, kH2, 1));
    ASSERT_TRUE(m.FileFinalize(key));
  }

  // What the writer makes of the files text as a string value.
  rapidjson::StringBuffer files;
  rapidjson::Writer<rapidjson::StringBuffer> filesWriter(files);
  m.GetContents().Files().Accept(filesWriter);
  rapidjson::StringBuffer expected;
  rapidjson::Writer<rapidjson::StringBuffer> w(expected);
  w.StartObject();
  w.Key("files");
  w.String(files.GetString(), static_cast<rapidjson::SizeType>(files.GetSize()));
  w.Key("version");
  w.String("1.0");
  w.Key("total_uncompressed_size");
  w.Uint64(m.GetTotalUncompressedSize());
  w.EndObject();
  const std::string text(expected.GetString(), expected.GetSize());
  EXPECT_EQ(m.GetContentRaw(), text);

  std::string joined;
  std::size_t pieces = 0;
  ASSERT_TRUE(m.WriteContent([&](std::string_view piece) {
    EXPECT_LE(piece.size(), 65536u);
    joined.append(piece);
    ++pieces;
    return true;
  }));
  EXPECT_EQ(joined, text);
  EXPECT_GT(pieces, 1u);
  OBDManifest::Contents back;
  ASSERT_TRUE(OBDManifest::ParseContentsCore(joined, back));
  EXPECT_TRUE(back.Files() == m.GetContents().Files());

  // A sink that refuses stops the writing.
  pieces = 0;
  EXPECT_FALSE(m.WriteContent([&](std::string_view) { return ++pieces < 2; }));
  EXPECT_EQ(pieces, 2u);
}

TEST(OBDManifest, MalformedContentsAreFailuresNotCrashes) {
  const std::string okFiles = R"({"k":{"objects":{},"hash":"","uncompressed_size":0}})";
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {
      {R"({"files":)" + okFiles + R"(,"version":""})", false},           // empty version
      {R"({"files":{},"version":"1.0"})", false},                        // no files
      {R"({"files":"not json","version":"1.0"})", false},
      {R"({"files":5,"version":"1.0"})", false},
      {R"({"files":[1,2],"version":"1.0"})", false},
      {R"({"files":{"k":1,"k":2},"version":"1.0"})", false},             // a key named twice
      {"[" + std::string(100000, '[') + std::string(100001, ']'), false},  // deep nesting
      {R"({"files":{"k":)" + std::string(50, '[') + std::string(50, ']') + R"(},"version":"1.0"})", false},
      {"", false},
      {"null", false},
      {R"({"files":)" + okFiles + R"(})", true},                         // version defaults to 1.0
      {R"({"files":)" + okFiles + R"(,"version":1,"total_uncompressed_size":-4})", true},
  };
  for (const auto& c : cases) {
    OBDManifest::Contents contents;
    EXPECT_EQ(OBDManifest::ParseContentsCore(c.text, contents), c.ok) << c.text.substr(0, 80);
  }

  // Entries of the wrong shape read as absent members.
  OBDManifest m;
  m.SetContentRaw(R"({"files":{"a":5,"b":{"objects":[],"uncompressed_size":"x"}},"version":"1.0"})");
  ASSERT_TRUE(m.ParseContents());
  EXPECT_TRUE(m.HasFile("a"));
  EXPECT_EQ(m.GetUncompressedFileSize("a"), 0u);
  EXPECT_EQ(m.GetObjectsCount("b"), 0u);
  EXPECT_EQ(m.GetObjectHash("b", 0), "");
  EXPECT_FALSE(m.AddObject("a", 0, kH0, 1));
  EXPECT_FALSE(m.AddObject("b", 0, kH0, 1));
  EXPECT_FALSE(m.FileFinalize("b"));
  EXPECT_TRUE(m.FileInitialize("a", true));  // a broken entry is made new
  EXPECT_TRUE(m.AddObject("a", 0, kH0, 3));
}

TEST(OBDManifest, FailedReadingKeepsOrReplacesWholeRecord) {
  OBDManifest::Contents contents;
  ASSERT_TRUE(OBDManifest::ParseContentsCore(R"({"files":{"old":{}},"version":"2.0","total_uncompressed_size":9})", contents));
  EXPECT_FALSE(OBDManifest::ParseContentsCore("garbage", contents));  // unreadable: unchanged
  EXPECT_EQ(contents.version, "2.0");
  EXPECT_NE(contents.FindFile("old"), nullptr);
  EXPECT_TRUE(OBDManifest::ParseContentsCore(R"({"files":{"new":{}}})", contents));  // readable: no stale values
  EXPECT_EQ(contents.version, "1.0");
  EXPECT_EQ(contents.total_uncompressed_size, 0u);
  EXPECT_EQ(contents.FindFile("old"), nullptr);
}

TEST(OBDManifest, FileHashStopsAtTheFirstMissingIndex) {
  OBDManifest m;
  ASSERT_TRUE(m.InsertEmptyFile("k"));
  ASSERT_TRUE(m.FileFinalize("k"));
  EXPECT_EQ(m.GetContents().FindFile("k")->FindMember("hash")->value.GetString(), sha1(""));
  ASSERT_TRUE(m.AddObject("k", 0, kH0, 4194304));
  ASSERT_TRUE(m.AddObject("k", 2, kH2, 5));
  ASSERT_TRUE(m.FileFinalize("k"));
  EXPECT_EQ(std::string(m.GetContents().FindFile("k")->FindMember("hash")->value.GetString()), sha1(kH0));
  ASSERT_TRUE(m.AddObject("k", 1, kH1, 4194304));
  ASSERT_TRUE(m.FileFinalize("k"));
  EXPECT_EQ(std::string(m.GetContents().FindFile("k")->FindMember("hash")->value.GetString()), sha1(kH0 + kH1 + kH2));
  EXPECT_EQ(m.GetUncompressedFileSize("k"), 2u * 4194304 + 5);
  EXPECT_EQ(m.GetTotalUncompressedSize(), 2u * 4194304 + 5);
}

TEST(OBDManifest, AddObjectReplacesAnExistingIndex) {
  OBDManifest m;
  m.InsertEmptyFile("k");
  ASSERT_TRUE(m.AddObject("k", 0, kH0, 10));
  ASSERT_TRUE(m.AddObject("k", 0, kH1, 10));
  EXPECT_EQ(m.GetObjectsCount("k"), 1u);
  EXPECT_EQ(m.GetObjectHash("k", 0), kH1);
  EXPECT_EQ(m.GetUncompressedFileSize("k"), 10u);
  EXPECT_EQ(m.GetTotalUncompressedSize(), 10u);
  EXPECT_FALSE(m.AddObject("missing", 0, kH0, 1));
  EXPECT_FALSE(m.AddObject("k", -1, kH0, 1));
  // Inserting an entry again replaces it instead of naming the key twice.
  m.InsertEmptyFile("k");
  EXPECT_EQ(m.GetContents().FileCount(), 1u);
  EXPECT_EQ(m.GetObjectsCount("k"), 0u);
  EXPECT_EQ(m.GetTotalUncompressedSize(), 0u);
}

TEST(OBDManifest, FileInitializeResumesOnlyUnfinishedFilesWithTempFile) {
  auto prepared = [] {
    auto m = std::make_unique<OBDManifest>();
    m->InsertEmptyFile("k");
    m->AddObject("k", 0, kH0, 4194304);
    return m;
  };
  {  // unfinished + temp file: resumed, untouched
    auto m = prepared();
    EXPECT_FALSE(m->FileInitialize("k", true));
    EXPECT_EQ(m->GetObjectsCount("k"), 1u);
  }
  {  // no temp file: starts again
    auto m = prepared();
    EXPECT_TRUE(m->FileInitialize("k", false));
    EXPECT_EQ(m->GetObjectsCount("k"), 0u);
    EXPECT_EQ(m->GetUncompressedFileSize("k"), 0u);
    EXPECT_EQ(m->GetTotalUncompressedSize(), 0u);
  }
  {  // ignore-resume set
    auto m = prepared();
    m->SetIgnoreResume();
    EXPECT_TRUE(m->FileInitialize("k", true));
    EXPECT_EQ(m->GetObjectsCount("k"), 0u);
  }
  {  // finished file (hash set): starts again
    auto m = prepared();
    m->FileFinalize("k");
    EXPECT_TRUE(m->FileInitialize("k", true));
    EXPECT_EQ(m->GetObjectsCount("k"), 0u);
  }
  {  // missing: inserted
    OBDManifest m;
    EXPECT_TRUE(m.FileInitialize("new", true));
    EXPECT_TRUE(m.HasFile("new"));
  }
}

TEST(OBDManifest, CopyBrokenAndRemoveKeepTheTotal) {
  OBDManifest live;
  live.InsertEmptyFile("k");
  live.AddObject("k", 0, kH0, 100);
  live.FileFinalize("k");
  OBDManifest local;
  local.InsertEmptyFile("k");
  local.AddObject("k", 0, kH1, 30);  // a delta piece
  ASSERT_TRUE(local.CopyFileContent("k", live));
  EXPECT_TRUE(local.GetContents().FindFile("k")->operator==(*live.GetContents().FindFile("k")));
  EXPECT_EQ(local.GetTotalUncompressedSize(), 100u);
  EXPECT_FALSE(local.CopyFileContent("other", live));
  local.MarkOriginFileBroken("k");
  EXPECT_TRUE(local.GetContents().FindFile("k")->FindMember("origin_file_broken")->value.GetBool());
  EXPECT_EQ(local.GetObjectsCount("k"), 0u);
  EXPECT_EQ(local.GetTotalUncompressedSize(), 0u);
  local.InsertEmptyFile("a");
  local.InsertEmptyFile("b");
  local.InsertEmptyFile("c");
  local.RemoveFile("a");
  EXPECT_FALSE(local.HasFile("a"));
  EXPECT_TRUE(local.HasFile("b") && local.HasFile("c") && local.HasFile("k"));
  local.AddObject("c", 0, kH0, 1);  // the index still finds moved entries
  EXPECT_EQ(local.GetObjectsCount("c"), 1u);
  local.Clear();
  EXPECT_EQ(local.GetContents().FileCount(), 0u);
  EXPECT_EQ(local.GetName(), "");
}

// Records of one path under two keys: moved when alone; when both are
// there, one stays only when both record the same finished file.
TEST(OBDManifest, MovedRecordsKeepOnlyWhatBothKeysAgreeOn) {
  OBDManifest local;
  auto finished = [&local](const std::string& key, const std::string& hash, std::uint64_t size) {
    local.InsertEmptyFile(key);
    local.AddObject(key, 0, hash, size);
    local.FileFinalize(key);
  };
  finished("alone\\", kH0, 10);
  finished("same\\", kH0, 20);
  finished("same/", kH0, 20);
  finished("other\\", kH0, 30);
  finished("other/", kH1, 30);
  finished("open\\", kH0, 40);
  local.InsertEmptyFile("open/");  // unfinished
  local.MoveFileRecord("alone\\", "alone/");
  local.MoveFileRecord("same\\", "same/");
  local.MoveFileRecord("other\\", "other/");
  local.MoveFileRecord("open\\", "open/");
  EXPECT_EQ(local.GetObjectHash("alone/", 0), kH0);
  EXPECT_EQ(local.GetObjectHash("same/", 0), kH0);
  for (const char* gone : {"alone\\", "same\\", "other\\", "other/", "open\\", "open/"}) {
    EXPECT_FALSE(local.HasFile(gone)) << gone;
  }
  EXPECT_EQ(local.GetTotalUncompressedSize(), 30u);
}

TEST(OBDManifest, LoadsLiveContentsAndDiffsOverHttp) {
  TempRoot root;
  const std::string src = root.path() + "/src";
  const std::string contents = R"({"files":{"k":{"objects":{},"hash":"","uncompressed_size":0}},"version":"1.0"})";
  testsupport::writeFile(src + "/live-2", contents);
  testsupport::writeFile(src + "/live-2-live-1", contents);
  enginetest::FileServer server(src);

  OBDManifest live;
  live.SetName("live-2");
  ASSERT_TRUE(live.LoadContents(server.url() + "/"));
  EXPECT_TRUE(live.HasFile("k"));
  EXPECT_EQ(server.hits("/live-2"), 1);

  OBDManifest local;
  EXPECT_FALSE(live.LoadDiffs(server.url(), local));  // no origin
  local.SetName("x");
  local.SetOrigin();
  local.SetName("");
  local.ClearOrigin();
  local.SetOrigin();  // nameless: "unknown"
  EXPECT_FALSE(live.LoadDiffs(server.url(), local));
  EXPECT_EQ(server.hits("/live-2-unknown"), 0);
  local.SetName("live-1");
  local.ClearOrigin();
  local.SetOrigin();
  ASSERT_TRUE(live.LoadDiffs(server.url(), local));
  EXPECT_TRUE(live.GetDiffs().FindFile("k") != nullptr);

  OBDManifest missing;
  missing.SetName("nope");
  EXPECT_FALSE(missing.LoadContents(server.url()));
  EXPECT_EQ(missing.GetLastErrorLog(), "target : " + server.url() + "/nope Download Failed.");
}

// ---- Local manifest file and controller ----

TEST(OBDManifestController, LocalFileNameAndGzipLayout) {
  EXPECT_EQ(OBDManifestController::LocalManifestPath(1234, "/Games/A"), "/Games/A/obd-manifest-1234");
  EXPECT_EQ(OBDManifestController::LocalManifestPath(1234, "/Games/A/"), "/Games/A//obd-manifest-1234");

  TempRoot root;
  const std::string target = root.path() + "/A";
  std::filesystem::create_directories(target);
  OBDManifestController c;
  c.Enable(1234, "live-1");
  c.SetInstallReady(target);
  c.InsertEmptyFileInLocal("k");
  c.AddObjectInLocal("k", 0, kH0, 9);
  ASSERT_TRUE(c.SaveResult(1234, target));
  const std::string text = gunzip(target + "/obd-manifest-1234");
  EXPECT_EQ(text, c.GetLocalManifest().GetHeaderRaw() + "\n" + c.GetLocalManifest().GetContentRaw());
  EXPECT_EQ(text.substr(0, text.find('\n')), R"({"name":"live-1","resume_installing_path":")" + target + R"("})");
  EXPECT_EQ(text.back(), '}');
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(target), std::filesystem::directory_iterator()), 1);

  std::string header;
  std::string contents;
  ASSERT_TRUE(OBDManifestController::ReadLocalContents(1234, target, header, contents));
  OBDManifest back;
  back.SetHeaderRaw(header);
  back.SetContentRaw(contents);
  ASSERT_TRUE(back.ParseHeader());
  ASSERT_TRUE(back.ParseContents());
  EXPECT_EQ(back.GetInstallingPath(), target);
  EXPECT_EQ(back.GetObjectHash("k", 0), kH0);
  EXPECT_EQ(back.GetTotalUncompressedSize(), 9u);
}

TEST(OBDManifestController, SaveReplacesTheOldFileWholeAndFailsCleanly) {
  TempRoot root;
  const std::string target = root.path() + "/A";
  gzipTo(target + "/obd-manifest-7", "{\"name\":\"old\"}\n{\"files\":\"{}\"}");
  OBDManifestController c;
  c.Enable(7, "new");
  c.SetInstallReady("");
  ASSERT_TRUE(c.SaveResult(7, target));
  EXPECT_EQ(gunzip(target + "/obd-manifest-7").substr(0, 15), R"({"name":"new"}
)");
  // A folder that cannot take the file: nothing written, the caller told.
  EXPECT_FALSE(c.SaveResult(7, root.path() + "/missing"));
  EXPECT_FALSE(std::filesystem::exists(root.path() + "/missing"));
  EXPECT_TRUE(c.DeleteLocalManifestFile(7, target));
  EXPECT_FALSE(c.DeleteLocalManifestFile(7, target));
}

TEST(OBDManifestController, ResumeAndPatchDecisions) {
  TempRoot root;
  const std::string t = root.path() + "/T";
  const std::string contents = R"({"files":"{}","version":"1.0","total_uncompressed_size":0})";
  struct Case {
    const char* what;
    std::string fileText;  // "" means no file
    bool resume;
    bool patch;
  } cases[] = {
      {"no file", "", false, true},
      {"header only", "{\"name\":\"live\"}\n", false, true},
      {"header line without line feed", "{\"name\":\"live\"}", false, true},
      {"header without name", "{\"origin\":\"x\"}\n" + contents, true, true},
      {"unreadable header", "garbage\n" + contents, true, true},
      {"finished, same release", "{\"name\":\"live\"}\n" + contents, false, false},
      {"unfinished install", "{\"name\":\"live\",\"resume_installing_path\":\"/T\"}\n" + contents, true, false},
      {"other release", "{\"name\":\"old\"}\n" + contents, false, true},
      {"unfinished patch", "{\"name\":\"live\",\"origin\":\"old\"}\n" + contents, false, true},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(t);
    std::filesystem::create_directories(t);
    if (!c.fileText.empty()) gzipTo(t + "/obd-manifest-9", c.fileText);
    OBDManifestController controller;
    controller.Enable(9, "live");
    EXPECT_EQ(controller.NeedToResume(9, t), c.resume) << c.what;
    OBDManifestController other;
    other.Enable(9, "live");
    EXPECT_EQ(other.NeedToPatch(9, t), c.patch) << c.what;
  }
  // Plain (not gzip) bytes are read as they are; an empty file decides nothing.
  std::filesystem::create_directories(t);
  testsupport::writeFile(t + "/obd-manifest-9", "");
  OBDManifestController controller;
  controller.Enable(9, "live");
  EXPECT_FALSE(controller.NeedToResume(9, t));
  EXPECT_TRUE(controller.NeedToPatch(9, t));
}

TEST(OBDManifestController, PatchReadyRecordsTheOrigin) {
  OBDManifestController c;
  c.Enable(1, "live-3");
  c.SetPatchReady(1);  // nothing installed known: unknown origin, no diffs
  EXPECT_EQ(c.GetLocalManifest().GetOrigin(), "unknown");
  EXPECT_EQ(c.GetLocalManifest().GetName(), "live-3");
  EXPECT_FALSE(c.GetLocalManifest().IsIgnoreResume());
  EXPECT_FALSE(c.LoadDiffs("http://127.0.0.1:1"));

  OBDManifestController d;
  d.Enable(1, "live-3");
  d.GetLocalManifest().SetName("live-2");
  d.SetPatchReady(1);
  EXPECT_EQ(d.GetLocalManifest().GetOrigin(), "live-2");
  EXPECT_FALSE(d.GetLocalManifest().IsIgnoreResume());
  // The live release moved on while that patch was unfinished.
  d.Enable(1, "live-4");
  d.SetPatchReady(1);
  EXPECT_EQ(d.GetLocalManifest().GetOrigin(), "live-2");
  EXPECT_TRUE(d.GetLocalManifest().IsIgnoreResume());
  EXPECT_EQ(d.GetLocalManifest().GetName(), "live-4");
  d.FinalizeForPatchSuccess();
  EXPECT_FALSE(d.GetLocalManifest().OriginExists());
}

TEST(OBDManifestController, SizesErrorLogAndFinalizing) {
  TempRoot root;
  OBDManifestController c;
  c.Enable(3, "live");
  c.GetLiveManifest().InsertEmptyFile("k");
  c.GetLiveManifest().AddObject("k", 0, kH0, 100);
  c.InsertEmptyFileInLocal("k");
  c.AddObjectInLocal("k", 0, kH1, 40);
  EXPECT_EQ(c.GetDifferentUncompressedFileSize("k"), 60u);
  c.AddObjectInLocal("k", 1, kH2, 100);
  EXPECT_EQ(c.GetDifferentUncompressedFileSize("k"), 0u);  // never wraps below zero
  EXPECT_EQ(c.GetDifferentUncompressedFileSize("none"), 0u);
  EXPECT_EQ(c.GetLiveTotalUncompressedSize(), 100u);
  EXPECT_EQ(c.GetLocalTotalUncompressedSize(), 140u);

  c.DiffFinalize("k", false);
  EXPECT_EQ(c.GetLocalManifest().GetObjectHash("k", 0), kH0);
  c.DiffFinalize("k", true);
  EXPECT_EQ(c.GetLocalManifest().GetObjectsCount("k"), 0u);
  EXPECT_TRUE(c.IsFileInLiveManifest("k"));
  EXPECT_FALSE(c.IsExcludedLocalFile("anything"));

  EXPECT_EQ(c.GetErrorLog(), "");
  enginetest::FileServer server(root.path());
  ASSERT_FALSE(c.LoadLiveContents(server.url()));
  EXPECT_EQ(c.GetErrorLog(), "(REMOTE)target : " + server.url() + "/live Download Failed.");

  const std::string target = root.path() + "/G";
  std::filesystem::create_directories(target);
  c.SetInstallReady(target);
  ASSERT_TRUE(c.SaveResult(3, target));
  c.FinalizeForInstallSuccess(3, target);
  EXPECT_FALSE(std::filesystem::exists(target + "/obd-manifest-3"));
  EXPECT_EQ(c.GetLocalManifest().GetInstallingPath(), "");
}

namespace {

// A release that names a file's temp name, and that name's own other name:
// each temp file is a name of its own, never one the release names.
TEST(LivePathsTest, TempNamesAvoidTheReleasesNamesAndEachOther) {
  OBDManifest live;
  std::string files;
  for (const char* path : {"x", "x.zqgz", "x.~", "x.~.zqgz", "d/y", "d/y.zqdelta/inner", "z"}) {
    if (!files.empty()) files += ",";
    files += "\"" + obd::utils::Base64Encode(path) + "\":{\"objects\":{},\"hash\":\"\",\"uncompressed_size\":0}";
  }
  live.SetContentRaw("{\"files\":{" + files + "},\"total_uncompressed_size\":0}");
  ASSERT_TRUE(live.ParseContents());
  const OBDLivePaths paths(live);
  EXPECT_EQ(paths.TempSuffixOf("z", ".zqgz"), ".zqgz");
  EXPECT_EQ(paths.TempSuffixOf("x", ".zqgz"), ".~~.zqgz");
  EXPECT_EQ(paths.TempSuffixOf("x", ".zqdelta"), ".zqdelta");
  EXPECT_EQ(paths.TempSuffixOf("x.zqgz", ".zqgz"), ".zqgz");
  EXPECT_EQ(paths.TempSuffixOf("x.~", ".zqgz"), ".~.zqgz");  // x.~.~.zqgz
  EXPECT_EQ(paths.TempSuffixOf("d/y", ".zqdelta"), ".~.zqdelta");  // a folder of the release there
}

}  // namespace
