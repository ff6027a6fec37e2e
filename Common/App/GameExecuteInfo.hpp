#pragma once
// What drives one launch of one game: made from a start URL, or with game
// code 0 when the app starts without one.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Common/Protocol/VantixToken.hpp"

struct GameExecuteInfo {
  std::uint32_t gameCode = 0;
  std::string obdTag;
  std::optional<VantixToken> vantixToken;
  std::optional<std::string> url;  // the whole start URL
  // Set by the launch when the user installs despite the OS-version limit.
  bool ignoreOSVersion = false;
  bool isAutoExecute = false;
  std::optional<std::string> passarg;

  bool operator==(const GameExecuteInfo&) const = default;
};

template <>
struct std::hash<GameExecuteInfo> {
  std::size_t operator()(const GameExecuteInfo& info) const noexcept {
    std::size_t seed = std::hash<std::uint32_t>{}(info.gameCode);
    payload::hashCombine(seed, std::hash<std::string>{}(info.obdTag));
    payload::hashCombine(seed, info.vantixToken ? std::hash<VantixToken>{}(*info.vantixToken) : 0);
    payload::hashCombine(seed, info.vantixToken ? 1 : 0);
    payload::hashCombine(seed, info.url ? std::hash<std::string>{}(*info.url) : 0);
    payload::hashCombine(seed, info.url ? 1 : 0);
    payload::hashCombine(seed, info.ignoreOSVersion ? 1 : 0);
    payload::hashCombine(seed, info.isAutoExecute ? 1 : 0);
    payload::hashCombine(seed, info.passarg ? std::hash<std::string>{}(*info.passarg) : 0);
    payload::hashCombine(seed, info.passarg ? 1 : 0);
    return seed;
  }
};
