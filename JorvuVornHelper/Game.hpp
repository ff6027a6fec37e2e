#pragma once
// A minimal stand-in for the registered game, until its own record (with the
// catalogue record, worker, sign-in token and launch) lands: just what the
// service needs to keep games in its registry, look for a working one and
// cancel work at exit. Nothing can build one yet, so no request succeeds on a
// registered game and none is faked as successful.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

struct VantixToken;

struct Game {
  std::uint32_t gameCode = 0;
  std::string obdTag;
  bool isWorking = false;

  // What a request cannot do before the record exists.
  struct Unavailable : std::runtime_error {
    Unavailable() : std::runtime_error("the registered game record is not available in this build") {}
  };

  // Builds the game from its catalogue record.
  static Game make(std::uint32_t, const std::string&, const std::optional<VantixToken>&) { throw Unavailable(); }
  // Cancels a running work job, which saves its state.
  void cancel() {}
};
