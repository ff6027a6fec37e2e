#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifestDiffIterator.hpp"

#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDLogging.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"

using rapidjson::Value;

OBDManifestDiffIterator::OBDManifestDiffIterator(const OBDManifest& live, const OBDManifest& local)
    : live_(live), local_(local) {
  Reset();
}

void OBDManifestDiffIterator::Reset() {
  current_ = 0;
  currentObjects_ = nullptr;
  counter_ = 0;
  source_.clear();
  localKey_.reset();
  localSnapshotTaken_ = false;
  localObjects_.clear();
}

void OBDManifestDiffIterator::SetNext() {
  const rapidjson::SizeType next = current_ + 1;
  Reset();
  current_ = next;
}

bool OBDManifestDiffIterator::Fail(const char* message, bool& error) {
  OBD_LOG_ERROR("%s", message);
  error = true;
  return false;
}

bool OBDManifestDiffIterator::GetUpdatedFile(const std::string& targetPath, std::string& key,
                                             std::int64_t& objectCount, std::string& source, std::string& fullPath,
                                             bool& error) {
  const Value& liveFiles = live_.GetContents().Files();
  if (!liveFiles.IsObject() || current_ >= liveFiles.MemberCount()) {
    Reset();
    return false;
  }
  const auto member = liveFiles.MemberBegin() + current_;
  const Value& liveEntry = member->value;

  const Value* liveObjects = OBDManifest::Member(liveEntry, OBDManifest::kObjects);
  if (liveObjects == nullptr) return Fail("live iterator hasn't objects, File Update Failed", error);
  if (!liveObjects->IsObject()) return Fail("live object is not objects, File Update Failed", error);
  if (!member->name.IsString()) return Fail("live name is not string, File Update Failed", error);
  // Every object from "0" up must be there: a gap would leave the file
  // waiting for an object that is never handed out.
  if (!OBDManifest::IsConsecutiveObjects(*liveObjects)) {
    return Fail("live objects are not consecutive, File Update Failed", error);
  }
  currentObjects_ = liveObjects;
  const std::string name(member->name.GetString(), member->name.GetStringLength());

  const Value* localEntry = local_.GetContents().FindFile(name);
  if (localEntry != nullptr) {
    const Value* liveHash = OBDManifest::Member(liveEntry, OBDManifest::kHash);
    if (liveHash == nullptr) return Fail("live object hasn't hash, File Update Failed", error);
    if (!liveHash->IsString()) return Fail("live hash is not string, File Update Failed", error);
    const Value* localHash = OBDManifest::Member(*localEntry, OBDManifest::kHash);
    if (localHash == nullptr) return Fail("local object hasn't hash, File Update Failed", error);
    if (!localHash->IsString()) return Fail("local hash is not string, File Update Failed", error);
    const Value* liveSize = OBDManifest::Member(liveEntry, OBDManifest::kUncompressedSize);
    if (liveSize == nullptr) return Fail("live iterator hasn't kUncompressedSize, File Update Failed", error);
    if (!liveSize->IsUint64()) return Fail("Live Not Uncompressed Size Uint64, File Update Failed", error);
    const Value* localSize = OBDManifest::Member(*localEntry, OBDManifest::kUncompressedSize);
    if (localSize == nullptr) return Fail("local hasn't kUncompressedSize, File Update Failed", error);
    if (!localSize->IsUint64()) return Fail("Local Not Uncompressed Size Uint64, File Update Failed", error);

    if (localHash->GetStringLength() != 0 && *localHash == *liveHash && localSize->GetUint64() == liveSize->GetUint64()) {
      key.clear();  // unchanged: the caller skips it
      return true;
    }
    localKey_ = name;
  }

  bool originBroken = false;
  if (localEntry != nullptr) {
    const Value* broken = OBDManifest::Member(*localEntry, OBDManifest::kOriginFileBroken);
    originBroken = broken != nullptr && broken->IsBool() && broken->GetBool();
  }

  // The key names a path in the game's folder; one that would leave it
  // (absolute, empty, "." or ".." segments) is refused.
  const std::string path = obd::utils::GetDecodedTargetFullPath(targetPath, name);
  if (path.empty()) return Fail("live name is not string, File Update Failed", error);

  source_.clear();
  const Value& diffFiles = live_.GetDiffs().Files();
  if (Util::IsFileExists(path) && !originBroken && diffFiles.IsObject() && diffFiles.MemberCount() > 0) {
    if (!member->name.IsString()) return Fail("live name is not String, File Update Failed", error);
    if (const Value* diffEntry = live_.GetDiffs().FindFile(name)) {
      const Value* diffObjects = OBDManifest::Member(*diffEntry, OBDManifest::kObjects);
      if (diffObjects == nullptr) return Fail("diff hasn't objects, File Update Failed", error);
      if (!diffObjects->IsObject()) return Fail("diff file objects not object, File Update Failed", error);
      const Value* diffHash = OBDManifest::Member(*diffEntry, OBDManifest::kHash);
      if (diffHash == nullptr) return Fail("diff hasn't hash, File Update Failed", error);
      if (!diffHash->IsString()) return Fail("diff file hash is not string, File Update Failed", error);
      // A diff without a source, or with a gap in its objects, cannot be
      // applied: the file is fetched as full objects instead, never as a
      // command stream written in place of the file.
      if (diffHash->GetStringLength() != 0 && OBDManifest::IsConsecutiveObjects(*diffObjects)) {
        currentObjects_ = diffObjects;
        source_.assign(diffHash->GetString(), diffHash->GetStringLength());
      }
    }
  }

  key = name;
  objectCount = static_cast<std::int64_t>(currentObjects_->MemberCount());
  source = source_;
  fullPath = path;
  return true;
}

