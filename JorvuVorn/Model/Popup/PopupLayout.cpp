#include "JorvuVorn/Model/Popup/PopupLayout.hpp"

namespace popup {

namespace {

template <class Visit>
void walk(const Stack& stack, Visit&& visit) {
  for (const Element& element : stack.children) {
    if (const auto* inner = std::get_if<Stack>(&element.node)) {
      walk(*inner, visit);
    } else if (const auto* box = std::get_if<Box>(&element.node)) {
      walk(box->content, visit);
    } else {
      visit(element);
    }
  }
}

}  // namespace

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
