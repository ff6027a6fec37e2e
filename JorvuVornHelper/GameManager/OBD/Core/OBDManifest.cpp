#include "JorvuVornHelper/GameManager/OBD/Core/OBDManifest.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <utility>

#include "Common/Json/JsonReading.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/Util.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDSize.hpp"
#include "Platform/Digest.hpp"

using rapidjson::SizeType;
using rapidjson::Value;

namespace {

// Manifests are a few levels deep; anything deeper is refused before it can
// reach a recursive copy or writer.
constexpr int kMaxDepth = 32;

// Parses one whole text without recursion; false for a text that does not
// parse or nests too deeply.
bool ParseText(std::string_view text, rapidjson::Document& doc) {
  doc.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  return !doc.HasParseError() && jsoncoding::withinDepth(doc, kMaxDepth);
}

std::string Key(const Value& name) { return std::string(name.GetString(), name.GetStringLength()); }

// An object built member by member has room for 16 members from its first;
// a copy has room for exactly its own. Entries, and the first object of a
// file, are made as copies, so that a manifest of many small files does not
// hold mostly empty room.
Value MakeEmptyEntry(rapidjson::Document::AllocatorType& a) {
  static const rapidjson::Document model = [] {
    rapidjson::Document d(rapidjson::kObjectType);
    auto& da = d.GetAllocator();
    d.AddMember(Value(OBDManifest::kObjects, da), Value(rapidjson::kObjectType), da);
    d.AddMember(Value(OBDManifest::kHash, da), Value("", da), da);
    d.AddMember(Value(OBDManifest::kUncompressedSize, da), Value(std::uint64_t{0}), da);
    d.AddMember(Value(OBDManifest::kOriginFileBroken, da), Value(false), da);
    return d;
  }();
  return Value(model, a);
}

// An "objects" value holding one object.
Value MakeObjects(std::string_view name, const std::string& hash, rapidjson::Document::AllocatorType& a) {
  char room[1024];  // the one-member object is built here, then copied
  rapidjson::MemoryPoolAllocator<> scratch(room, sizeof room);
  Value one(rapidjson::kObjectType);
  one.AddMember(Value(name.data(), static_cast<SizeType>(name.size()), scratch),
                Value(hash.data(), static_cast<SizeType>(hash.size()), scratch), scratch);
  return Value(one, a);
}

Value* MutableMember(Value& object, const char* name) {
  // The value is not const, so neither is its member.
  return const_cast<Value*>(OBDManifest::Member(object, name));
}

// Sets a member, adding it when missing.
void SetMember(Value& object, const char* name, Value value, rapidjson::Document::AllocatorType& a) {
  if (Value* m = MutableMember(object, name)) {
    *m = value;
  } else {
    object.AddMember(Value(name, a), value, a);
  }
}

// A size member: missing or not a number counts as 0; a number that is no
// unsigned 64-bit integer (negative, fractional, 2^64 or more) cannot be a
// size and saturates, so that it fails every check instead of passing as 0.
std::uint64_t SizeValue(const Value* size) {
  if (size == nullptr || !size->IsNumber()) return 0;
  return size->IsUint64() ? size->GetUint64() : obd::size::kMax;
}

std::uint64_t EntrySize(const Value& entry) {
  return SizeValue(OBDManifest::Member(entry, OBDManifest::kUncompressedSize));
}

// A writer's output, handed to a sink in pieces of at most 64 KiB, so that
// a large text is never held whole. After the sink refuses a piece, the
// rest is dropped.
class SinkStream {
 public:
  using Ch = char;
  explicit SinkStream(const OBDManifest::TextSink& sink) : sink_(sink) { buffer_.reserve(kPiece); }
  void Put(char c) {
    buffer_.push_back(c);
    if (buffer_.size() == kPiece) Flush();
  }
  void Write(std::string_view text) {
    for (const char c : text) Put(c);
  }
  void Flush() {
    if (ok_ && !buffer_.empty()) ok_ = sink_(std::string_view(buffer_.data(), buffer_.size()));
    buffer_.clear();
  }
  bool ok() const { return ok_; }

