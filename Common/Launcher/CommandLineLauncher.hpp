#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Runs a program with an argument vector (never through a shell).
namespace CommandLineLauncher {

struct Result {
  std::int32_t status = 0;            // the exit status, or 128 + signal number
  std::optional<std::string> output;  // standard output and error, mixed in arrival order
  int pid = -1;                       // the started process
};

// The program could not be started (missing, not executable, no pipe...).
class LaunchError : public std::runtime_error {
 public:
  LaunchError(std::string what, int error) : std::runtime_error(std::move(what)), errorNumber(error) {}
  int errorNumber;
};

// `filePath` is the program's absolute path, `arguments` its arguments (the
// program name is not among them). Standard input is /dev/null, inherited
// descriptors are closed and signal dispositions are reset in the child.
// isWait: waits for the exit and returns the status with everything printed.
// Not waiting: returns status 0 and no output at once; the program runs in a
// session of its own with its output sent to /dev/null, and is reaped when it ends.
Result runCommand(const std::string& filePath, const std::vector<std::string>& arguments, bool isWait);

// Bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string decodeUTF8(const std::string& bytes);

}  // namespace CommandLineLauncher
