#pragma once
// Walks the live manifest's files in order and tells, for each, whether it
// must be fetched and which objects are wanted: the live file's full
// objects, the diffs' delta objects, or none when the local manifest already
// has the file.
//
// Calling order per file: GetUpdatedFile; when it gives true with a
// non-empty key, GetUpdatedObject until it gives false; then SetNext().
// GetUpdatedFile giving false ends the walk: a failure when its error flag
// is set, otherwise the files are exhausted.
#include <rapidjson/document.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"

class OBDManifestDiffIterator {
 public:
  OBDManifestDiffIterator(const OBDManifest& live, const OBDManifest& local);

  void Reset();
  void SetNext();
  bool GetUpdatedFile(const std::string& targetPath, std::string& key, std::int64_t& objectCount, std::string& source,
                      std::string& fullPath, bool& error);
  // Leaves hash and index as the caller set them (an empty hash and -1) for
  // an object that the local manifest already records.
  bool GetUpdatedObject(std::string& hash, std::int64_t& index);
  // The same walk, handing out every object with its hash and index;
  // `recorded` tells those that the local manifest already records.
  bool GetUpdatedObject(std::string& hash, std::int64_t& index, bool& recorded);
  std::vector<std::string> GetNotExistFilesInLocal() const;

 private:
  bool Fail(const char* message, bool& error);
  void TakeLocalSnapshot();

  const OBDManifest& live_;
  const OBDManifest& local_;
  rapidjson::SizeType current_ = 0;
  const rapidjson::Value* currentObjects_ = nullptr;
  std::int64_t counter_ = 0;
  std::string source_;
  // The local entry of the current file, when it exists and differs: its
  // key, and its recorded objects, read at the first GetUpdatedObject (after
  // the caller has (re)initialised the entry, before any object of the file
  // is handed out, so no other thread edits it while it is read).
  std::optional<std::string> localKey_;
  bool localSnapshotTaken_ = false;
  std::unordered_map<std::string, std::string> localObjects_;
};
