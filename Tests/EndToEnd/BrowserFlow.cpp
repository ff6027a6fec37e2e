#include "Tests/EndToEnd/BrowserFlow.hpp"

#include <cstdlib>
#include <exception>

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

namespace {

// The publisher serves the app itself where it knows how to.
template <class P>
int publishAppWith(P& pub, const std::string& bundle) {
  if constexpr (requires { pub.publishApp(bundle); }) {
    try {
      pub.publishApp(bundle);
    } catch (const std::exception&) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

int publishApp(publisher::Publisher& pub, const std::string& installedBundle) {
  return publishAppWith(pub, installedBundle);
}

std::string artefact(const std::string& name) {
  const char* dir = std::getenv("JORVU_ARTEFACT_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : testsupport::binDir() + "/../artefacts") + "/browser/" + name;
}

}  // namespace browserflow
