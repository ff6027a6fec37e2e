#include <string>
#include <vector>

#include "Platform/launchctl/Launchctl.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return launchctl::run(arguments);
}
