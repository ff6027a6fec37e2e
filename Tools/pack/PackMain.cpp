// jorvu-pack --out DIR --name NAME [--from OLD --from-name OLDNAME] [--jobs N] [--level L] SRC
#include <cstdlib>
#include <iostream>
#include <string>

#include "Tools/pack/SourcePacker.hpp"

namespace {

int Usage() {
  std::cerr << "usage: jorvu-pack --out DIR --name NAME [--from OLD --from-name OLDNAME] [--jobs N] [--level 0-9] SRC\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  pack::PackOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string number;
    if (arg == "--out") {
      if (!value(options.out)) return Usage();
    } else if (arg == "--name") {
      if (!value(options.name)) return Usage();
    } else if (arg == "--from") {
      if (!value(options.from)) return Usage();
    } else if (arg == "--from-name") {
      if (!value(options.fromName)) return Usage();
    } else if (arg == "--jobs" || arg == "--level") {
      if (!value(number)) return Usage();
      char* end = nullptr;
      const long n = std::strtol(number.c_str(), &end, 10);
      if (end == number.c_str() || *end != '\0' || n < 0 || n > 64) return Usage();
      if (arg == "--jobs") options.jobs = static_cast<unsigned>(n);
      else if (n <= 9) options.level = static_cast<int>(n);
      else return Usage();
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage();
    } else if (options.src.empty()) {
      options.src = arg;
    } else {
      return Usage();
    }
  }
  if (options.out.empty() || options.name.empty() || options.src.empty()) return Usage();
  if (options.from.empty() != options.fromName.empty()) return Usage();

  pack::PackSummary summary;
  if (!pack::Pack(options, summary, std::cerr)) return 1;
  std::cout << "jorvu-pack: " << options.name << ": " << summary.files << " files, " << summary.bytes << " bytes, "
            << summary.objects << " objects (" << summary.objectsWritten << " written)";
  if (!options.from.empty()) {
    std::cout << ", " << summary.deltaFiles << " files as deltas from " << options.fromName << " in "
              << summary.deltaObjects << " objects";
  }
  std::cout << "\n";
  return 0;
}
