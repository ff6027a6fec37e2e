#pragma once
// Our stand-in for launchd's launchctl: it loads and unloads the jobs of
// this user. A job's Mach services become listening Unix sockets at the
// paths the XPC stand-in uses; launchctl binds them before the job starts and
// hands them over (LISTEN_FDS, LISTEN_PID, LISTEN_FDNAMES), so a service
// answers as soon as its job is loaded. Loaded jobs are recorded in the
// state folder; a record whose process has ended is dropped on the next run.
#include <string>
#include <vector>

namespace launchctl {

// `arguments` without the program name: "list", "load [-w] PLIST" or
// "unload [-w] PLIST". Prints the listing on standard output and everything
// else on standard error; returns the exit status.
int run(const std::vector<std::string>& arguments);

}  // namespace launchctl
