// Seeded random kill trials of the patch engine. Each trial makes two random
// releases of a game from its seed (files added, changed, dropped and moved
// between folders; keys spelt with "/", with "\" or without the Base64
// padding; now and then files named like another file's temp file, "x" and
// "x.zqgz" or "x.zqdelta"; the second with deltas or without). Then one of
// two roads:
//
// - the patch road: installs the first with jorvu-obd, patches to the
//   second with runs killed (SIGKILL) at random moments and at the engine's
//   own file events (jorvu-obd-stops), and then makes the first release live
//   again, as a publisher that withdraws a bad release does;
// - the install road: an install of the first killed, then the second live
//   while the install is unfinished, runs of the mode the game worker decides
//   killed again, and then either release live to the end.
//
// Between runs it damages temp files (bytes overwritten, cut short, zeros
// past the end) and the local manifest file (cut short, deleted, garbage).
//
// Every run that prints success must leave the live release byte for byte;
// the game worker's decision must be Ready only over the live release; and
// the last run, left alone, must succeed. Each kind of file event counts how
// often a run was to stop at it and how often it did, so an event that never
// fires shows.
//
//   JORVU_CRASH_TRIALS      trials per shard (default 6)
//   JORVU_CRASH_FIRST_SEED  the first shard's first seed (default 1); shard n
//                           runs the seeds from first + n x 1000000 on
//   JORVU_CRASH_SEED        runs this one trial only (in shard 0)
//
// A trial's plan and releases follow from its seed alone; the moment of a
// timed kill is the seed's too, but what the job has done by then depends
// on the machine, so a replay repeats a timed kill only roughly.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "JorvuVornHelper/GameManager/GameWorker/GameWorker.hpp"
#include "JorvuVornHelper/GameManager/OBD/Common/OBDUtils.hpp"
#include "Tests/JorvuVornHelper/GameManager/JobTestSupport.hpp"

namespace fs = std::filesystem;
using testsupport::readFileOrEmpty;

namespace {

constexpr std::size_t kBlock = jobtest::kBlock;
constexpr std::uint32_t kCode = jobtest::kCode;
const std::string kExecutable = "Game.app/Contents/MacOS/Game";
const std::string kManifestName = "obd-manifest-" + std::to_string(kCode);

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text == nullptr || *text == '\0' ? fallback : std::strtoull(text, nullptr, 10);
}

using Files = std::map<std::string, std::string>;

// How a release spells the keys of its files.
enum class Spelling { Slash, Backslash, Unpadded };

const char* spellingName(Spelling s) {
  return s == Spelling::Slash ? "/" : s == Spelling::Backslash ? "\\" : "unpadded";
}

std::string keyOf(Spelling spelling, std::string relative) {
  if (spelling == Spelling::Backslash) std::replace(relative.begin(), relative.end(), '/', '\\');
  std::string key = obd::utils::Base64Encode(relative);
  if (spelling == Spelling::Unpadded) key.erase(key.find_last_not_of('=') + 1);
  return key;
}

// The target compared with a release: every file there with its bytes, no
// other file (the local manifest aside) and, unless `leftoversLetBe`, no
// temp file of the engine's and no empty folder.
std::string checkTree(const Files& release, const std::string& target, bool leftoversLetBe = false) {
  std::string out;
  std::set<std::string> seen;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(target, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative = it->path().lexically_relative(target).string();
    const fs::file_type type = it->symlink_status().type();
    if (type == fs::file_type::directory) {
      if (!leftoversLetBe && fs::is_empty(it->path())) out += "empty folder " + relative + "\n";
      continue;
    }
    if (relative.starts_with(kManifestName)) continue;
    const auto found = release.find(relative);
    if (found == release.end()) {
      const bool temp = relative.ends_with(".zqgz") || relative.ends_with(".zqdelta");
      if (!leftoversLetBe || !temp) out += "extra " + relative + "\n";
    } else if (type != fs::file_type::regular) {
      out += "not a file " + relative + "\n";
    } else {
      seen.insert(relative);
      if (readFileOrEmpty(it->path().string()) != found->second) out += "bytes differ " + relative + "\n";
    }
  }
  for (const auto& [relative, bytes] : release) {
    if (!seen.contains(relative) && out.find(" " + relative + "\n") == std::string::npos) {
      out += "missing " + relative + "\n";
    }
  }
  return out;
}

