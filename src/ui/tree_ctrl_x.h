// The tree control whose items each carry a text colour and a font.
#pragma once

#include <unordered_map>

#include "ui/framework.h"

namespace torvane::ui {

class CTreeCtrlX : public CTreeCtrl {
 public:
  struct Color_Font {
    COLORREF color;    // 0xFFFFFFFF: the system window-text colour
    LOGFONTA logfont;  // empty face name: the control's own font
  };

  CTreeCtrlX() = default;
  ~CTreeCtrlX() override = default;

  // Records `color` for `item`, keeping a font it already has. No repaint.
  void SetItemTextColor(HTREEITEM item, COLORREF color);
  const Color_Font* FindColorFont(HTREEITEM item) const;

  const MessageMap* GetMessageMap() const override;

 protected:
  void OnPaint();

 private:
  // Draws the labels of the recorded, visible, unselected items again over
  // the control's own drawing in `dc`.
  void DrawRecordedItems(HDC dc);
  LOGFONTA ControlFont() const;

  std::unordered_map<HTREEITEM, Color_Font> m_colorFontMap;
};

}  // namespace torvane::ui