void OBDManifestDiffIterator::TakeLocalSnapshot() {
  localSnapshotTaken_ = true;
  if (!localKey_) return;
  const Value* entry = local_.GetContents().FindFile(*localKey_);
  if (entry == nullptr) return;
  const Value* objects = OBDManifest::Member(*entry, OBDManifest::kObjects);
  if (objects == nullptr || !objects->IsObject()) return;
  for (auto m = objects->MemberBegin(); m != objects->MemberEnd(); ++m) {
    if (!m->name.IsString() || !m->value.IsString()) continue;
    localObjects_.emplace(std::string(m->name.GetString(), m->name.GetStringLength()),
                          std::string(m->value.GetString(), m->value.GetStringLength()));
  }
}

bool OBDManifestDiffIterator::GetUpdatedObject(std::string& hash, std::int64_t& index) {
  std::string text;
  std::int64_t at = -1;
  bool recorded = false;
  if (!GetUpdatedObject(text, at, recorded)) return false;
  if (!recorded) {  // already in place: hash and index stay as they are
    hash = std::move(text);
    index = at;
  }
  return true;
}

bool OBDManifestDiffIterator::GetUpdatedObject(std::string& hash, std::int64_t& index, bool& recorded) {
  if (currentObjects_ == nullptr || counter_ < 0) return false;
  const Value* object = OBDManifest::FindObject(*currentObjects_, static_cast<std::uint64_t>(counter_));
  if (object == nullptr || !object->IsString()) return false;
  if (!localSnapshotTaken_) TakeLocalSnapshot();

  hash.assign(object->GetString(), object->GetStringLength());
  index = counter_;
  recorded = false;
  if (localKey_) {
    auto it = localObjects_.find(std::to_string(counter_));
    recorded = it != localObjects_.end() && it->second == hash;
  }
  ++counter_;
  return true;
}

std::vector<std::string> OBDManifestDiffIterator::GetNotExistFilesInLocal() const {
  std::vector<std::string> keys;
  const Value& localFiles = local_.GetContents().Files();
  if (!localFiles.IsObject()) return keys;
  for (auto m = localFiles.MemberBegin(); m != localFiles.MemberEnd(); ++m) {
    std::string key(m->name.GetString(), m->name.GetStringLength());
    if (!live_.HasFile(key)) keys.push_back(std::move(key));
  }
  return keys;
}
