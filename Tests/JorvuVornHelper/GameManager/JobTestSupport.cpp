#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <zlib.h>

#include <filesystem>
#include <sstream>

#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestController.hpp"
#include "Tests/JorvuVornHelper/GameManager/EngineTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/pack/SourcePacker.hpp"

namespace fs = std::filesystem;

namespace jobtest {

void pack(const std::string& outDir, const std::string& name, const std::string& src, const std::string& from,
          const std::string& fromName) {
  pack::PackOptions options;
  options.out = outDir;
  options.name = name;
  options.src = src;
  options.from = from;
  options.fromName = fromName;
  options.jobs = 2;
  options.level = 1;
  pack::PackSummary summary;
  std::ostringstream err;
  ASSERT_TRUE(pack::Pack(options, summary, err)) << err.str();
}

namespace {

std::string writeJson(const rapidjson::Value& v) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  v.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

void editManifest(const std::string& path,
                  const std::function<void(rapidjson::Value& files, rapidjson::Document& manifest)>& edit) {
  rapidjson::Document manifest;
  manifest.Parse(testsupport::readFileOrEmpty(path).c_str());
  ASSERT_TRUE(manifest.IsObject()) << path;
  rapidjson::Document files(&manifest.GetAllocator());
  files.Parse(manifest["files"].GetString());
  ASSERT_TRUE(files.IsObject());
  edit(files, manifest);
  const std::string text = writeJson(files);
  manifest["files"].SetString(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), manifest.GetAllocator());
  testsupport::writeFile(path, writeJson(manifest));
}

void respellKeys(const std::string& sourceDir, const std::string& name,
                 const std::function<std::string(const std::string& relative)>& keyOf, bool keepOldNames) {
  const std::vector<std::string> objects = objectFiles(sourceDir);
  editManifest(sourceDir + "/" + name, [&](rapidjson::Value& files, rapidjson::Document& manifest) {
    for (auto m = files.MemberBegin(); m != files.MemberEnd(); ++m) {
      const std::string key = m->name.GetString();
      const std::string spelled = keyOf(obd::utils::Base64Decode(key));
      for (const std::string& object : objects) {
        if (!object.starts_with(key + ".")) continue;
        const std::string renamed = sourceDir + "/" + spelled + object.substr(key.size());
        fs::create_directories(fs::path(renamed).parent_path());
        if (keepOldNames) {
          std::error_code ec;  // already there: the same object, named by an earlier release
          fs::create_hard_link(sourceDir + "/" + object, renamed, ec);
        } else {
          fs::rename(sourceDir + "/" + object, renamed);
        }
      }
      m->name.SetString(spelled.c_str(), static_cast<rapidjson::SizeType>(spelled.size()), manifest.GetAllocator());
    }
  });
}

std::vector<std::string> objectFiles(const std::string& sourceDir, const std::string& suffix) {
  std::vector<std::string> out;
  for (std::string& relative : testsupport::filesEndingWith(sourceDir, suffix)) {
    if (relative.ends_with(".zqgz") || relative.ends_with(".zqdelta")) out.push_back(std::move(relative));
  }
  return out;
}

std::size_t objectRequests(const publisher::Publisher& pub, const std::string& urlDir, const std::string& sourceDir,
                           const std::string& suffix) {
  std::size_t total = 0;
  for (const std::string& relative : objectFiles(sourceDir, suffix)) total += pub.requestCount(urlDir + "/" + relative);
  return total;
}

std::string objectFileOf(const std::string& sourceDir, const std::string& relative, int index) {
  const std::string prefix = obd::utils::Base64Encode(relative) + "." + std::to_string(index) + ".";
  for (const std::string& file : objectFiles(sourceDir, ".zqgz")) {
    if (file.rfind(prefix, 0) == 0) return file;
  }
  ADD_FAILURE() << "no object " << index << " of " << relative;
  return {};
}

std::unique_ptr<WorkInfo> makeWork(std::uint32_t code, const std::string& sourceURL, const std::string& name,
                                   const std::string& target, const std::string& exe) {
  auto info = std::make_unique<WorkInfo>(code, "", sourceURL, name, target, exe, "");
  info->SetWorkInfo();
  info->progress_info_manager.SetProgress(true);
  info->progress_info_manager.SetLastErrorCode(0, 0, 0);
  return info;
}

Child spawnObd(const std::vector<std::string>& args, const std::string& outFile, const testsupport::Environment& env,
               const std::string& program) {
  std::vector<std::string> all{testsupport::binDir() + "/" + program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv = testsupport::execPointers(all);
  std::vector<std::string> vars = testsupport::childEnvironment(env);
  std::vector<char*> envp = testsupport::execPointers(vars);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Child child;
  child.out = outFile;
  if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return child;
}

int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool savedFinished(const std::string& target, const std::string& relative) {
  std::string header;
  std::string contents;
  OBDManifest::Contents local;
  if (!OBDManifestController::ReadLocalContents(kCode, target, header, contents) ||
      !OBDManifest::ParseContentsCore(contents, local)) {
    return false;
  }
  for (auto m = local.Files().MemberBegin(); m != local.Files().MemberEnd(); ++m) {
    if (obd::utils::GetDecodedRelativePath(std::string_view(m->name.GetString(), m->name.GetStringLength())) !=
        relative) {
      continue;
    }
    const rapidjson::Value* hash = OBDManifest::Member(m->value, OBDManifest::kHash);
    return hash != nullptr && hash->IsString() && hash->GetStringLength() != 0;
  }
  return false;
}

OBDWaits fastWaits() {
  OBDWaits waits;
  waits.download_retry = std::chrono::milliseconds(20);
  waits.file_retry = std::chrono::milliseconds(5);
  return waits;
}

std::string triple(const ProgressInfoManager& progress) {
  ProgressInfoManager::ErrorInfo info;
  progress.GetErrorInfo(&info);
  return std::to_string(info.errorCode) + "/" + std::to_string(info.mainErrorCode) + "/" +
         std::to_string(info.subErrorCode);
}

std::string zlibCompress(const std::string& data) {
  uLongf bound = compressBound(static_cast<uLong>(data.size()));
  std::string out(bound, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &bound, reinterpret_cast<const Bytef*>(data.data()),
            static_cast<uLong>(data.size()), 1);
  out.resize(bound);
  return out;
}

std::map<std::string, std::string> releaseOne() {
  return {
      {"Game.app/Contents/MacOS/Game", enginetest::repeatBytes(2 * kBlock + 12345, 1)},
      {"Game.app/Contents/Resources/data.pak", enginetest::repeatBytes(kBlock, 2)},
      {"Game.app/Contents/Info.plist", "<plist>one</plist>\n"},
      {"docs/readme.txt", "read me\n"},
      {"docs/old/notes.txt", "notes that the next release drops\n"},
      {"empty.dat", ""},
      {"odd name ~+?>.txt", "a key with + and / in its Base64\n"},
  };
}

std::map<std::string, std::string> releaseTwo() {
  auto files = releaseOne();
  std::string& game = files["Game.app/Contents/MacOS/Game"];
  game.replace(kBlock + 100, 16, "sixteen new byte");  // a change inside block 1
  game += "and a longer end";
  files["Game.app/Contents/Resources/data.pak"] = enginetest::repeatBytes(kBlock / 2, 7);
  files.erase("docs/old/notes.txt");
  files["docs/new.txt"] = "new in two\n";
  return files;
}

TmpfsMount::TmpfsMount(const std::string& folder, std::size_t bytes) : folder_(folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  const std::string options = "size=" + std::to_string(bytes);
  mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TmpfsMount::~TmpfsMount() {
  if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_ = true;
    old_ = old;
  }
  ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    ::setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

}  // namespace jobtest
