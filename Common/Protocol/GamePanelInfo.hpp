#pragma once
// The setup panel that the app is to show.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Common/Protocol/PayloadCoding.hpp"

struct GamePanelInfo {
  using record_tag = void;
  std::uint32_t gameCode = 0;
  std::string contentsURL;  // absolute URL of the panel page
  std::uint32_t panelWidth = 0;
  std::uint32_t panelHeight = 0;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("gameCode", s.gameCode);
    f("contentsURL", s.contentsURL);
    f("panelWidth", s.panelWidth);
    f("panelHeight", s.panelHeight);
  }
  bool operator==(const GamePanelInfo&) const = default;

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError.
  static GamePanelInfo decode(std::string_view text) { return payload::decode<GamePanelInfo>(text, "GamePanelInfo"); }
  static std::optional<GamePanelInfo> tryDecode(std::string_view text, std::string* error = nullptr) {
    return payload::tryDecode<GamePanelInfo>(text, "GamePanelInfo", error);
  }
};

JORVU_PAYLOAD_HASH(GamePanelInfo);
