#include "ui/tree_ctrl_x.h"

#include <bit>
#include <cstddef>
#include <string>

#include "ui/gdi.h"
#include "ui/item_look.h"

namespace torvane::ui {

namespace {

static_assert(sizeof(LOGFONTA) == sizeof(LogFontA));
static_assert(offsetof(LOGFONTA, lfWeight) == offsetof(LogFontA, lfWeight));
static_assert(offsetof(LOGFONTA, lfFaceName) == offsetof(LogFontA, lfFaceName));
static_assert(sizeof(CTreeCtrlX::Color_Font) == sizeof(ColorFontRecord));

LogFontA ToPortable(const LOGFONTA& font) { return std::bit_cast<LogFontA>(font); }

LOGFONTA ToPlatform(const LogFontA& font) { return std::bit_cast<LOGFONTA>(font); }

ColorFontRecord ToPortable(const CTreeCtrlX::Color_Font& record) {
  return ColorFontRecord{record.color, ToPortable(record.logfont)};
}

}  // namespace

void CTreeCtrlX::SetItemTextColor(HTREEITEM item, COLORREF color) {
  const auto found = m_colorFontMap.find(item);
  ColorFontRecord existing;
  if (found != m_colorFontMap.end()) existing = ToPortable(found->second);
  const ColorFontRecord record = RecordForColor(found != m_colorFontMap.end() ? &existing : nullptr, color);
  m_colorFontMap[item] = Color_Font{record.color, ToPlatform(record.logfont)};
}

const CTreeCtrlX::Color_Font* CTreeCtrlX::FindColorFont(HTREEITEM item) const {
  const auto found = m_colorFontMap.find(item);
  return found == m_colorFontMap.end() ? nullptr : &found->second;
}

const MessageMap* CTreeCtrlX::GetMessageMap() const {
  static const MessageMapEntry entries[] = {OnMessage(WM_PAINT, &CTreeCtrlX::OnPaint)};
  static const MessageMap map{CTreeCtrl::GetMessageMap(), entries, std::size(entries)};
  return &map;
}

void CTreeCtrlX::OnPaint() {
  PaintContext screen(m_hWnd);
  RECT client{};
  GetClientRect(&client);
  DoubleBuffer buffer(screen.dc(), client);
  // The control paints itself, every label in its own colour, into the
  // buffer; the recorded items are then drawn again over it.
  DefWindowProc(WM_PAINT, reinterpret_cast<WPARAM>(buffer.dc()), 0);
  DrawRecordedItems(buffer.dc());
}

LOGFONTA CTreeCtrlX::ControlFont() const {
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessage(WM_GETFONT));
  // A tree view always reports a font; should one not, it draws with the
  // stock GUI font.
  if (!font) font = ::GetStockObject(DEFAULT_GUI_FONT);
  LOGFONTA description{};
  ::GetObjectA(font, sizeof description, &description);
  return description;
}

void CTreeCtrlX::DrawRecordedItems(HDC dc) {
  HTREEITEM item = GetNextItem(nullptr, TVGN_FIRSTVISIBLE);
  if (!item) return;
  // Those fully visible, and the one cut by the bottom edge.
  UINT budget = GetVisibleCount() + 1;
  const LogFontA control_font = ToPortable(ControlFont());
  const COLORREF window_text = ::GetSysColor(COLOR_WINDOWTEXT);
  for (; item && budget > 0; --budget, item = GetNextItem(item, TVGN_NEXTVISIBLE)) {
    const UINT state = GetItemState(item, TVIS_SELECTED | TVIS_DROPHILITED | TVIS_BOLD);
    const Color_Font* record = FindColorFont(item);
    const ColorFontRecord portable = record ? ToPortable(*record) : ColorFontRecord{};
    const auto look = ChooseItemLook(record ? &portable : nullptr, state, control_font, window_text);
    if (!look) continue;

    const LOGFONTA description = ToPlatform(look->font);
    GdiObject<HFONT> font(::CreateFontIndirectA(&description));
    ScopedSelect selected(dc, font.get());
    ::SetTextColor(dc, look->color);
    const std::string text = GetItemText(item);
    RECT label{};
    GetItemRect(item, &label, TRUE);
    ::SetBkColor(dc, ::GetSysColor(COLOR_WINDOW));
    ::TextOutA(dc, label.left + 2, label.top + 1, text.data(), static_cast<int>(text.size()));
  }
}

}  // namespace torvane::ui
