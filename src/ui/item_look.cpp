#include "ui/item_look.h"

namespace torvane::ui {

ColorFontRecord RecordForColor(const ColorFontRecord* existing, std::uint32_t color) {
  ColorFontRecord record = existing ? *existing : ColorFontRecord{};
  record.color = color;
  return record;
}

std::optional<ItemLook> ChooseItemLook(const ColorFontRecord* record, std::uint32_t state,
                                       const LogFontA& control_font, std::uint32_t window_text) {
  if (state & (kStateSelected | kStateDropHilited)) return std::nullopt;
  if (!record) return std::nullopt;
  ItemLook look;
  look.font = record->logfont.lfFaceName[0] != '\0' ? record->logfont : control_font;
  if (state & kStateBold) look.font.lfWeight = kBoldWeight;
  look.color = record->color == kSystemTextColor ? window_text : record->color;
  return look;
}

}  // namespace torvane::ui
