#pragma once
// The size of a window's content, in points (one point is one pixel here).
// A plain value: nothing checks it; the windows refuse sizes they cannot show.
struct PanelSize {
  int width = 0;
  int height = 0;

  bool operator==(const PanelSize&) const = default;
};
