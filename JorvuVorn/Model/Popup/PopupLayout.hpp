#pragma once
// The description of a popup's content that the GTK views draw: a tree of
// stacks, boxes, texts, images, spaces and buttons with their fonts, colours
// and sizes in points. Texts are string-table keys with the values their
// patterns take (or verbatim texts); buttons carry the answer they hand to
// the launch flow and, for the troubleshooting button, the help page to open
// first. Nothing here needs a display.
//
// Plain values; any thread.
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "JorvuVorn/Model/PanelSize.hpp"

namespace popup {

// The app's font weights; the views map them onto one installed family.
enum class FontWeight { regular, medium, bold };

struct Font {
  FontWeight weight = FontWeight::regular;
  double size = 12;
  bool operator==(const Font&) const = default;
};

struct Text {
  std::string key;                  // a string-table key, or the text itself when verbatim
  std::vector<std::string> values;  // put into the key's pattern
  bool verbatim = false;
  Font font;
  std::string color = "#000000";
  double letterSpacing = 0;
  bool underline = false;
  int maxLines = 0;  // 0: as many as it needs; else its line breaks and tabs show as spaces
  bool operator==(const Text&) const = default;
};

struct Image {
  std::string name;  // a resource image
  std::optional<PanelSize> size;  // its own size when absent
  bool operator==(const Image&) const = default;
};

// Empty space of a fixed length along the stack it is in.
struct Space {
  double length = 0;
  bool operator==(const Space&) const = default;
};

// Takes whatever room its stack has left.
struct Spacer {
  bool operator==(const Spacer&) const = default;
};

// The looks of a button (hover and pressed states are the views' concern).
enum class ButtonStyle {
  filled,       // 120 x 40, white label, radius 2; hover #3694ff, pressed #0077ff at 0.6
  outlined,     // 160 x 45, black label, radius 5, 0.5 black outline; pressed #989898, white label
  plain,        // the label (and image) only
  closeCircle,  // a 12 x 12 circle filled #ec695e
};

struct Button {
  ButtonStyle style = ButtonStyle::plain;
  std::optional<Text> label;
  std::optional<Image> trailingImage;
  std::string backgroundColor = "#ffffff";
  bool answer = false;                 // handed to the launch flow when pressed
  std::optional<std::string> helpURL;  // opened in the browser before answering
  bool operator==(const Button&) const = default;
};

struct Element;

enum class Axis { vertical, horizontal };
enum class Alignment { leading, center, trailing };

struct Stack {
  Axis axis = Axis::vertical;
  double spacing = 0;
  Alignment alignment = Alignment::center;
  std::vector<Element> children;
  bool operator==(const Stack&) const;
};

// A filled, rounded rectangle holding a stack: the information boxes and the
// title bar. A width or height of 0 fits the content (a width of -1 fills
// the parent).
struct Box {
  std::string fill = "#ffffff";
  double cornerRadius = 0;
  double width = 0;
  double height = 0;
  double paddingTop = 0, paddingLeading = 0, paddingBottom = 0, paddingTrailing = 0;
  Stack content;
  bool operator==(const Box&) const;
};

// One line of an information box: a grey label and, beside it, its value
// (pieces put one after another, 2 points apart, such as a version and "or
// higher").
struct InfoRow {
  Text label;
  std::vector<Text> value;
  bool operator==(const InfoRow&) const = default;
};

// An information box: a rounded rectangle of a fixed size, filled #f8f9fa.
// Either label and value columns (rows), or one line with a name at the
// leading edge and a figure at the trailing edge (leading, trailing). Its
// texts are placed by layoutInfoBox, never outside the box.
struct InfoBox {
  double width = 400;
  double height = 0;
  double paddingTop = 0, paddingLeading = 0, paddingBottom = 0, paddingTrailing = 0;
  double columnSpacing = 12;
  double rowSpacing = 8;
  std::vector<InfoRow> rows;
  std::optional<Text> leading;
  std::optional<Text> trailing;
  bool operator==(const InfoBox&) const = default;
};

struct Element {
  std::variant<Text, Image, Space, Spacer, Button, Stack, Box, InfoBox> node;
  bool operator==(const Element&) const = default;
};

inline bool Stack::operator==(const Stack& other) const {
  return axis == other.axis && spacing == other.spacing && alignment == other.alignment &&
         children == other.children;
}
inline bool Box::operator==(const Box& other) const {
  return fill == other.fill && cornerRadius == other.cornerRadius && width == other.width &&
         height == other.height && paddingTop == other.paddingTop && paddingLeading == other.paddingLeading &&
         paddingBottom == other.paddingBottom && paddingTrailing == other.paddingTrailing &&
         content == other.content;
}

// A popup's whole content, framed to its window's size.
struct Body {
  PanelSize size;
  std::string background = "#ffffff";
  bool shadow = false;         // black at 0.16, radius 10, 1 down
  bool alignedToTop = false;   // the stack starts at the top instead of being centred
  Stack content;
};

// How big a text is drawn: its lines wrapped within a width (and cut after
// its maxLines with an ellipsis), with the first line's baseline measured
// from its top. The views supply the measure of their fonts.
struct TextExtent {
  double width = 0;
  double height = 0;
  double baseline = 0;
};

class TextMeasure {
 public:
  virtual ~TextMeasure() = default;
  // `shown` in `text`'s font and spacing; `maxWidth` <= 0 keeps it on one
  // line whatever its length.
  virtual TextExtent measure(const Text& text, const std::string& shown, double maxWidth) const = 0;
};

// A text of an information box at its place, in points from the box's top
// leading corner; `width` is the width it is wrapped (or cut) within.
struct PlacedText {
  Text text;
  std::string shown;
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  double baseline = 0;  // of the first line, from the box's top
};

// Where the texts of an information box go. The box keeps its size: the
// label column is as wide as its widest label (at most 40% of the room
// inside the margins), the values start 12 points after it and wrap in what
// is left, each label stands on the baseline of its value's first line, and
// the rows are centred between the top and bottom margins. In the one-line
// form the figure keeps its width at the trailing margin and the name is
// cut to the room left of it.
struct InfoBoxLayout {
  double width = 0;
  double height = 0;
  std::vector<PlacedText> texts;
};
InfoBoxLayout layoutInfoBox(const InfoBox& box, const std::function<std::string(const Text&)>& shown,
                            const TextMeasure& measure);

// Every text and image of a body, depth first (tests and resource checks).
void collectTexts(const Stack& stack, std::vector<Text>& out);
void collectImages(const Stack& stack, std::vector<std::string>& out);
void collectButtons(const Stack& stack, std::vector<Button>& out);

}  // namespace popup
