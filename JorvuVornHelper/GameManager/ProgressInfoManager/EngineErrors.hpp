#pragma once
// The error numbers the engine records in the progress manager: an error
// code (read by the service: -60 a network failure, main error 933 a lack of
// disk space) and a main error; the sub error is given where it is recorded
// (the system's errno, or 0). A failed install ends with -40 and a failed
// patch with -50 wherever the engine recorded -70 (the game worker maps it).
#include <cstdint>

struct EngineError {
  std::int32_t code;
  std::uint32_t main;
};

namespace EngineErrors {

// Loading the live manifest failed.
inline constexpr EngineError InstallManifest{-40, 930};
inline constexpr EngineError PatchManifest{-50, 930};
// Not enough disk space (sub 0, capacity text as message), or a write that
// ran out of it (sub 28).
inline constexpr EngineError DiskSpace{-61, 933};
// An object download failed after every try.
inline constexpr EngineError Download{-60, 917};
// Object processing (sub: errno where a system call failed).
inline constexpr EngineError Write{-70, 103};
inline constexpr EngineError Open{-70, 105};
inline constexpr EngineError Inflate{-70, 301};
inline constexpr EngineError ExtractFailed{-70, 315};
inline constexpr EngineError Rename{-70, 925};
// A block's hash does not match, the origin of a delta is broken, or a
// finished file has another size than its manifest entry.
inline constexpr EngineError BrokenFile{-70, 931};
inline constexpr EngineError Delta{-70, 932};
// Comparing the live and local manifests failed.
inline constexpr EngineError Compare{-70, 935};
// The job ended but the game's executable is missing.
inline constexpr EngineError InstalledExecutableMissing{-43, 914};
inline constexpr EngineError PatchedExecutableMissing{-50, 914};
inline constexpr EngineError RestoredExecutableMissing{-70, 914};

// The setup-archive worker's: the download failed, unpacking failed, any
// other failure.
inline constexpr EngineError SetupDownload{-60, 917};
inline constexpr EngineError SetupUnpack{-40, 301};
inline constexpr EngineError SetupOther{-40, 0};

// The error code an engine failure of either job records; the game worker
// replaces it with the job's own.
inline constexpr std::int32_t kEngineFailureCode = -70;

}  // namespace EngineErrors
