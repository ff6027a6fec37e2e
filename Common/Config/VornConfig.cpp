#include "Common/Config/VornConfig.hpp"

#include <filesystem>

#include "Common/Json/JsonReading.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Platform/FileUtil.hpp"
#include "Platform/Paths.hpp"

using jsoncoding::DecodingError;
using jsoncoding::ObjectReader;

const char* toString(VornConfig::Game::KTZAPI api) { return api == VornConfig::Game::KTZAPI::test ? "test" : "live"; }

std::string describe(const VornConfig::Game& game) {
  return "Game(gameCode: " + std::to_string(game.gameCode) + ", ktzAPI: " + toString(game.ktzAPI) + ")";
}

std::string VornConfig::description() const {
  std::string out = "VornConfig(common: Common(isRemainLogFile: ";
  out += common.isRemainLogFile ? "true" : "false";
  out += "), games: [";
  for (std::size_t i = 0; i < games.size(); ++i) {
    if (i > 0) out += ", ";
    out += describe(games[i]);
  }
  out += "])";
  return out;
}

VornConfig VornConfig::decode(std::string_view text) {
  rapidjson::Document doc = jsoncoding::parseDocument(text);
  ObjectReader root(doc, "VornConfig");
  VornConfig config;
  config.common.isRemainLogFile = root.object("common").boolean("isRemainLogFile");
  config.games = jsoncoding::readArray<Game>(root.array("games"), "games", [](const jsoncoding::Value& v) {
    ObjectReader entry(v, "games");
    Game game;
    game.gameCode = entry.u32("gameCode");
    std::string api = entry.string("ktzAPI");
    if (api == "live") {
      game.ktzAPI = Game::KTZAPI::live;
    } else if (api == "test") {
      game.ktzAPI = Game::KTZAPI::test;
    } else {
      throw DecodingError("Cannot initialize KTZAPI from invalid String value " + api);
    }
    return game;
  });
  return config;
}

std::optional<VornConfig> VornConfig::load() {
  const std::string path = platform::resolvePath(filePath);
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return std::nullopt;
  try {
    auto text = platform::readFile(path);
    if (!text) throw DecodingError("The file \"VornConfig.json\" couldn't be opened.");
    VornConfig config = decode(*text);
    logInfo(config.description());
    return config;
  } catch (const DecodingError& e) {
    logError(std::string("An error occurred: dataCorrupted ") + e.what());
    return std::nullopt;
  }
}

std::optional<VornConfig::Game> VornConfig::gameLaunchInfo(std::uint32_t gameCode) {
  std::optional<Game> found;
  if (auto config = load()) {
    for (const Game& game : config->games) {
      if (game.gameCode == gameCode) {
        found = game;
        break;
      }
    }
  }
  logInfo("gameCode=" + std::to_string(gameCode) + ", launchInfo=" + (found ? describe(*found) : std::string("nil")));
  return found;
}
