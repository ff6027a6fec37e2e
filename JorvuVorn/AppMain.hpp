#pragma once
// The app's entry. One process per user is the app: a later process hands
// its URLs to the running one and ends with 0 (Platform/XPC/SingleInstance).
// The instance then starts up: it opens its main loop (GTK with a display;
// without one, an ERROR line and a plain GLib loop with the null interface),
// logs its version and path, reloads the helper's launchd job, registers the
// exit hook that clears the log folder, opens the URLs of its command line
// (before "did finish launching", so a start with a URL makes no launch
// under key 0) and runs the loop until it terminates. Termination is always
// an idle callback on the main loop: SIGTERM and SIGINT, the registry
// becoming empty and a failed start-up all go through safeTerminate().
//
// A start-up that cannot go on (no runtime folder for the lock and sockets,
// a games folder this user cannot write, a helper's job that cannot be
// loaded) says what failed, and what to do where there is advice to give,
// on standard error, in the log and, with a display, in an alert, which
// SIGTERM and SIGINT close as its OK does; the process ends with 1. So does a
// launch that failed on the app's side (its game's status port taken, the
// helper's answer missing): the launch flow logs it and shows its popup, the
// app says what failed on standard error and ends with 1 once its launches
// are over.
//
// Thread contract: runJorvuVorn on the process's main thread; safeTerminate
// from any thread.
#include <functional>
#include <string>

#include "JorvuVorn/ViewModel/Interface.hpp"
#include "JorvuVorn/ViewModel/LaunchController.hpp"
#include "JorvuVorn/ViewModel/MainThread.hpp"

// What a launch controller of the app is made with.
struct AppServices {
  MainThread& mainThread;
  Interface& interface;
  // To be called (from any thread) once a launch finds an installed update
  // of the app: this instance then takes no more forwarded start URLs.
  std::function<void()> updateInstalled;
  // To be called (from any thread) when a launch fails on the app's side,
  // with what failed: the app says so on standard error and ends with 1.
  std::function<void(const std::string& failure)> launchFailed;
};

// Makes the registry's controller factory once the app's services exist.
using LaunchControllerFactoryMaker = std::function<LaunchControllerFactory(AppServices& services)>;

// Runs the app; returns the process's exit status: 0, or 1 after a start-up
// that could not go on or a launch that failed on the app's side.
int runJorvuVorn(int argc, char** argv, const LaunchControllerFactoryMaker& makeFactory);

// Asks the app to terminate: an idle callback on the main loop unloads the
// helper's job and ends the loop. Returns at once; only the first call counts.
void safeTerminate();

// (Re)loads the helper's launchd job and starts the connection check.
// Throws what VornHelperLauncher throws.
void loadVornHelper();
