#include "JorvuVornHelper/WorkerFactory.hpp"

#include "JorvuVornHelper/Bridge/GameWorkerWrapper.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/URLGameWorker/URLGameWorker.hpp"

GameWorkerFactory serviceWorkerFactory() {
  GameWorkerFactory factory;
  factory.makeURLWorker = [](std::uint32_t gameCode, const std::string& url, const std::string& installDirectoryPath,
                             const std::string& executableFileName) -> std::shared_ptr<GameWorkerable> {
    return std::make_shared<URLGameWorker>(gameCode, url, installDirectoryPath, executableFileName);
  };
  factory.makeManifestWorker = [](std::uint32_t gameCode, const std::string& obdTag, const std::string& sourceURL,
                                  const std::optional<std::string>& sourceManifestName, const std::string& targetPath,
                                  const std::string& targetExecutableName,
                                  const std::string& shortcutTargetPath) -> std::shared_ptr<GameWorkerable> {
    return std::make_shared<GameWorkerWrapper>(gameCode, obdTag, sourceURL, sourceManifestName, targetPath,
                                               targetExecutableName, shortcutTargetPath);
  };
  return factory;
}
