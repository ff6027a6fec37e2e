#pragma once
// The size of a window of the interface and of the view it hosts, in points
// (one point is one pixel here): from the panel description for the setup
// panel, fixed per error for a popup, changed by the page's resize command.
#include <cstdint>

struct PanelSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool operator==(const PanelSize&) const = default;
};
