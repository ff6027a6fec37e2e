#include "JorvuVorn/Model/Popup/PopupLayout.hpp"

#include <algorithm>

namespace popup {

namespace {

// `text` wrapped within `width` at (x, 0).
PlacedText place(const Text& text, std::string shown, double x, double width, const TextMeasure& measure) {
  const TextExtent extent = measure.measure(text, shown, width);
  return PlacedText{text, std::move(shown), x, 0, width, extent.height, extent.baseline};
}

template <class Visit>
void walk(const Stack& stack, Visit&& visit) {
  for (const Element& element : stack.children) {
    if (const auto* inner = std::get_if<Stack>(&element.node)) {
      walk(*inner, visit);
    } else if (const auto* box = std::get_if<Box>(&element.node)) {
      walk(box->content, visit);
    } else if (const auto* info = std::get_if<InfoBox>(&element.node)) {
      for (const InfoRow& row : info->rows) {
        visit(Element{row.label});
        for (const Text& piece : row.value) visit(Element{piece});
      }
      if (info->leading) visit(Element{*info->leading});
      if (info->trailing) visit(Element{*info->trailing});
    } else {
      visit(element);
    }
  }
}

// The rows' texts placed from the top of the rows at 0; the rows' height.
double placeRows(const InfoBox& box, const std::function<std::string(const Text&)>& shown,
                 const TextMeasure& measure, std::vector<PlacedText>& out) {
  const double inner = box.width - box.paddingLeading - box.paddingTrailing;
  double labelWidth = 0;
  for (const InfoRow& row : box.rows) {
    labelWidth = std::max(labelWidth, measure.measure(row.label, shown(row.label), 0).width);
  }
  labelWidth = std::min(labelWidth, inner * 0.4);
  const double valueX = box.paddingLeading + labelWidth + box.columnSpacing;
  const double valueWidth = box.paddingLeading + inner - valueX;

  double top = 0;
  for (const InfoRow& row : box.rows) {
    std::vector<PlacedText> placed;
    placed.push_back(place(row.label, shown(row.label), box.paddingLeading, labelWidth, measure));
    // Pieces follow one another on the line while they fit, else start the next.
    double x = valueX;
    double lineTop = 0;
    double lineBottom = 0;
    for (const Text& piece : row.value) {
      const std::string text = shown(piece);
      const double natural = measure.measure(piece, text, 0).width;
      if (x > valueX && x + natural > valueX + valueWidth) {
        x = valueX;
        lineTop = lineBottom;
      }
      // The last piece takes the rest of the column to wrap in.
      const double room = valueX + valueWidth - x;
      PlacedText p = place(piece, text, x, &piece == &row.value.back() ? room : std::min(natural, room), measure);
      p.y = lineTop;
      lineBottom = std::max(lineBottom, p.y + p.height);
      x += p.width + 2;
      placed.push_back(std::move(p));
    }
    // One baseline for the label and the value's first line.
    double baseline = 0;
    for (const PlacedText& p : placed) {
      if (p.y == 0) baseline = std::max(baseline, p.baseline);
    }
    // Later lines of the value move with its first piece.
    const double valueShift = placed.size() > 1 ? baseline - placed[1].baseline : 0;
    double bottom = 0;
    for (PlacedText& p : placed) {
      p.y += p.y == 0 ? baseline - p.baseline : valueShift;
      p.y += top;
      p.baseline += p.y;
      bottom = std::max(bottom, p.y + p.height);
      out.push_back(std::move(p));
    }
    top = bottom + box.rowSpacing;
  }
  return box.rows.empty() ? 0 : top - box.rowSpacing;
}

// The one-line form: the figure at the trailing margin, the name in the room
// left of it, both on one baseline; placed from 0; its height.
double placeLine(const InfoBox& box, const std::function<std::string(const Text&)>& shown,
                 const TextMeasure& measure, std::vector<PlacedText>& out) {
  std::vector<PlacedText> placed;
  double trailingX = box.width - box.paddingTrailing;
  if (box.trailing) {
    const std::string text = shown(*box.trailing);
    const double width = std::min(measure.measure(*box.trailing, text, 0).width,
                                  box.width - box.paddingLeading - box.paddingTrailing);
    trailingX -= width;
    placed.push_back(place(*box.trailing, text, trailingX, width, measure));
    trailingX -= box.columnSpacing;
  }
  if (box.leading) {
    Text name = *box.leading;
    name.maxLines = 1;
    placed.push_back(place(name, shown(name), box.paddingLeading, std::max(0.0, trailingX - box.paddingLeading), measure));
  }
  double baseline = 0;
  for (const PlacedText& p : placed) baseline = std::max(baseline, p.baseline);
  double bottom = 0;
  for (PlacedText& p : placed) {
    p.y = baseline - p.baseline;
    p.baseline = baseline;
    bottom = std::max(bottom, p.y + p.height);
    out.push_back(std::move(p));
  }
  return bottom;
}

}  // namespace

InfoBoxLayout layoutInfoBox(const InfoBox& box, const std::function<std::string(const Text&)>& shown,
                            const TextMeasure& measure) {
  InfoBoxLayout layout{box.width, box.height, {}};
  const double height = box.rows.empty() ? placeLine(box, shown, measure, layout.texts)
                                         : placeRows(box, shown, measure, layout.texts);
  // Centred between the margins; never above the box's top.
  const double room = box.height - box.paddingTop - box.paddingBottom;
  const double top = std::max(0.0, box.paddingTop + (room - height) / 2);
  for (PlacedText& p : layout.texts) {
    p.y += top;
    p.baseline += top;
  }
  return layout;
}

void collectTexts(const Stack& stack, std::vector<Text>& out) {
  walk(stack, [&](const Element& element) {
    if (const auto* text = std::get_if<Text>(&element.node)) out.push_back(*text);
    if (const auto* button = std::get_if<Button>(&element.node); button != nullptr && button->label) {
      out.push_back(*button->label);
    }
  });
}

void collectImages(const Stack& stack, std::vector<std::string>& out) {
  walk(stack, [&](const Element& element) {
    if (const auto* image = std::get_if<Image>(&element.node)) out.push_back(image->name);
    if (const auto* button = std::get_if<Button>(&element.node); button != nullptr && button->trailingImage) {
      out.push_back(button->trailingImage->name);
    }
  });
}

void collectButtons(const Stack& stack, std::vector<Button>& out) {
  walk(stack, [&](const Element& element) {
    if (const auto* button = std::get_if<Button>(&element.node)) out.push_back(*button);
  });
}

}  // namespace popup
