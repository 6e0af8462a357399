// The coloured tree's choice of font and colour for an item.
#include <gtest/gtest.h>

#include <cstring>

#include "ui/item_look.h"

namespace torvane::ui {
namespace {

LogFontA Font(const char* face, std::int32_t height, std::int32_t weight) {
  LogFontA font;
  std::strncpy(font.lfFaceName, face, sizeof font.lfFaceName - 1);
  font.lfHeight = height;
  font.lfWeight = weight;
  return font;
}

constexpr std::uint32_t kSchemeText = 0x00336699;  // a window-text colour that is not black

TEST(ItemLookTest, WithoutARecordOrWhenSelectedOrDropHighlightedThePlatformDrawingStands) {
  const LogFontA control = Font("SimSun", -12, 400);
  const ColorFontRecord red{kRed, LogFontA{}};
  EXPECT_FALSE(ChooseItemLook(nullptr, 0, control, kSchemeText));
  EXPECT_FALSE(ChooseItemLook(&red, kStateSelected, control, kSchemeText));
  EXPECT_FALSE(ChooseItemLook(&red, kStateDropHilited, control, kSchemeText));
  EXPECT_FALSE(ChooseItemLook(&red, kStateSelected | kStateBold, control, kSchemeText));
  EXPECT_TRUE(ChooseItemLook(&red, 0x0001 /*focused*/ | 0x0020 /*expanded*/, control, kSchemeText));
}

TEST(ItemLookTest, AnEmptyFaceNameTakesTheControlFontAndANamedOneItsOwn) {
  const LogFontA control = Font("SimSun", -12, 400);
  const ColorFontRecord record{kRed, LogFontA{}};
  const auto plain = ChooseItemLook(&record, 0, control, kSchemeText);
  ASSERT_TRUE(plain);
  EXPECT_STREQ(plain->font.lfFaceName, "SimSun");
  EXPECT_EQ(plain->font.lfHeight, -12);
  EXPECT_EQ(plain->font.lfWeight, 400);

  const ColorFontRecord own{kRed, Font("Arial", -20, 300)};
  const auto named = ChooseItemLook(&own, 0, control, kSchemeText);
  ASSERT_TRUE(named);
  EXPECT_STREQ(named->font.lfFaceName, "Arial");
  EXPECT_EQ(named->font.lfHeight, -20);
  EXPECT_EQ(named->font.lfWeight, 300);
}

TEST(ItemLookTest, TheBoldStateSetsWeight700OverEitherFont) {
  const LogFontA control = Font("SimSun", -12, 400);
  const ColorFontRecord plain{kBlack, LogFontA{}};
  const ColorFontRecord heavy{kBlack, Font("Arial", -12, 900)};
  EXPECT_EQ(ChooseItemLook(&plain, kStateBold, control, kSchemeText)->font.lfWeight, 700);
  EXPECT_EQ(ChooseItemLook(&heavy, kStateBold, control, kSchemeText)->font.lfWeight, 700);
  EXPECT_EQ(ChooseItemLook(&heavy, 0, control, kSchemeText)->font.lfWeight, 900);
}

TEST(ItemLookTest, BlackIsARealColourAndOnlyAllOnesFollowsTheScheme) {
  const LogFontA control = Font("SimSun", -12, 400);
  const ColorFontRecord black{kBlack, LogFontA{}};
  const ColorFontRecord red{kRed, LogFontA{}};
  const ColorFontRecord scheme{kSystemTextColor, LogFontA{}};
  EXPECT_EQ(ChooseItemLook(&black, 0, control, kSchemeText)->color, kBlack);
  EXPECT_EQ(ChooseItemLook(&red, 0, control, kSchemeText)->color, kRed);
  EXPECT_EQ(ChooseItemLook(&scheme, 0, control, kSchemeText)->color, kSchemeText);
}

TEST(ItemLookTest, ANewColourKeepsTheFontOfTheRecordAndANewRecordHasNoFace) {
  const ColorFontRecord fresh = RecordForColor(nullptr, kRed);
  EXPECT_EQ(fresh.color, kRed);
  EXPECT_EQ(fresh.logfont.lfFaceName[0], '\0');

  const ColorFontRecord existing{kRed, Font("Arial", -20, 300)};
  const ColorFontRecord recoloured = RecordForColor(&existing, kBlack);
  EXPECT_EQ(recoloured.color, kBlack);
  EXPECT_STREQ(recoloured.logfont.lfFaceName, "Arial");
  EXPECT_EQ(recoloured.logfont.lfHeight, -20);

  EXPECT_EQ(HealthColor(1), kBlack);
  EXPECT_EQ(HealthColor(0), kRed);
}

}  // namespace
}  // namespace torvane::ui
