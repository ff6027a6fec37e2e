// A launchctl that only records: each call appends its arguments to
// $JORVU_ROOT/fake-launchctl/calls, and for load and unload it keeps a copy
// of the property list it was given (with its mode) as it was at that moment.
// It prints $JORVU_ROOT/fake-launchctl/output and exits with the number in
// $JORVU_ROOT/fake-launchctl/status.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  const char* root = std::getenv("JORVU_ROOT");
  if (root == nullptr) return 100;
  const std::string folder = std::string(root) + "/fake-launchctl";
  {
    std::ofstream calls(folder + "/calls", std::ios::app);
    for (int i = 1; i < argc; ++i) calls << (i > 1 ? "|" : "") << argv[i];
    calls << "\n";
  }
  if (argc == 4) {
    struct stat st {};
    std::ofstream seen(folder + "/seen", std::ios::trunc);
    if (::stat(argv[3], &st) == 0) {
      std::ifstream in(argv[3], std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      char mode[16];
      std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
      seen << mode << "\n" << bytes.str();
    }
  }
  std::ifstream output(folder + "/output", std::ios::binary);
  std::stringstream text;
  text << output.rdbuf();
  std::fputs(text.str().c_str(), stdout);
  int status = 0;
  std::ifstream(folder + "/status") >> status;
  return status;
}
