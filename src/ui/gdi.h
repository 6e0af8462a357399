// Owners of the drawing objects one paint creates and releases.
#pragma once

#include <windows.h>

namespace torvane::ui {

// BeginPaint ... EndPaint.
class PaintContext {
 public:
  explicit PaintContext(HWND window) : window_(window) { dc_ = ::BeginPaint(window_, &paint_); }
  PaintContext(const PaintContext&) = delete;
  PaintContext& operator=(const PaintContext&) = delete;
  ~PaintContext() { ::EndPaint(window_, &paint_); }
  HDC dc() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

// A font, bitmap or region this code created and deletes.
template <class Handle>
class GdiObject {
 public:
  explicit GdiObject(Handle handle = nullptr) : handle_(handle) {}
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  ~GdiObject() {
    if (handle_) ::DeleteObject(handle_);
  }
  Handle get() const { return handle_; }

 private:
  Handle handle_;
};

// Selects an object into a device context and puts the old one back.
class ScopedSelect {
 public:
  ScopedSelect(HDC dc, HGDIOBJ object) : dc_(dc), old_(::SelectObject(dc, object)) {}
  ScopedSelect(const ScopedSelect&) = delete;
  ScopedSelect& operator=(const ScopedSelect&) = delete;
  ~ScopedSelect() { ::SelectObject(dc_, old_); }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// An off-screen copy of a window's client area that reaches the screen in
// one BitBlt of the screen's clip box when it goes out of scope. Drawing in
// dc() is clipped to that box; memory and client coordinates coincide.
class DoubleBuffer {
 public:
  DoubleBuffer(HDC screen, const RECT& client) : screen_(screen) {
    memory_ = ::CreateCompatibleDC(screen_);
    ::GetClipBox(screen_, &clip_);
    bitmap_ = ::CreateCompatibleBitmap(screen_, client.right - client.left, client.bottom - client.top);
    ::SelectObject(memory_, bitmap_);
    // The device context keeps its own copy of the region.
    GdiObject<HRGN> region(::CreateRectRgnIndirect(&clip_));
    ::SelectClipRgn(memory_, region.get());
  }
  DoubleBuffer(const DoubleBuffer&) = delete;
  DoubleBuffer& operator=(const DoubleBuffer&) = delete;
  ~DoubleBuffer() {
    ::BitBlt(screen_, clip_.left, clip_.top, clip_.right - clip_.left, clip_.bottom - clip_.top, memory_,
             clip_.left, clip_.top, SRCCOPY);
    ::DeleteDC(memory_);
    ::DeleteObject(bitmap_);
  }
  HDC dc() const { return memory_; }

 private:
  HDC screen_;
  HDC memory_;
  HBITMAP bitmap_;
  RECT clip_{};
};

}  // namespace torvane::ui