// The kind of a file event: the call, and "-manifest" when it names the
// local manifest file or its save's temporary file.
std::string EventKind(const std::string& stop) {
  const std::size_t space = stop.find(' ');
  const std::string call = stop.substr(0, space);
  return stop.compare(space + 1, kManifestName.size(), kManifestName) == 0 ? call + "-manifest" : call;
}

struct Totals {
  std::uint64_t trials = 0;
  std::uint64_t runs = 0;
  std::uint64_t kills = 0;
  std::uint64_t eventKills = 0;
  std::uint64_t damaged = 0;
  std::uint64_t manifestsDamaged = 0;
  std::uint64_t failed = 0;
  struct Event {
    std::uint64_t asked = 0;   // runs told to stop there
    std::uint64_t killed = 0;  // runs that stopped there and were killed
  };
  std::map<std::string, Event> events;  // by EventKind
};

// One trial: its releases and its runs, all drawn from its seed.
class Trial {
 public:
  Trial(std::uint64_t seed, Totals& totals) : rng_(seed), folder_(root_.path()), totals_(totals) {}

  // The first fault found, or empty.
  std::string Run() {
    pub_ = std::make_unique<publisher::Publisher>(folder_ + "/pub");
    fs::create_directories(folder_ + "/pub/src");
    pub_->start();
    target_ = root_ / "/Library/Application Support/Jorvu/Game";
    const std::string result = Steps();
    pub_->stop();
    return result;
  }
  // What the trial did, a line a step.
  const std::string& Log() const { return log_; }

 private:
  std::uint64_t Pick(std::uint64_t below) { return below == 0 ? 0 : rng_() % below; }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

  std::string Bytes(std::size_t size) {
    std::string bytes(size, '\0');
    // Runs of a few letters among random bytes: compressible, and each
    // file its own.
    for (std::size_t i = 0; i < size;) {
      const std::uint64_t word = rng_();
      const std::size_t run = 1 + word % 64;
      const char c = Chance(0.5) ? static_cast<char>('a' + word % 4) : static_cast<char>(word >> 8);
      for (std::size_t j = 0; j < run && i < size; ++j, ++i) bytes[i] = c == 0 ? static_cast<char>(rng_()) : c;
    }
    return bytes;
  }

  std::size_t Size() {
    const std::uint64_t kind = Pick(20);
    if (kind < 12) return Pick(3000);
    if (kind < 18) return 3000 + Pick(200000);
    return kBlock + Pick(kBlock);  // two objects
  }

  std::string Folder() {
    static const char* const kFolders[] = {"", "Data/", "Data/sub/", "Data/sub/deep/", "Maps/", "Sound/fx/", "docs/"};
    return kFolders[Pick(std::size(kFolders))];
  }

  std::string NewName() { return "f" + std::to_string(Pick(1000)) + (Chance(0.5) ? ".bin" : ".dat"); }