 private:
  static constexpr std::size_t kPiece = 65536;
  const OBDManifest::TextSink& sink_;
  std::string buffer_;
  bool ok_ = true;
};

// Puts what it is given as the inside of a JSON string, escaped as the
// writer escapes a string value: a text written through it and then read
// back as a string is the text itself.
template <typename Inner>
class EscapingStream {
 public:
  using Ch = char;
  explicit EscapingStream(Inner& inner) : inner_(inner) {}
  void Put(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      inner_.Put('\\');
      inner_.Put(c);
    } else if (byte < 0x20) {
      static constexpr char kShort[] = "uuuuuuuubtnufruuuuuuuuuuuuuuuuuu";  // by byte, 0x00 to 0x1F
      static_assert(sizeof kShort == 0x20 + 1);
      static constexpr char kHex[] = "0123456789ABCDEF";
      inner_.Put('\\');
      inner_.Put(kShort[byte]);
      if (kShort[byte] == 'u') {
        inner_.Put('0');
        inner_.Put('0');
        inner_.Put(kHex[byte >> 4]);
        inner_.Put(kHex[byte & 0xF]);
      }
    } else {
      inner_.Put(c);
    }
  }
  void Flush() {}

 private:
  Inner& inner_;
};

}  // namespace

// ---- Contents ----

OBDManifest::Contents::Contents() { files_.SetObject(); }

OBDManifest::Contents::Contents(const Contents& other)
    : total_uncompressed_size(other.total_uncompressed_size), version(other.version) {
  files_.CopyFrom(other.files_, files_.GetAllocator());
  index_ = other.index_;
}

OBDManifest::Contents& OBDManifest::Contents::operator=(const Contents& other) {
  if (this == &other) return *this;
  total_uncompressed_size = other.total_uncompressed_size;
  version = other.version;
  rapidjson::Document fresh;
  fresh.CopyFrom(other.files_, fresh.GetAllocator());
  files_.Swap(fresh);
  index_ = other.index_;
  return *this;
}

Value* OBDManifest::Contents::FindFile(std::string_view key) {
  auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  return &(files_.MemberBegin() + it->second)->value;
}

const Value* OBDManifest::Contents::FindFile(std::string_view key) const {
  auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  return &(files_.MemberBegin() + it->second)->value;
}

Value& OBDManifest::Contents::SetFile(std::string_view key, Value& entry) {
  if (Value* existing = FindFile(key)) {
    *existing = entry;
    return *existing;
  }
  auto& a = files_.GetAllocator();
  files_.AddMember(Value(key.data(), static_cast<SizeType>(key.size()), a), entry, a);
  index_[std::string(key)] = files_.MemberCount() - 1;
  return (files_.MemberEnd() - 1)->value;
}

bool OBDManifest::Contents::RemoveFile(std::string_view key) {
  auto it = index_.find(key);
  if (it == index_.end()) return false;
  const SizeType position = it->second;
  index_.erase(it);
  const SizeType last = files_.MemberCount() - 1;
  if (position != last) index_[Key((files_.MemberBegin() + last)->name)] = position;
  // Moves the last member into the freed place: no shifting of the rest.
  files_.RemoveMember(files_.MemberBegin() + position);
  return true;
}

bool OBDManifest::Contents::SetFiles(const Value& object) {
  Clear();
  if (!object.IsObject()) return false;
  files_.CopyFrom(object, files_.GetAllocator());
  RebuildIndex();
  if (index_.size() != files_.MemberCount()) {  // a key named twice
    Clear();
    return false;
  }
  return true;
}

void OBDManifest::Contents::Clear() {
  rapidjson::Document fresh;
  fresh.SetObject();
  files_.Swap(fresh);
  index_.clear();
}

void OBDManifest::Contents::RebuildIndex() {
  index_.clear();
  index_.reserve(files_.MemberCount());
  SizeType i = 0;
  const Value& files = files_;
  for (auto m = files.MemberBegin(); m != files.MemberEnd(); ++m, ++i) index_.emplace(Key(m->name), i);
}

