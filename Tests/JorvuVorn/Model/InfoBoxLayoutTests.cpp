// Where the information boxes put their texts, measured with the fonts the
// popups draw with, without a display.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "JorvuVorn/Model/Popup/PopupFormatting.hpp"
#include "JorvuVorn/Model/Popup/PopupViews.hpp"
#include "JorvuVorn/Model/Popup/StringTable.hpp"
#include "JorvuVorn/View/Popup/PopupText.hpp"

// fontconfig keeps its configuration until the program exits (as in the
// tests under Xvfb, Tests/Support/lsan-gui.supp).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using popup::InfoBox;
using popup::InfoBoxLayout;
using popup::PlacedText;

const std::string kLongReason = "Regular server maintenance and the winter season update";
const std::string kLongerReason =
    "Regular server maintenance, the winter season update, new regions for the league and a long list of fixes "
    "that would never fit in two lines";

const std::string kKoreanReason = "정기 서버 점검과 겨울 시즌 업데이트가 함께 진행됩니다";

const InfoBox& infoBoxOf(const popup::Body& body) {
  for (const popup::Element& element : body.content.children) {
    if (const auto* box = std::get_if<InfoBox>(&element.node)) return *box;
  }
  throw std::runtime_error("no information box");
}

struct Measured {
  InfoBox box;
  InfoBoxLayout layout;
};

const PangoTextMeasure& fontMeasure() {
  static const PangoTextMeasure measure;
  return measure;
}

Measured measure(const PopupView& view, const std::string& language) {
  const PangoTextMeasure& measure = fontMeasure();
  const StringTable strings = StringTable::load(JORVU_SOURCE_RESOURCES, language);
  const InfoBox box = infoBoxOf(body(view, PopupEnvironment{language, "help.test"}));
  InfoBoxLayout layout = popup::layoutInfoBox(
      box, [&](const popup::Text& text) { return text.verbatim ? text.key : strings.localized(text.key, text.values); },
      measure);
  return {box, std::move(layout)};
}

// What holds for every box: its size, and every text inside its margins.
void expectInsideTheBox(const Measured& m) {
  EXPECT_EQ(m.layout.width, 400);
  EXPECT_EQ(m.layout.height, m.box.height);
  for (const PlacedText& t : m.layout.texts) {
    SCOPED_TRACE(t.shown);
    EXPECT_GE(t.x, m.box.paddingLeading);
    EXPECT_LE(t.x + t.width, m.box.width - m.box.paddingTrailing + 0.01);
    EXPECT_GE(t.y, 0);
    EXPECT_LE(t.y + t.height, m.box.height);
  }
}

// Labels in one column at the leading margin, values in the next, 12 points
// on, each label on the baseline of its value's first line.
void expectAlignedColumns(const Measured& m) {
  double labelRight = 0;
  std::vector<const PlacedText*> labels, firstValues;
  for (const PlacedText& t : m.layout.texts) {
    const bool isLabel = t.text.color == "#999999";
    if (isLabel) {
      labels.push_back(&t);
      labelRight = std::max(labelRight, t.x + t.width);
    } else if (labels.size() > firstValues.size()) {
      firstValues.push_back(&t);
    }
  }
  ASSERT_EQ(labels.size(), m.box.rows.size());
  ASSERT_EQ(firstValues.size(), labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) {
    EXPECT_EQ(labels[i]->x, m.box.paddingLeading);
    EXPECT_EQ(firstValues[i]->x, firstValues[0]->x);
    EXPECT_NEAR(firstValues[i]->x, labelRight + 12, 0.01);
    EXPECT_NEAR(labels[i]->baseline, firstValues[i]->baseline, 0.01) << labels[i]->shown;
    if (i > 0) {
      EXPECT_GE(labels[i]->y, firstValues[i - 1]->y + firstValues[i - 1]->height + 8 - 0.01);
    }
  }
}

const PlacedText& placed(const Measured& m, const std::string& shown) {
  for (const PlacedText& t : m.layout.texts) {
    if (t.shown == shown) return t;
  }
  throw std::runtime_error("not placed: " + shown);
}

