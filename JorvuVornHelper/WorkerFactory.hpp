#pragma once
// The workers of the helper program's registered games.
#include "JorvuVornHelper/Common/Game.hpp"

// The setup-archive worker for a game delivered as one archive, the bridge
// to the manifest engine for every other game. A worker that this build does
// not have yet fails the registration (answered as a crash), never silently.
GameWorkerFactory serviceWorkerFactory();
