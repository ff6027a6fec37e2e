#pragma once
// Child processes of a test: the environment a child is given, and waiting
// for one to end within a time limit (on a pidfd, without polling).
//
// Thread contract: any thread; childEnvironment() reads this process's
// environment, so not while another thread changes it.
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using Environment = std::map<std::string, std::string>;

// This process's environment with `env` on top (an empty value removes the
// variable), less the LISTEN_ variables of a socket hand-over, which belong
// to this process alone.
std::vector<std::string> childEnvironment(const Environment& env);

// Pointers into `texts`, ending in nullptr, as exec wants them. They stay
// valid while `texts` is not changed.
std::vector<char*> execPointers(std::vector<std::string>& texts);

// Waits for the child `pid` to end, at most `limit`, and reaps it: its wait
// status; nothing when it did not end in time (it is left as it is then).
std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit);

// Runs a program (argv[0] is its path) and waits for it, at most `limit`;
// its standard output is dropped, its standard error is ours. Its exit code;
// -1 when it could not run, ended by a signal or was killed at the limit.
int runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit = std::chrono::seconds(60));

// The decimal digits of a non-negative number into `out`, without allocating:
// for a forked child before exec.
void writeDecimal(char* out, long value);

}  // namespace testsupport
