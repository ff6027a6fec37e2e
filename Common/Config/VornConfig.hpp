#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The optional configuration file, read afresh on every use.
struct VornConfig {
  struct Common {
    bool isRemainLogFile = false;
  };
  struct Game {
    enum class KTZAPI { live, test };
    std::uint32_t gameCode = 0;
    KTZAPI ktzAPI = KTZAPI::live;
  };

  Common common;
  std::vector<Game> games;

  static constexpr const char* filePath = "/Library/Application Support/Jorvu/VornConfig.json";

  // The decoded file, or nothing when it is absent (silently) or invalid
  // (logged at ERROR). Logs the record at INFO when it was read.
  static std::optional<VornConfig> load();
  // The first entry for `gameCode`, re-reading the file.
  static std::optional<Game> gameLaunchInfo(std::uint32_t gameCode);

  // Strict decoding of a configuration text; throws jsoncoding::DecodingError.
  static VornConfig decode(std::string_view text);
  std::string description() const;
};

const char* toString(VornConfig::Game::KTZAPI api);
std::string describe(const VornConfig::Game& game);
