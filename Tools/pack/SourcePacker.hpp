#pragma once
// Publishes a folder as a patch source the engine installs from:
//   OUT/NAME                                   the live manifest
//   OUT/<key>.<index>.<hash>.zqgz              full objects (zlib, <= 4 MiB of data each)
// and, with an older release of the folder:
//   OUT/NAME-OLDNAME                           the diff document
//   OUT/<key>.<index>.<hash>.<source>.zqdelta  pieces of each changed file's delta
// Objects already present are kept (their names carry their hashes); the
// manifest is written last, so a source never names objects it lacks.
#include <cstdint>
#include <ostream>
#include <string>

namespace pack {

struct PackOptions {
  std::string out;
  std::string name;
  std::string src;
  std::string from;      // older release's folder, or empty
  std::string fromName;  // its manifest name
  unsigned jobs = 0;     // 0: one per processor, at most 8
  int level = 6;         // zlib level
};

struct PackSummary {
  std::uint64_t files = 0;
  std::uint64_t objects = 0;
  std::uint64_t objectsWritten = 0;
  std::uint64_t bytes = 0;
  std::uint64_t deltaFiles = 0;
  std::uint64_t deltaObjects = 0;
};

// False with a message on `err` when anything fails.
bool Pack(const PackOptions& options, PackSummary& summary, std::ostream& err);

// Names a manifest may have: not empty, no "/", not "." or "..".
bool IsValidManifestName(const std::string& name);

}  // namespace pack
