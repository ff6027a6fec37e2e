#pragma once
// Pieces of the browser end-to-end tests that know this system: the sample
// game published by Tools/demo/publish-sample, the installed app, and where
// screenshots go.
#include <cstdint>
#include <string>

#include "Tools/publisher/Publisher.hpp"

namespace browserflow {

// Runs Tools/demo/publish-sample for `code` into the publisher's root, with
// the release trees in `work`; the script's exit status.
int publishSample(const publisher::Publisher& pub, const std::string& root, const std::string& work, std::uint32_t code);

// Publishes the installed app itself as game 128000 (its catalogue records
// and a source made from the bundle), for the self-update; 0 when done.
int publishApp(publisher::Publisher& pub, const std::string& installedBundle);

// $JORVU_ARTEFACT_DIR/browser/<name> (build/artefacts when unset).
std::string artefact(const std::string& name);

// The source tree (scripts, Tools).
std::string sourceDir();

}  // namespace browserflow
