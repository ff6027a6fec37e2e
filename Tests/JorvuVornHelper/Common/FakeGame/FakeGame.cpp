// jorvu-fakegame: a stand-in game for the launch tests. Copied into a bundle
// as Contents/MacOS/<name>, it records the arguments it was started with in
// "<its own path>.args" and exits: the number of arguments on the first line,
// then each argument followed by a NUL byte. The file is written beside and
// renamed into place, so a reader sees all of it or nothing.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 2;
  const std::string record = std::string(self, static_cast<std::size_t>(n)) + ".args";
  const std::string temporary = record + ".tmp";
  std::FILE* out = std::fopen(temporary.c_str(), "wb");
  if (out == nullptr) return 3;
  std::fprintf(out, "%d\n", argc - 1);
  for (int i = 1; i < argc; ++i) {
    std::fputs(argv[i], out);
    std::fputc('\0', out);
  }
  if (std::fclose(out) != 0) return 4;
  return std::rename(temporary.c_str(), record.c_str()) == 0 ? 0 : 5;
}