  Files ReleaseOne() {
    Files files;
    files[kExecutable] = Bytes(Chance(0.3) ? kBlock + Pick(kBlock) : Pick(50000));
    const std::uint64_t count = 4 + Pick(20);
    std::size_t large = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::size_t size = Size();
      if (size >= kBlock && ++large > 2) size = Pick(3000);
      files[Folder() + NewName()] = Bytes(size);
    }
    // Files of the release named like the temp file of another of its files.
    if (Chance(0.35)) {
      for (std::uint64_t n = 1 + Pick(2); n > 0; --n) {
        auto it = files.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(Pick(files.size())));
        const std::string path = it->first;
        if (!IsTempName(path)) files[path + (Chance(0.5) ? ".zqgz" : ".zqdelta")] = Bytes(Pick(3000));
      }
    }
    return files;
  }

  static bool IsTempName(const std::string& path) { return path.ends_with(".zqgz") || path.ends_with(".zqdelta"); }

  Files ReleaseTwo(const Files& one) {
    Files two;
    std::vector<std::string> moved;
    for (const auto& [path, bytes] : one) {
      // A file whose temp name the release names changes more often than not.
      const bool shadowed = one.contains(path + ".zqgz") || one.contains(path + ".zqdelta");
      // So does the first: a resumed install writes it first.
      const bool first = path == one.begin()->first;
      const std::uint64_t what = path == kExecutable || first ? Pick(2) : shadowed ? (Chance(0.7) ? 0 : 1) : Pick(10);
      if (what == 0) {  // changed: a part, the end, or all of it
        std::string changed = bytes;
        const std::uint64_t how = Pick(3);
        if (how == 0 && !changed.empty()) {
          const std::size_t at = Pick(changed.size());
          const std::string part = Bytes(std::min<std::size_t>(changed.size() - at, 1 + Pick(5000)));
          changed.replace(at, part.size(), part);
        } else if (how == 1) {
          changed.resize(Pick(changed.size() + 1));
          changed += Bytes(Pick(5000));
        } else {
          changed = Bytes(Size());
        }
        two[path] = changed;
      } else if (what == 2) {  // dropped
        continue;
      } else if (what == 3) {  // moved to another folder
        std::string to = Folder() + fs::path(path).filename().string();
        if (to == path || one.contains(to)) to = Folder() + NewName();
        two[to] = bytes;
        moved.push_back(path);
      } else {
        two[path] = bytes;
      }
    }
    for (std::uint64_t i = Pick(5); i > 0; --i) two[Folder() + NewName()] = Bytes(Size());
    if (two == one) two[Folder() + "added.txt"] = Bytes(100);
    return two;
  }

  void Publish(const std::string& name, const Files& files, Spelling spelling, const std::string& from) {
    const std::string tree = folder_ + "/trees/" + name;
    jobtest::writeTree(tree, files);
    const std::string src = folder_ + "/pub/src";
    jobtest::pack(src, name, tree, from.empty() ? "" : folder_ + "/trees/" + from, from);
    if (spelling == Spelling::Slash) return;
    // Object files get the new names beside the old: the other release may share them.
    auto spell = [spelling](const std::string& relative) { return keyOf(spelling, relative); };
    jobtest::respellKeys(src, name, spell, true);
    if (!from.empty()) jobtest::respellKeys(src, name + "-" + from, spell, true);
  }

  std::vector<std::string> Args(const std::string& mode, const std::string& release) const {
    return {mode, "--source", pub_->origin() + "/src", "--manifest", release, "--target", target_,
            "--code", std::to_string(kCode), "--exe", "Game.app"};
  }

  // A file event of the job to `two` from `one` (a patch, or an install from
  // nothing or from another release), at which jorvu-obd-stops stops to be
  // killed.
  std::string Event(const Files& one, const Files& two, bool install = false) {
    std::vector<std::string> written;
    std::vector<std::string> dropped;
    for (const auto& [path, bytes] : two) {
      const auto old = one.find(path);
      if (old == one.end() || old->second != bytes) written.push_back(fs::path(path).filename());
    }
    for (const auto& [path, bytes] : one) {
      if (!two.contains(path)) dropped.push_back(fs::path(path).filename());
    }
    // An install's own: the executable in place (which makes the next
    // install a resumed one), the end of a successful install, and, in an
    // install that resumes another release's, the first file it writes
    // (most often before any save of its own).
    if (install && Chance(0.3)) return Chance(0.7) ? "renameat Game" : "unlink " + kManifestName;
    if (install && !one.empty() && !written.empty() && Chance(0.3)) {
      for (const auto& [path, bytes] : two) {
        const auto old = one.find(path);
        if (old == one.end() || old->second != bytes) return "renameat " + fs::path(path).filename().string();
      }
    }
    const std::uint64_t kind = Pick(6);
    if ((kind == 0 || kind == 1) && !written.empty()) return "renameat " + written[Pick(written.size())];
    if (kind == 2 && !dropped.empty() && !install) return "remove " + dropped[Pick(dropped.size())];
    if (kind == 3 && !written.empty()) {
      return "openat " + written[Pick(written.size())] + (Chance(0.5) ? ".zqgz" : ".zqdelta");
    }
    if (kind == 4) return "rename " + kManifestName;
    return "mkostemp " + kManifestName + ".tmp";
  }

  // The mode the game worker decides for the live release `name`: "install",
  // "patch", or empty for Ready.
  std::string Decide(const std::string& name) {
    GameWorker worker(kCode, "", pub_->origin() + "/src", name, target_, "Game.app", "");
    const GameWorkerWrapperWorkMode mode = worker.GetWorkMode();
    log_ += "  decision for " + name + ": " + std::to_string(mode) + "\n";
    if (mode == WorkMode::Install) return "install";
    if (mode == WorkMode::Patch) return "patch";
    return mode == WorkMode::Ready ? "" : "error";
  }

  // One run of jorvu-obd, killed at `stop` (a file event) when given, else
  // after `killAfterMs` when that is not negative. True when it printed
  // success; `out` is its output.
  bool RunObd(const std::string& mode, const std::string& release, const std::string& stop, int killAfterMs,
              std::string& out, const std::function<bool()>& killWhen = {}) {
    ++totals_.runs;
    const std::string file = folder_ + "/run" + std::to_string(totals_.runs) + ".txt";
    testsupport::Environment env;
    if (!stop.empty()) env["JORVU_STOP_AFTER"] = stop;
    const jobtest::Child child = jobtest::spawnObd(Args(mode, release), file, env, "jorvu-obd-stops");
    if (child.pid <= 0) {
      out = "spawn failed";
      return false;
    }
    bool kill = false;
    if (!stop.empty()) {
      siginfo_t info{};
      ::waitid(P_PID, child.pid, &info, WSTOPPED | WEXITED | WNOWAIT);
      kill = info.si_code == CLD_STOPPED;
      Totals::Event& event = totals_.events[EventKind(stop)];
      ++event.asked;
      if (kill) {
        ++totals_.eventKills;
        ++event.killed;
      }
    } else if (killAfterMs >= 0) {
      const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0));
      pollfd p{pidfd, POLLIN, 0};
      kill = pidfd >= 0 && ::poll(&p, 1, killAfterMs) == 0;  // still running when the moment came
      if (pidfd >= 0) ::close(pidfd);
    } else if (killWhen) {
      // Looked at every millisecond while the run goes on.
      const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0));
      pollfd p{pidfd, POLLIN, 0};
      while (pidfd >= 0 && !kill && ::poll(&p, 1, 1) == 0) kill = killWhen();
      if (pidfd >= 0) ::close(pidfd);
    }
    if (kill) {
      ++totals_.kills;
      ::kill(child.pid, SIGKILL);
    }
    jobtest::waitExit(child.pid);
    out = readFileOrEmpty(file);
    fs::remove(file);
    log_ += "  " + mode + " " + release + (stop.empty() ? "" : " stop at \"" + stop + "\"") +
            (killWhen ? " kill when the executable is in place and " + one_ + " saved" : "") +
            (killAfterMs >= 0 && stop.empty() ? " kill after " + std::to_string(killAfterMs) + " ms" : "") +
            (kill ? ": killed" : out.find("result: success") != std::string::npos ? ": success" : ": failed") + "\n";
    return !kill && out.find("result: success") != std::string::npos;
  }

  // Breaks one temp file of the engine's (never a file that a release
  // names): bytes changed, cut short, or zeros past its end.
  void Damage() {
    std::vector<fs::path> temps;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(target_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      const std::string relative = it->path().lexically_relative(target_).string();
      if (it->is_regular_file() && IsTempName(relative) && !named_.contains(relative)) temps.push_back(it->path());
    }
    if (temps.empty()) return;
    const fs::path temp = temps[Pick(temps.size())];
    const auto size = static_cast<std::size_t>(fs::file_size(temp, ec));
    const std::uint64_t how = Pick(3);
    if (how == 0 && size > 0) {
      std::fstream file(temp, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(static_cast<std::streamoff>(Pick(size)));
      file.write("damaged", 7);
    } else if (how == 1) {
      fs::resize_file(temp, Pick(size + 1), ec);
    } else {
      fs::resize_file(temp, size + 1 + Pick(10000), ec);
    }
    ++totals_.damaged;
    log_ += "  damaged " + fs::path(temp).lexically_relative(target_).string() + "\n";
  }

  // Breaks the local manifest file: cut short, deleted, or garbage in its
  // place (with a line feed or not).
  void DamageManifest() {
    const std::string path = target_ + "/" + kManifestName;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return;
    const std::uint64_t how = Pick(3);
    if (how == 0) {
      fs::resize_file(path, Pick(fs::file_size(path, ec)), ec);
    } else if (how == 1) {
      fs::remove(path, ec);
    } else {
      std::ofstream(path, std::ios::binary | std::ios::trunc)
          << Bytes(Pick(300)) << (Chance(0.5) ? "\n" + Bytes(Pick(300)) : "");
    }
    ++totals_.manifestsDamaged;
    manifestDamaged_ = true;
    log_ += std::string("  local manifest ") + (how == 0 ? "cut short" : how == 1 ? "deleted" : "garbage") + "\n";
  }

  void DamageBetweenRuns() {
    if (Chance(0.3)) Damage();
    if (Chance(0.15)) DamageManifest();
  }

  // Kills a run of the job to `release` at a file event or a random moment:
  // a patch, or with `decide` the mode that the game worker decides (no run
  // when it decides Ready).
  void KilledRun(const Files& from, const Files& to, const std::string& release, bool decide = false,
                 std::string stop = "") {
    const std::string mode = decide ? Decide(release) : "patch";
    if (mode.empty()) {
      CheckDecision(to, release);
      return;
    }
    if (mode == "error") {
      if (fault_.empty()) fault_ = "the decision for " + release + " is an error";
      return;
    }
    std::string out;
    const bool atEvent = !stop.empty() || Chance(0.6);
    if (atEvent && stop.empty()) stop = Event(from, to, mode == "install");
    const int after = atEvent ? -1 : static_cast<int>(Pick(600));
    if (RunObd(mode, release, stop, after, out)) Finished(to, release, out);
    DamageBetweenRuns();
  }

  // A run that printed success: the tree must be the live release. (An
  // empty folder that a killed clean-up left is known only to the records
  // of the local manifest file: once that file was damaged, it may stay,
  // as the game's own empty folders do.)
  void Finished(const Files& release, const std::string& name, const std::string& out) {
    std::string wrong = checkTree(release, target_);
    if (manifestDamaged_) {
      std::string kept;
      std::istringstream lines(wrong);
      for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("empty folder ")) kept += line + "\n";
      }
      wrong = kept;
    }
    if (!wrong.empty() && fault_.empty()) {
      fault_ = "success over a wrong tree (live " + name + "):\n" + wrong + "output:\n" + out;
    }
  }

  // The game worker's decision for the live release `name`: Ready only
  // over that release.
  void CheckDecision(const Files& release, const std::string& name) {
    GameWorker worker(kCode, "", pub_->origin() + "/src", name, target_, "Game.app", "");
    const bool ready = worker.GetWorkMode() == WorkMode::Ready;
    log_ += "  decision for " + name + ": " + (ready ? "Ready" : std::to_string(worker.GetWorkMode())) + "\n";
    if (!ready) return;
    // Leftovers of a killed run go with the next success, not before.
    const std::string wrong = checkTree(release, target_, true);
    if (!wrong.empty() && fault_.empty()) fault_ = "decision Ready over a wrong tree (live " + name + "):\n" + wrong;
  }

  // Runs until a run succeeds (the last one is never killed); with an empty
  // `mode`, of the mode the game worker decides.
  void RunToSuccess(std::string mode, const Files& release, const std::string& name) {
    if (mode.empty()) {
      mode = Decide(name);
      if (mode.empty()) return CheckDecision(release, name);
      if (mode == "error") {
        if (fault_.empty()) fault_ = "the decision for " + name + " is an error";
        return;
      }
    }
    std::string out;
    if (RunObd(mode, name, "", -1, out)) {
      Finished(release, name, out);
    } else if (fault_.empty()) {
      fault_ = "a run left alone failed (live " + name + "):\n" + out;
    }
  }

  std::string Steps() {
    const Files one = ReleaseOne();
    const Files two = ReleaseTwo(one);
    // The case of two spellings ("\" then "/") comes often.
    const Spelling s1 = Chance(0.4) ? Spelling::Backslash : static_cast<Spelling>(Pick(3));
    const Spelling s2 = s1 == Spelling::Backslash && Chance(0.6) ? Spelling::Slash : static_cast<Spelling>(Pick(3));
    const bool deltas = Chance(0.5);
    Publish("r1", one, s1, "");
    Publish("r2", two, s2, deltas ? "r1" : "");
    if (::testing::Test::HasFatalFailure()) return "publishing failed";
    log_ += "  r1: " + std::to_string(one.size()) + " files, keys " + spellingName(s1) + "; r2: " +
            std::to_string(two.size()) + " files, keys " + spellingName(s2) + (deltas ? ", deltas" : "") + "\n";
    for (const Files* release : {&one, &two}) {
      for (const auto& [path, bytes] : *release) named_.insert(path);
    }
    if (Chance(0.4)) return InstallRoad(one, two);

    std::string out;
    if (Chance(0.3)) RunObd("install", "r1", "", static_cast<int>(Pick(400)), out);
    RunToSuccess("install", one, "r1");
    if (!fault_.empty()) return fault_;

    // Release 2, patched by runs that are killed.
    for (std::uint64_t n = 1 + Pick(3); n > 0; --n) KilledRun(one, two, "r2");
    if (Chance(0.15)) DamageManifest();
    if (Chance(0.2)) RunToSuccess("patch", two, "r2");

    // Release 1 live again.
    CheckDecision(one, "r1");
    if (Chance(0.5)) KilledRun(two, one, "r1");
    RunToSuccess("patch", one, "r1");
    if (fault_.empty()) CheckDecision(one, "r1");

    // And release 2 once more, now and then.
    if (fault_.empty() && Chance(0.3)) {
      KilledRun(one, two, "r2");
      RunToSuccess("patch", two, "r2");
    }
    return fault_;
  }

  // An install of release 1 cut short, release 2 live meanwhile, then
  // either release to the end; every run of the mode the worker decides.
  // Now and then the runs stop where an install over another release's
  // changes the most: the first after its executable is in place, the next
  // after the first file it writes (as a rule before any save of its own).
  std::string InstallRoad(const Files& one, const Files& two) {
    log_ += "  install road\n";
    const bool firstFiles = Chance(0.4);
    if (firstFiles) {
      // Killed once the executable is in place and a save calls the
      // release's first file finished.
      one_ = one.begin()->first;
      std::string out;
      if (RunObd("install", "r1", "", -1, out, [&] {
            return fs::exists(target_ + "/" + kExecutable) && jobtest::savedFinished(target_, one_);
          })) {
        Finished(one, "r1", out);
      }
    }
    for (std::uint64_t n = firstFiles ? 0 : 1 + Pick(2); n > 0; --n) KilledRun({}, one, "r1", true);
    if (firstFiles) {
      for (const auto& [path, bytes] : two) {
        const auto old = one.find(path);
        if (old != one.end() && old->second == bytes) continue;
        KilledRun(one, two, "r2", true, "renameat " + fs::path(path).filename().string());
        break;
      }
    }
    for (std::uint64_t n = firstFiles ? Pick(2) : 1 + Pick(2); n > 0; --n) KilledRun(one, two, "r2", true);
    const bool back = Chance(0.5);
    const Files& last = back ? one : two;
    const std::string name = back ? "r1" : "r2";
    CheckDecision(last, name);
    if (Chance(0.4)) KilledRun(back ? two : one, last, name, true);
    RunToSuccess("", last, name);
    if (fault_.empty()) CheckDecision(last, name);
    return fault_;
  }

  testsupport::TempRoot root_;  // JORVU_ROOT for the trial; everything of it lies inside
  std::mt19937_64 rng_;
  std::string folder_;
  Totals& totals_;
  std::unique_ptr<publisher::Publisher> pub_;
  std::string target_;
  std::string fault_;
  std::string log_;
  std::set<std::string> named_;  // the paths that either release names
  std::string one_;              // release 1's first file
  bool manifestDamaged_ = false;
};

