// jorvu-benchlimit --source DIR --out DIR
// Replays a published source's full objects into DIR in one thread (read,
// inflate, SHA-1, write) and prints what it did and how fast.
#include <cstdio>
#include <iostream>
#include <string>

#include "Tools/benchlimit/ObjectReplay.hpp"

namespace {

int Usage() {
  std::cerr << "usage: jorvu-benchlimit --source DIR --out DIR\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string source;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--source" || arg == "--out") && i + 1 < argc) {
      (arg == "--source" ? source : out) = argv[++i];
    } else {
      return Usage();
    }
  }
  if (source.empty() || out.empty()) return Usage();

  benchlimit::Totals totals;
  if (!benchlimit::Replay(source, out, totals, std::cerr)) return 1;
  if (totals.objects == 0) {
    std::cerr << "jorvu-benchlimit: no full objects below " << source << "\n";
    return 1;
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.3f s, %.1f MB/s", totals.seconds,
                totals.seconds > 0 ? static_cast<double>(totals.bytes) / totals.seconds / 1e6 : 0.0);
  std::cout << "jorvu-benchlimit: " << totals.objects << " objects, " << totals.files << " files, " << totals.bytes
            << " bytes from " << totals.compressedBytes << " compressed bytes in " << rate << "\n";
  return 0;
}
