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

int publishApp(publisher::Publisher& pub, const std::string&) {
  // The installed app (under JORVU_ROOT) is served as the current release,
  // and the engine adopts the installed copy: the self-update finds nothing
  // to do.
  const char* root = std::getenv("JORVU_ROOT");
  const std::string vorn = std::string(root != nullptr ? root : "") + "/Library/Application Support/Jorvu/Vorn";
  std::string release;
  try {
    release = pub.publishApp(vorn + "/JorvuVorn.app", "", testsupport::binDir() + "/jorvu-pack");
  } catch (const std::exception&) {
    return 1;
  }
  const int adopted = desktop::run({testsupport::binDir() + "/jorvu-obd", "install", "--source",
                                    pub.origin() + "/app-source", "--manifest", release, "--target", vorn, "--code",
                                    "128000", "--exe", "JorvuVorn.app"},
                                   {}, std::chrono::seconds(60))
                          .status;
  if (adopted != 0) return adopted;
  // As the helper leaves an installed game: everything executable.
  return desktop::run({"/bin/chmod", "-R", "755", vorn}, {}, std::chrono::seconds(60)).status;
}

std::string artefact(const std::string& name) {
  const char* dir = std::getenv("JORVU_ARTEFACT_DIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : testsupport::binDir() + "/../artefacts") + "/browser/" + name;
}

}  // namespace browserflow