class CrashTrials : public ::testing::TestWithParam<int> {};

TEST_P(CrashTrials, ARunThatPrintsSuccessLeavesTheLiveRelease) {
  const int shard = GetParam();
  std::vector<std::uint64_t> seeds;
  if (const std::uint64_t only = envNumber("JORVU_CRASH_SEED", 0); only != 0) {
    if (shard != 0) GTEST_SKIP() << "one seed, run in shard 0";
    seeds.push_back(only);
  } else {
    const std::uint64_t first = envNumber("JORVU_CRASH_FIRST_SEED", 1) + static_cast<std::uint64_t>(shard) * 1000000;
    for (std::uint64_t i = 0, n = envNumber("JORVU_CRASH_TRIALS", 6); i < n; ++i) seeds.push_back(first + i);
  }

  Totals totals;
  const auto start = std::chrono::steady_clock::now();
  for (const std::uint64_t seed : seeds) {
    ++totals.trials;
    std::string fault;
    std::string log;
    {
      Trial trial(seed, totals);
      fault = trial.Run();
      log = trial.Log();
    }
    if (fault.empty()) continue;
    ++totals.failed;
    ADD_FAILURE() << "seed " << seed << ": " << fault << "\nruns:\n" << log
                  << "replay: JORVU_CRASH_SEED=" << seed << " " << testsupport::binDir()
                  << "/crash_tests --gtest_filter='*/0' (from the work tree)";
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("crash trials: %llu trials, %llu runs, %llu kills (%llu at file events), %llu temp files damaged, "
              "%llu failed, %.1f s, %llu local manifests damaged\n",
              static_cast<unsigned long long>(totals.trials), static_cast<unsigned long long>(totals.runs),
              static_cast<unsigned long long>(totals.kills), static_cast<unsigned long long>(totals.eventKills),
              static_cast<unsigned long long>(totals.damaged), static_cast<unsigned long long>(totals.failed),
              seconds, static_cast<unsigned long long>(totals.manifestsDamaged));
  // Killed / asked, per kind of file event.
  std::string events;
  for (const auto& [kind, event] : totals.events) {
    events += " " + kind + "=" + std::to_string(event.killed) + "/" + std::to_string(event.asked);
  }
  std::printf("crash events:%s\n", events.c_str());
}

INSTANTIATE_TEST_SUITE_P(Shards, CrashTrials, ::testing::Range(0, 4));

}  // namespace
