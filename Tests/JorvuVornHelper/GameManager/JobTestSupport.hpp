#pragma once
// Pieces of the job tests: source folders packed with the source packer,
// served by the local publisher, folder comparison, work parameters.
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/WorkInfo.hpp"
#include "JorvuVornHelper/GameManager/OBD/Core/OBDWorker.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace jobtest {

constexpr std::size_t kBlock = 4194304;

// Writes each relative path's bytes below root (folders made).
void writeTree(const std::string& root, const std::map<std::string, std::string>& files);
// Publishes `src` as <pubRoot>/<dir> under the manifest `name` (with deltas
// from `from` when given). Fails the test on an error.
void pack(const std::string& outDir, const std::string& name, const std::string& src, const std::string& from = "",
          const std::string& fromName = "");
// The differences between two folders (paths, kinds, bytes), ignoring the
// local manifest file; empty when equal.
std::string diffTrees(const std::string& expected, const std::string& actual);
// The object files of a published source, as paths relative to it.
std::vector<std::string> objectFiles(const std::string& sourceDir, const std::string& suffix = "");
// Requests the publisher saw for the objects of a source served at urlDir.
std::size_t objectRequests(const publisher::Publisher& pub, const std::string& urlDir, const std::string& sourceDir,
                           const std::string& suffix = "");
// The object file of one file's object (key of `relative`, index).
std::string objectFileOf(const std::string& sourceDir, const std::string& relative, int index);

// Work parameters as the game worker makes them, with the job started.
std::unique_ptr<WorkInfo> makeWork(std::uint32_t code, const std::string& sourceURL, const std::string& name,
                                   const std::string& target, const std::string& exe);
OBDWaits fastWaits();
// "-60/917/0"
std::string triple(const ProgressInfoManager& progress);
std::string zlibCompress(const std::string& data);

// A tmpfs of `bytes` mounted on a new folder; not mounted when the system
// refuses (the test then skips).
class TmpfsMount {
 public:
  TmpfsMount(const std::string& folder, std::size_t bytes);
  ~TmpfsMount();
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// Sets an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

}  // namespace jobtest
