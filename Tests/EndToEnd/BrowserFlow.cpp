#include "Tests/EndToEnd/BrowserFlow.hpp"

#include <cstdlib>

#include "Tests/EndToEnd/Desktop.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace browserflow {

std::string sourceDir() { return JORVU_SOURCE_DIR; }

int publishSample(const publisher::Publisher& pub, const std::string& root, const std::string& work, std::uint32_t code) {
  return desktop::run({sourceDir() + "/Tools/demo/publish-sample", "--bin", testsupport::binDir(), "--root", root, "--work",
                       work, "--origin", pub.origin(), "--code", std::to_string(code)},
                      {}, std::chrono::seconds(60))
      .status;
}

int publishApp(const publisher::Publisher&, const std::string&) {
  // Until the publisher serves the app, the self-update has nothing to find.
  return 0;
}

std::string artefact(const std::string& name) {
  const char* dir = std::getenv("JORVU_ARTEFACT_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : testsupport::binDir() + "/../artefacts") + "/browser/" + name;
}

}  // namespace browserflow
