#pragma once
// The jobs of our launchctl: what a job's property list asks for, and the
// record kept for a loaded job in the state folder.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace launchctl {

// What a job's property list asks for. Paths in it are the system's
// absolute paths and are resolved through the root (JORVU_ROOT).
struct JobSpec {
  std::string label;
  std::string program;                 // absolute, resolved
  std::vector<std::string> arguments;  // the argument vector, its first entry included
  std::vector<std::string> machServices;
  std::vector<std::pair<std::string, std::string>> environment;
};

// A label that can name a file in the state folder: letters, digits, ".",
// "-" and "_", starting with a letter or digit, at most 200 characters.
bool isSafeLabel(const std::string& label);

// Reads and checks a job's property list; nothing, with the reason in
// `error`, when it cannot be read or asks for something we do not do.
std::optional<JobSpec> readJobSpec(const std::string& plistPath, std::string* error);
// Only the label (enough to unload a job).
std::optional<std::string> readJobLabel(const std::string& plistPath, std::string* error);

// A loaded job as recorded in the state folder.
struct JobRecord {
  std::string label;
  pid_t pid = 0;
  std::uint64_t startTime = 0;  // the process's start time (clock ticks after boot)
  std::string plistPath;
  std::string program;
  std::vector<std::string> machServices;
  std::vector<std::string> socketPaths;
};

// The state folder: "launchd" in the install's runtime folder.
std::string stateFolder();
// The record file of a label (which must be safe).
std::string recordPath(const std::string& label);

// Written atomically. False when it could not be written.
bool writeRecord(const JobRecord& record);
// Nothing when the file is missing or is not a record of that label.
std::optional<JobRecord> readRecord(const std::string& label);
// The labels of every record file, sorted.
std::vector<std::string> recordedLabels();
void removeRecord(const std::string& label);

// The start time of a live process; nothing when there is no such process or
// it has already ended (a zombie).
std::optional<std::uint64_t> processStartTime(pid_t pid);
// Whether the record's process is still the one that was started.
bool isRunning(const JobRecord& record);

}  // namespace launchctl
