#include "JorvuVornHelper/WorkerFactory.hpp"

#include <stdexcept>

GameWorkerFactory serviceWorkerFactory() {
  GameWorkerFactory factory;
  factory.makeURLWorker = [](std::uint32_t, const std::string&, const std::string&,
                             const std::string&) -> std::shared_ptr<GameWorkerable> {
    throw std::runtime_error("the setup-archive worker is not part of this build");
  };
  factory.makeManifestWorker = [](std::uint32_t, const std::string&, const std::string&,
                                  const std::optional<std::string>&, const std::string&, const std::string&,
                                  const std::string&) -> std::shared_ptr<GameWorkerable> {
    throw std::runtime_error("the manifest worker is not part of this build");
  };
  return factory;
}
