#pragma once
// The worker interface over one manifest-based game worker. The registered
// game makes one for every game the patch engine serves and holds it as a
// GameWorkerable; the wrapper owns its worker for its whole life.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "JorvuVornHelper/GameManager/GameWorker/GameWorker.hpp"
#include "JorvuVornHelper/GameManager/GameWorker/GameWorkerable.hpp"

class GameWorkerWrapper : public GameWorkerable {
 public:
  // The game code and six texts: the OBD tag, the source URL of the
  // manifests and objects, the live manifest's name, the game's folder, the
  // executable's name and the shortcut target (empty: no shortcut). An
  // absent text counts as an empty one. The worker decides its mode at once.
  GameWorkerWrapper(std::uint32_t gameCode, const std::optional<std::string>& obdTag,
                    const std::optional<std::string>& sourceURL, const std::optional<std::string>& sourceManifestName,
                    const std::optional<std::string>& targetPath,
                    const std::optional<std::string>& targetExecutableName,
                    const std::optional<std::string>& shortcutTargetPath);
  ~GameWorkerWrapper() override;
  GameWorkerWrapper(const GameWorkerWrapper&) = delete;
  GameWorkerWrapper& operator=(const GameWorkerWrapper&) = delete;

  GameWorkerWrapperWorkMode getWorkMode() override;
  // Decides the work mode afresh.
  bool needWork() override;
  // Runs the whole job on the calling thread and returns when it has ended.
  bool work() override;
  void cancel() override;
  std::string getErrorInfo() override;
  std::string getProgressInfo() override;

  GameWorker* game_worker() const { return _game_worker.get(); }
  void set_game_worker(std::unique_ptr<GameWorker> worker) { _game_worker = std::move(worker); }

 private:
  std::unique_ptr<GameWorker> _game_worker;
};
