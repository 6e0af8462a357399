// Which font and colour the coloured tree draws an item's label in.
//
// Portable: no windows.h. `LogFontA` has the layout of the platform's
// LOGFONTA (60 bytes), so the paint copies descriptions in and out as bytes.
#pragma once

#include <cstdint>
#include <optional>

namespace torvane::ui {

struct LogFontA {
  std::int32_t lfHeight = 0;
  std::int32_t lfWidth = 0;
  std::int32_t lfEscapement = 0;
  std::int32_t lfOrientation = 0;
  std::int32_t lfWeight = 0;
  std::uint8_t lfItalic = 0;
  std::uint8_t lfUnderline = 0;
  std::uint8_t lfStrikeOut = 0;
  std::uint8_t lfCharSet = 0;
  std::uint8_t lfOutPrecision = 0;
  std::uint8_t lfClipPrecision = 0;
  std::uint8_t lfQuality = 0;
  std::uint8_t lfPitchAndFamily = 0;
  char lfFaceName[32] = {};
};
static_assert(sizeof(LogFontA) == 60);

// A colour and font record as the tree keeps it per item.
struct ColorFontRecord {
  std::uint32_t color = 0;  // 0x00BBGGRR, or kSystemTextColor
  LogFontA logfont;         // empty face name: the control's own font
};

inline constexpr std::uint32_t kSystemTextColor = 0xFFFFFFFFu;
inline constexpr std::uint32_t kRed = 0x000000FFu;
inline constexpr std::uint32_t kBlack = 0x00000000u;

// Tree item state bits the paint reads.
inline constexpr std::uint32_t kStateSelected = 0x0002;
inline constexpr std::uint32_t kStateDropHilited = 0x0008;
inline constexpr std::uint32_t kStateBold = 0x0010;
inline constexpr std::int32_t kBoldWeight = 700;

struct ItemLook {
  LogFontA font;
  std::uint32_t color = 0;  // a real colour, never kSystemTextColor
};

// The record a scan leaves on a leaf: colour by health, the control's font.
ColorFontRecord RecordForColor(const ColorFontRecord* existing, std::uint32_t color);

// The leaf colour for a health flag (1 healthy).
constexpr std::uint32_t HealthColor(std::uint8_t healthy) { return healthy == 1 ? kBlack : kRed; }

// How to redraw an item over the platform's own drawing, or nothing when the
// platform's drawing stands: no record, or the item is selected or
// drop-highlighted. `control_font` is the control's current font;
// `window_text` the system window-text colour at this paint.
std::optional<ItemLook> ChooseItemLook(const ColorFontRecord* record, std::uint32_t state,
                                       const LogFontA& control_font, std::uint32_t window_text);

}  // namespace torvane::ui
