#pragma once
// One release of a game's files: a header, the files with their 4 MiB
// objects, and optionally the delta description of the files (the diffs).
//
// Everything here may come from the network or from a file in the user's
// folder: every member is found and its kind checked before it is read, and
// a malformed text is a false result, never a stop of the program.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class OBDManifest {
 public:
  static constexpr std::uint64_t kObjectSize = 4194304;
  static constexpr const char* kObjects = "objects";
  static constexpr const char* kHash = "hash";
  static constexpr const char* kUncompressedSize = "uncompressed_size";
  static constexpr const char* kOriginFileBroken = "origin_file_broken";
  static constexpr const char* kUnknownOrigin = "unknown";
  // The largest manifest or diff document fetched. An entry takes about 150
  // bytes plus about 50 per 4 MiB object (the hash with its number), so
  // 256 MiB holds well over a million files, or a release of several
  // terabytes in large files: more than any game ships, while a hostile
  // source can no longer make the helper hold a gigabyte per fetch. It stays
  // far below the bound on a local manifest file, so the local copy of any
  // live manifest remains readable.
  static constexpr std::size_t kMaxDocumentSize = std::size_t{256} << 20;

  struct Header {
    std::string name;
    std::string origin;
    std::string resume_installing_path;
  };

  // The files object with an index from key to member position, so that a
  // lookup does not walk every member.
  class Contents {
   public:
    static constexpr const char* kDefaultVersion = "1.0";

    Contents();
    Contents(const Contents& other);
    Contents& operator=(const Contents& other);

    std::uint64_t total_uncompressed_size = 0;
    std::string version = kDefaultVersion;

    const rapidjson::Value& Files() const { return files_; }
    rapidjson::Document::AllocatorType& Allocator() { return files_.GetAllocator(); }
    rapidjson::SizeType FileCount() const { return files_.MemberCount(); }

    rapidjson::Value* FindFile(std::string_view key);
    const rapidjson::Value* FindFile(std::string_view key) const;
    // Adds the entry, or replaces the value of an entry with that key.
    rapidjson::Value& SetFile(std::string_view key, rapidjson::Value& entry);
    bool RemoveFile(std::string_view key);
    // The files become a deep copy of `object`; false (and no files) when it
    // is not an object or names a file twice.
    bool SetFiles(const rapidjson::Value& object);
    void Clear();

   private:
    void RebuildIndex();
    rapidjson::Document files_;
    // Looked up by any text, without a copy of the key for each lookup.
    struct KeyHash {
      using is_transparent = void;
      std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };
    std::unordered_map<std::string, rapidjson::SizeType, KeyHash, std::equal_to<>> index_;
  };

  virtual ~OBDManifest() = default;

  void SetName(const std::string& name) { header_.name = name; }
  void SetName(const OBDManifest& other) { header_.name = other.header_.name; }
  const std::string& GetName() const { return header_.name; }
  void SetInstallingPath(const std::string& path) { header_.resume_installing_path = path; }
  const std::string& GetInstallingPath() const { return header_.resume_installing_path; }
  void SetIgnoreResume() { ignoreResume_ = true; }
  bool IsIgnoreResume() const { return ignoreResume_; }
  bool IsAvailable() const { return !header_.name.empty(); }
  bool NeedToResume() const { return !header_.resume_installing_path.empty(); }
  bool NeedToPatch(const OBDManifest& other) const;
  bool IsDifferentName(const OBDManifest& other) const { return header_.name != other.header_.name; }
  void SetOrigin();
  bool OriginExists() const { return !header_.origin.empty(); }
  const std::string& GetOrigin() const { return header_.origin; }
  void ClearOrigin() { header_.origin.clear(); }
  const Header& GetHeader() const { return header_; }

  void SetHeaderRaw(const std::string& text) { headerRaw_ = text; }
  void SetContentRaw(const std::string& text) { contentsRaw_ = text; }
  // Takes one piece of a text being written; false stops the writing.
  using TextSink = std::function<bool(std::string_view)>;
  // The header and contents as compact JSON texts, from the current values.
  std::string GetHeaderRaw() const;
  std::string GetContentRaw() const;
  // The contents text handed to `sink` piece by piece, as GetContentRaw()
  // would give it, without holding it whole; false when the sink refused.
  bool WriteContent(const TextSink& sink) const;

  bool ParseHeader();
  bool ParseContents();
  static bool ParseContentsCore(std::string_view text, Contents& contents);
  // Fetch the live contents, or the diffs from the local release's origin.
  // `abort`, when given, ends a fetch in flight at once (a job's cancel).
  bool LoadContents(const std::string& sourceURL, const std::function<bool()>& abort = {});
  bool LoadDiffs(const std::string& sourceURL, const OBDManifest& local, const std::function<bool()>& abort = {});
  // Reads a diff document's text into the diffs.
  bool ParseDiffs(std::string_view text) { return ParseContentsCore(text, diffs_); }
  void Clear();
  void ClearDiffs();

  std::uint64_t GetTotalUncompressedSize() const { return contents_.total_uncompressed_size; }
  std::uint64_t GetUncompressedFileSize(std::string_view key) const;
  bool HasFile(std::string_view key) const { return contents_.FindFile(key) != nullptr; }
  std::uint64_t GetObjectsCount(std::string_view key) const;
  // The objects recorded for a file that is not finished (its hash still
  // empty); 0 for a finished or unknown file.
  std::uint64_t GetUnfinishedObjectsCount(std::string_view key) const;
  // Whether the record of the file calls it finished (its hash set).
  bool IsFileFinished(std::string_view key) const;
  std::string GetObjectHash(std::string_view key, std::int64_t index) const;
  static std::string GetHash(const void* data, std::size_t size);

  bool InsertEmptyFile(std::string_view key);
  bool FileInitialize(std::string_view key, bool tempFileExists);
  bool AddObject(std::string_view key, std::int64_t index, const std::string& hash, std::uint64_t size);
  bool FileFinalize(std::string_view key);
  bool CopyFileContent(std::string_view key, const OBDManifest& other);
  void MarkOriginFileBroken(std::string_view key);
  void RemoveFile(std::string_view key);
  // Moves the record of `from` to `to`, another key of the same path. When
  // `to` has a record too, the one of `from` goes, and the one of `to`
  // stays only when both record the same finished file: otherwise which of
  // them tells what is on disk is not known, and neither claims anything.
  void MoveFileRecord(std::string_view from, std::string_view to);

  const std::string& GetLastErrorLog() const { return lastErrorLog_; }

  const Contents& GetContents() const { return contents_; }
  const Contents& GetDiffs() const { return diffs_; }

  // Helpers on entries and object sets, shared with the differencing.
  // The member of an object value, or null when the value is no object or
  // lacks it.
  static const rapidjson::Value* Member(const rapidjson::Value& object, const char* name);
  // The object of the given index in an "objects" value, or null.
  static const rapidjson::Value* FindObject(const rapidjson::Value& objects, std::uint64_t index);
  // The file hash: SHA-1 over the texts of objects "0", "1", ... up to the
  // first missing index.
  static std::string ComputeFileHash(const rapidjson::Value& objects);
  // The objects are exactly "0" ... "n-1", each a 40-digit lower-case
  // hexadecimal text.
  static bool IsConsecutiveObjects(const rapidjson::Value& objects);
  static bool IsHashText(const rapidjson::Value& value);

 private:
  rapidjson::Value* MutableEntry(std::string_view key) { return contents_.FindFile(key); }
  void AdjustTotal(std::uint64_t oldSize, std::uint64_t newSize);

  Header header_;
  Contents contents_;
  Contents diffs_;
  bool ignoreResume_ = false;
  std::string headerRaw_;
  std::string contentsRaw_;
  std::string lastErrorLog_;
};
