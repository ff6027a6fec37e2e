#include "JorvuVornHelper/Bridge/GameWorkerWrapper.hpp"

GameWorkerWrapper::GameWorkerWrapper(std::uint32_t gameCode, const std::optional<std::string>& obdTag,
                                     const std::optional<std::string>& sourceURL,
                                     const std::optional<std::string>& sourceManifestName,
                                     const std::optional<std::string>& targetPath,
                                     const std::optional<std::string>& targetExecutableName,
                                     const std::optional<std::string>& shortcutTargetPath)
    : _game_worker(std::make_unique<GameWorker>(gameCode, obdTag.value_or(""), sourceURL.value_or(""),
                                                sourceManifestName.value_or(""), targetPath.value_or(""),
                                                targetExecutableName.value_or(""), shortcutTargetPath.value_or(""))) {}

GameWorkerWrapper::~GameWorkerWrapper() = default;

GameWorkerWrapperWorkMode GameWorkerWrapper::getWorkMode() { return _game_worker->GetWorkMode(); }

bool GameWorkerWrapper::needWork() { return _game_worker->NeedWork(); }

bool GameWorkerWrapper::work() { return _game_worker->Work(); }

void GameWorkerWrapper::cancel() { _game_worker->Cancel(); }

std::string GameWorkerWrapper::getErrorInfo() { return _game_worker->GetErrorInfoJson(); }

std::string GameWorkerWrapper::getProgressInfo() { return _game_worker->GetProgressInfoJson(); }