TEST(InfoBoxLayout, MaintenanceValuesWrapInTheirColumnUpToTwoLines) {
  for (const std::string& language : {std::string("en"), std::string("ko")}) {
    for (const std::string& reason : {std::string("Update"), kLongReason, kLongerReason, kKoreanReason}) {
      SCOPED_TRACE(language + ": " + reason);
      const Measured m = measure(MaintenanceErrorView{{480, 376}, {"2026-12-07 09:00", "2026-12-07 11:00", reason, ""}},
                                 language);
      expectInsideTheBox(m);
      expectAlignedColumns(m);
      const PlacedText& shown = placed(m, reason);
      const PlacedText& start = placed(m, "2026-12-07 09:00");
      // Values take the column's width, not their text's.
      EXPECT_NEAR(shown.x + shown.width, 400 - 27, 0.01);
      const double oneLine = start.height;
      if (reason == "Update") EXPECT_NEAR(shown.height, oneLine, 0.5);
      else EXPECT_NEAR(shown.height, 2 * oneLine, 1) << "two lines, the rest cut";
    }
  }
}

TEST(InfoBoxLayout, OSVersionRowsStayInTheirColumns) {
  for (const std::string& language : {std::string("en"), std::string("ko")}) {
    SCOPED_TRACE(language);
    const Measured m = measure(OSVersionErrorView{{480, 347}, {10.13f, 11.0f}}, language);
    expectInsideTheBox(m);
    expectAlignedColumns(m);
    // "or higher" follows the version on its line, 2 points on.
    const PlacedText& limit = placed(m, "macOS Big Sur 11.0");
    const PlacedText& orHigher = m.layout.texts[2];
    EXPECT_EQ(orHigher.text.key, "or higher");
    EXPECT_NEAR(orHigher.baseline, limit.baseline, 0.01);
    EXPECT_GE(orHigher.x, limit.x + limit.width + 2 - 0.01);
  }
}

TEST(InfoBoxLayout, DiskSpaceNameIsCutBeforeTheFreeSpace) {
  for (const std::string& name : {std::string("Data"), std::string(120, 'W'), std::string("아주 긴 이름의 외장 디스크 볼륨 ") + std::string(40, 'x')}) {
    SCOPED_TRACE(name);
    const Measured m = measure(DriverSpaceErrorView{{480, 287}, {5'000'000'000, 12'300'000'000, SetupOpreation::install}, name}, "en");
    expectInsideTheBox(m);
    const PlacedText& volume = placed(m, name);
    const PlacedText& free = placed(m, "12.3GB left");
    EXPECT_EQ(volume.x, 27);
    EXPECT_NEAR(free.x + free.width, 400 - 27, 0.01);
    EXPECT_LE(volume.x + volume.width, free.x - 12 + 0.01);
    EXPECT_NEAR(volume.baseline, free.baseline, 0.01);
    EXPECT_NEAR(volume.height, free.height, 1) << "one line";
  }
}

// Whether the layout's last line ends in an ellipsis.
bool endsInEllipsis(PangoLayout* layout) {
  bool ellipsis = false;
  for (GSList* run = pango_layout_get_line_readonly(layout, pango_layout_get_line_count(layout) - 1)->runs;
       run != nullptr; run = run->next) {
    ellipsis = static_cast<PangoGlyphItem*>(run->data)->item->analysis.flags & PANGO_ANALYSIS_FLAG_IS_ELLIPSIS;
  }
  return ellipsis;
}

TEST(InfoBoxLayout, LineBreaksKeepEveryLineLimit) {
  const CapacityError capacity{5'000'000'000, 12'300'000'000, SetupOpreation::install};
  for (const std::string language : {"en", "ko"}) {
    const std::string reason = language == "ko" ? "정기 서버 점검\n겨울 시즌 업데이트\r\n새 지역 추가\n\t여러 오류 수정\u2029일부 지역은 더 늦게 끝납니다\n자세한 내용은 공지 참고"
                                                : "First line\nSecond line\r\nThird line\n\tFourth line\u2029Fifth line\nSixth line\nSeventh line\nEighth";
    for (const Measured& m :
         {measure(MaintenanceErrorView{{480, 376}, {"2026-12-07\n09:00\nKST", "2026-12-07\r\n11:00\u2029KST", reason, ""}}, language),
          measure(DriverSpaceErrorView{{480, 287}, capacity, language == "ko" ? "게임\n디스크" : "Game\nDisk"}, language)}) {
      expectInsideTheBox(m);
      for (const PlacedText& t : m.layout.texts) {
        if (t.text.maxLines == 0) continue;
        SCOPED_TRACE(language + ": " + t.shown);
        PangoLayout* layout = fontMeasure().layout(t.text, t.shown, t.width);
        EXPECT_EQ(pango_layout_get_line_count(layout), t.shown == reason ? 2 : 1);
        EXPECT_EQ(endsInEllipsis(layout), t.shown == reason);
        g_object_unref(layout);
      }
    }
  }
}

}  // namespace