// ---- Static helpers ----

const Value* OBDManifest::Member(const Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(name);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

const Value* OBDManifest::FindObject(const Value& objects, std::uint64_t index) {
  if (!objects.IsObject()) return nullptr;
  const std::string name = std::to_string(index);
  // Objects are normally listed in index order: try the index's own place first.
  if (index < objects.MemberCount()) {
    const auto m = objects.MemberBegin() + static_cast<SizeType>(index);
    if (m->name.GetStringLength() == name.size() && name.compare(0, name.size(), m->name.GetString(), name.size()) == 0) {
      return &m->value;
    }
  }
  auto it = objects.FindMember(Value(rapidjson::StringRef(name.data(), static_cast<SizeType>(name.size()))));
  return it == objects.MemberEnd() ? nullptr : &it->value;
}

std::string OBDManifest::ComputeFileHash(const Value& objects) {
  platform::Sha1 sha;
  for (std::uint64_t i = 0;; ++i) {
    const Value* object = FindObject(objects, i);
    if (object == nullptr || !object->IsString()) break;
    sha.update(object->GetString(), object->GetStringLength());
  }
  const auto digest = sha.finish();
  return platform::toHex(digest.data(), digest.size());
}

bool OBDManifest::IsHashText(const Value& value) {
  if (!value.IsString() || value.GetStringLength() != 40) return false;
  const char* s = value.GetString();
  for (SizeType i = 0; i < 40; ++i) {
    const char c = s[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool OBDManifest::IsConsecutiveObjects(const Value& objects) {
  if (!objects.IsObject()) return false;
  const SizeType count = objects.MemberCount();
  for (SizeType i = 0; i < count; ++i) {
    const Value* object = FindObject(objects, i);
    if (object == nullptr || !IsHashText(*object)) return false;
  }
  return true;
}

std::string OBDManifest::GetHash(const void* data, std::size_t size) { return platform::Sha1::hexDigest(data, size); }

// ---- Header and contents ----

bool OBDManifest::NeedToPatch(const OBDManifest& other) const {
  return header_.name != other.header_.name || !header_.origin.empty();
}

void OBDManifest::SetOrigin() { header_.origin = header_.name.empty() ? kUnknownOrigin : header_.name; }

std::string OBDManifest::GetHeaderRaw() const {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("name");
  writer.String(header_.name.data(), static_cast<SizeType>(header_.name.size()));
  if (!header_.origin.empty()) {
    writer.Key("origin");
    writer.String(header_.origin.data(), static_cast<SizeType>(header_.origin.size()));
  }
  if (!header_.resume_installing_path.empty()) {
    writer.Key("resume_installing_path");
    writer.String(header_.resume_installing_path.data(), static_cast<SizeType>(header_.resume_installing_path.size()));
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string OBDManifest::GetContentRaw() const {
  std::string text;
  WriteContent([&text](std::string_view piece) {
    text.append(piece);
    return true;
  });
  return text;
}

bool OBDManifest::WriteContent(const TextSink& sink) const {
  // {"files":"<the files object as compact JSON, escaped>","version":...}:
  // the files text is escaped on its way out instead of being built first.
  SinkStream out(sink);
  out.Write(R"({"files":")");
  EscapingStream<SinkStream> escaped(out);
  rapidjson::Writer<EscapingStream<SinkStream>> files(escaped);
  contents_.Files().Accept(files);
  out.Write(R"(","version":)");
  rapidjson::Writer<SinkStream> version(out);
  version.String(contents_.version.data(), static_cast<SizeType>(contents_.version.size()));
  out.Write(R"(,"total_uncompressed_size":)");
  out.Write(std::to_string(contents_.total_uncompressed_size));
  out.Put('}');
  out.Flush();
  return out.ok();
}

bool OBDManifest::ParseHeader() {
  // Values of an earlier header never survive a new reading.
  header_ = Header{};
  if (headerRaw_.empty()) return false;
  rapidjson::Document doc;
  if (!ParseText(headerRaw_, doc) || !doc.IsObject()) return false;
  auto take = [&](const char* name, std::string& out) {
    const Value* v = Member(doc, name);
    if (v != nullptr && v->IsString()) out.assign(v->GetString(), v->GetStringLength());
  };
  take("name", header_.name);
  take("origin", header_.origin);
  take("resume_installing_path", header_.resume_installing_path);
  return !header_.name.empty();
}

bool OBDManifest::ParseContents() {
  if (contentsRaw_.empty()) return false;
  return ParseContentsCore(contentsRaw_, contents_);
}

bool OBDManifest::ParseContentsCore(std::string_view text, Contents& contents) {
  rapidjson::Document doc;
  if (!ParseText(text, doc) || !doc.IsObject()) return false;

  // A readable text replaces the whole record: nothing of an earlier one stays.
  contents.total_uncompressed_size = 0;
  contents.version = Contents::kDefaultVersion;
  contents.Clear();

  contents.total_uncompressed_size = SizeValue(Member(doc, "total_uncompressed_size"));
  if (const Value* version = Member(doc, "version"); version != nullptr && version->IsString()) {
    contents.version.assign(version->GetString(), version->GetStringLength());
  }
  if (const Value* files = Member(doc, "files"); files != nullptr) {
    if (files->IsObject()) {
      contents.SetFiles(*files);
    } else if (files->IsString()) {
      rapidjson::Document inner;
      if (ParseText(std::string_view(files->GetString(), files->GetStringLength()), inner) && inner.IsObject()) {
        contents.SetFiles(inner);
      }
    }
  }
  return !contents.version.empty() && contents.FileCount() > 0;
}

namespace {

std::string JoinURL(const std::string& base, const std::string& name) {
  if (!base.empty() && base.back() == '/') return base + name;
  return base + "/" + name;
}

std::string_view BodyText(const std::vector<std::uint8_t>& body) {
  return std::string_view(reinterpret_cast<const char*>(body.data()), body.size());
}

}  // namespace

bool OBDManifest::LoadContents(const std::string& sourceURL, const std::function<bool()>& abort) {
  const std::string url = JoinURL(sourceURL, header_.name);
  bool ok = false;
  const std::vector<std::uint8_t> body = Util::DownloadData(url, ok, kMaxDocumentSize, abort);
  if (!ok || body.empty()) {
    lastErrorLog_ = "target : " + url + " Download Failed.";
    return false;
  }
  // Read from the body as it came: the text itself is not kept.
  contentsRaw_.clear();
  return ParseContentsCore(BodyText(body), contents_);
}

bool OBDManifest::LoadDiffs(const std::string& sourceURL, const OBDManifest& local,
                            const std::function<bool()>& abort) {
  const std::string& origin = local.header_.origin;
  if (origin.empty() || origin == kUnknownOrigin) return false;
  const std::string url = JoinURL(sourceURL, header_.name + "-" + origin);
  bool ok = false;
  const std::vector<std::uint8_t> body = Util::DownloadData(url, ok, kMaxDocumentSize, abort);
  if (!ok || body.empty()) return false;
  return ParseDiffs(BodyText(body));
}

void OBDManifest::Clear() {
  header_ = Header{};
  contents_.total_uncompressed_size = 0;
  contents_.version = Contents::kDefaultVersion;
  contents_.Clear();
  headerRaw_.clear();
  contentsRaw_.clear();
  ClearDiffs();
  ignoreResume_ = false;
}

void OBDManifest::ClearDiffs() {
  diffs_.total_uncompressed_size = 0;
  diffs_.version = Contents::kDefaultVersion;
  diffs_.Clear();
}

// ---- Reading entries ----

std::uint64_t OBDManifest::GetUncompressedFileSize(std::string_view key) const {
  const Value* entry = contents_.FindFile(key);
  return entry == nullptr ? 0 : EntrySize(*entry);
}

std::uint64_t OBDManifest::GetObjectsCount(std::string_view key) const {
  const Value* entry = contents_.FindFile(key);
  if (entry == nullptr) return 0;
  const Value* objects = Member(*entry, kObjects);
  return objects != nullptr && objects->IsObject() ? objects->MemberCount() : 0;
}

std::uint64_t OBDManifest::GetUnfinishedObjectsCount(std::string_view key) const {
  const Value* entry = contents_.FindFile(key);
  if (entry == nullptr) return 0;
  const Value* hash = Member(*entry, kHash);
  if (hash == nullptr || !hash->IsString() || hash->GetStringLength() != 0) return 0;
  return GetObjectsCount(key);
}

bool OBDManifest::IsFileFinished(std::string_view key) const {
  const Value* entry = contents_.FindFile(key);
  if (entry == nullptr) return false;
  const Value* hash = Member(*entry, kHash);
  return hash != nullptr && hash->IsString() && hash->GetStringLength() != 0;
}

std::string OBDManifest::GetObjectHash(std::string_view key, std::int64_t index) const {
  const Value* entry = contents_.FindFile(key);
  if (entry == nullptr || index < 0) return {};
  const Value* objects = Member(*entry, kObjects);
  if (objects == nullptr) return {};
  const Value* object = FindObject(*objects, static_cast<std::uint64_t>(index));
  if (object == nullptr || !object->IsString()) return {};
  return std::string(object->GetString(), object->GetStringLength());
}

// ---- Editing entries ----
// The contents' total follows every change of an entry's size, so it stays
// the sum of what the entries record.

void OBDManifest::AdjustTotal(std::uint64_t oldSize, std::uint64_t newSize) {
  std::uint64_t& total = contents_.total_uncompressed_size;
  if (newSize >= oldSize) {
    total = obd::size::Add(total, newSize - oldSize);
  } else {
    const std::uint64_t less = oldSize - newSize;
    total = total > less ? total - less : 0;
  }
}

bool OBDManifest::InsertEmptyFile(std::string_view key) {
  Value* existing = MutableEntry(key);
  const std::uint64_t oldSize = existing != nullptr ? EntrySize(*existing) : 0;
  Value entry = MakeEmptyEntry(contents_.Allocator());
  contents_.SetFile(key, entry);
  AdjustTotal(oldSize, 0);
  return true;
}

bool OBDManifest::FileInitialize(std::string_view key, bool tempFileExists) {
  Value* entry = MutableEntry(key);
  if (entry == nullptr || !entry->IsObject()) {
    InsertEmptyFile(key);
    return true;
  }
  const Value* hash = Member(*entry, kHash);
  const bool unfinished = hash != nullptr && hash->IsString() && hash->GetStringLength() == 0;
  if (!ignoreResume_ && unfinished && tempFileExists) return false;  // resumed as it is

  auto& a = contents_.Allocator();
  const std::uint64_t oldSize = EntrySize(*entry);
  SetMember(*entry, kObjects, Value(rapidjson::kObjectType), a);
  SetMember(*entry, kHash, Value("", a), a);
  SetMember(*entry, kUncompressedSize, Value(std::uint64_t{0}), a);
  const Value* broken = Member(*entry, kOriginFileBroken);
  if (broken == nullptr) {
    entry->AddMember(Value(kOriginFileBroken, a), Value(false), a);
  } else if (!broken->IsBool()) {
    SetMember(*entry, kOriginFileBroken, Value(false), a);
  }
  AdjustTotal(oldSize, 0);
  return true;
}

bool OBDManifest::AddObject(std::string_view key, std::int64_t index, const std::string& hash, std::uint64_t size) {
  Value* entry = MutableEntry(key);
  if (entry == nullptr || index < 0) return false;
  Value* objects = MutableMember(*entry, kObjects);
  Value* entrySize = MutableMember(*entry, kUncompressedSize);
  if (objects == nullptr || !objects->IsObject() || entrySize == nullptr || !entrySize->IsUint64()) return false;

  auto& a = contents_.Allocator();
  const std::string name = std::to_string(index);
  if (Value* existing = const_cast<Value*>(FindObject(*objects, static_cast<std::uint64_t>(index)))) {
    // Recorded before: the hash is brought up to date, its bytes are
    // already counted.
    existing->SetString(hash.data(), static_cast<SizeType>(hash.size()), a);
    return true;
  }
  if (objects->MemberCount() == 0) {
    *objects = MakeObjects(name, hash, a);
  } else {
    objects->AddMember(Value(name.data(), static_cast<SizeType>(name.size()), a),
                       Value(hash.data(), static_cast<SizeType>(hash.size()), a), a);
  }
  entrySize->SetUint64(obd::size::Add(entrySize->GetUint64(), size));
  contents_.total_uncompressed_size = obd::size::Add(contents_.total_uncompressed_size, size);
  return true;
}

bool OBDManifest::FileFinalize(std::string_view key) {
  Value* entry = MutableEntry(key);
  if (entry == nullptr) return false;
  const Value* objects = Member(*entry, kObjects);
  if (objects == nullptr || !objects->IsObject()) return false;
  if (Value* broken = MutableMember(*entry, kOriginFileBroken)) broken->SetBool(false);
  Value* hash = MutableMember(*entry, kHash);
  if (hash == nullptr) return false;
  const std::string fileHash = ComputeFileHash(*objects);
  hash->SetString(fileHash.data(), static_cast<SizeType>(fileHash.size()), contents_.Allocator());
  return true;
}

bool OBDManifest::CopyFileContent(std::string_view key, const OBDManifest& other) {
  Value* entry = MutableEntry(key);
  const Value* source = other.contents_.FindFile(key);
  if (entry == nullptr || source == nullptr) return false;
  const std::uint64_t oldSize = EntrySize(*entry);
  Value copy(*source, contents_.Allocator());
  contents_.SetFile(key, copy);
  AdjustTotal(oldSize, EntrySize(*source));
  return true;
}

void OBDManifest::MarkOriginFileBroken(std::string_view key) {
  Value* entry = MutableEntry(key);
  if (entry == nullptr) return;
  const std::uint64_t oldSize = EntrySize(*entry);
  auto& a = contents_.Allocator();
  if (!entry->IsObject()) entry->SetObject();
  SetMember(*entry, kObjects, Value(rapidjson::kObjectType), a);
  SetMember(*entry, kHash, Value("", a), a);
  SetMember(*entry, kUncompressedSize, Value(std::uint64_t{0}), a);
  SetMember(*entry, kOriginFileBroken, Value(true), a);
  AdjustTotal(oldSize, 0);
}

void OBDManifest::RemoveFile(std::string_view key) {
  const Value* entry = contents_.FindFile(key);
  if (entry == nullptr) return;
  const std::uint64_t oldSize = EntrySize(*entry);
  contents_.RemoveFile(key);
  AdjustTotal(oldSize, 0);
}

void OBDManifest::MoveFileRecord(std::string_view from, std::string_view to) {
  const Value* entry = contents_.FindFile(from);
  if (entry == nullptr || from == to) return;
  const Value* other = contents_.FindFile(to);
  if (other == nullptr) {
    Value moved(*entry, contents_.Allocator());  // a copy: adding a member may move the others
    contents_.SetFile(to, moved);
    contents_.RemoveFile(from);  // the total stays: the same record under another key
    return;
  }
  auto finishedHash = [](const Value& record) -> const Value* {
    const Value* hash = Member(record, kHash);
    return hash != nullptr && hash->IsString() && hash->GetStringLength() != 0 ? hash : nullptr;
  };
  const Value* hash = finishedHash(*entry);
  const Value* otherHash = finishedHash(*other);
  const bool same = hash != nullptr && otherHash != nullptr && *hash == *otherHash && EntrySize(*entry) == EntrySize(*other);
  RemoveFile(from);
  if (!same) RemoveFile(to);
}
