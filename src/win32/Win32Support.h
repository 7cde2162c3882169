// Small pieces the Win32 windows share: text conversion, the screen-density
// rule, fonts, the pictures (PNG resources drawn with GDI+), message boxes
// and the top-level handler.
#pragma once

#include "ui/Layout.h"
#include "ui/Toolkit.h"
#include "ui/WindowRules.h"

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace Gdiplus {
class Bitmap;
}

namespace pakforge::win32 {

// wchar_t is 16 bits wide here, so UTF-16 text passes as it is.
inline std::wstring wide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}
inline std::u16string utf16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

// The window's dots per inch: GetDpiForWindow where the system has it (a
// per-monitor aware program gets its monitor's), else the screen's.
int windowDpi(HWND window);
// Grows a client rectangle to the window's, with the frame at this density
// where the system can tell.
void adjustForFrame(RECT& rect, DWORD style, DWORD exStyle, int dpi);

struct GdiObjectDeleter {
    void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using Font = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiObjectDeleter>;
using Brush = std::unique_ptr<std::remove_pointer_t<HBRUSH>, GdiObjectDeleter>;

// A font whose characters are spec.pixels high at 96 dots per inch.
Font makeFont(const ui::FontSpec& spec, int dpi);
// The size of the text in that font, in pixels.
SIZE textSize(HFONT font, std::wstring_view text);

struct IconDeleter {
    void operator()(HICON icon) const { DestroyIcon(icon); }
};
using Icon = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

// GDI+ for the life of the program.
class GdiPlusSession {
  public:
    GdiPlusSession();
    ~GdiPlusSession();
    GdiPlusSession(const GdiPlusSession&) = delete;
    GdiPlusSession& operator=(const GdiPlusSession&) = delete;

  private:
    ULONG_PTR token_ = 0;
};

// One of the pictures rendered from our SVG documents at build time and
// stored as PNG resources (RCDATA by name).
class Picture {
  public:
    explicit Picture(const wchar_t* resourceName);
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    bool loaded() const { return bitmap_ != nullptr; }
    // Drawn into the rectangle, smoothly scaled; keepAspect centres it at
    // the largest size with its proportions.
    void draw(HDC dc, const RECT& target, bool keepAspect = false) const;
    // An icon of the picture at this size (for buttons).
    Icon icon(int width, int height) const;

  private:
    std::unique_ptr<Gdiplus::Bitmap> bitmap_;
};

struct Pictures {
    Picture banner{L"BANNER"};
    Picture browse{L"BROWSE"};
    Picture product{L"PRODUCT"};
    Picture info{L"INFO"};
    Picture update{L"UPDATE"};
};

using ui::Place;
RECT scaledRect(const Place& place96, int dpi);

// A child window that fills itself with a colour and, if it has one, draws
// a picture over it (the banners and the small pictures).
struct PictureArea {
    COLORREF background = 0;
    const Picture* picture = nullptr;
    bool keepAspect = false;
};
HWND createPictureArea(HWND parent, int id, const Place& place96, int dpi, PictureArea& area);

// A box with the icon and its buttons; the button chosen.
ui::Answer showMessageBox(HWND owner, std::u16string_view caption, std::u16string_view text,
                          ui::MessageIcon icon, ui::Buttons buttons = ui::Buttons::ok);

// Opens a file or a web address with its program; false when none started.
bool shellOpen(HWND owner, std::u16string_view fileOrUrl);

// Registers a window class of this program once per process (later calls
// only answer); background a system colour index + 1, or none for 0.
bool registerWindowClass(const wchar_t* name, WNDPROC procedure, int background);

// The window procedure of a window that belongs to an object: the object
// passed to CreateWindowExW is kept with the window, learns its handle and
// handles its messages under the top-level rule, so nothing unwinds through
// the system's frames.
template <class Window>
LRESULT dispatchToWindowObject(HWND window, UINT message, WPARAM wParam, LPARAM lParam, HWND Window::*handle,
                               LRESULT (Window::*handler)(UINT, WPARAM, LPARAM)) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Window*>(reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->*handle = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    ui::runHandler(*self, [&] { result = (self->*handler)(message, wParam, lParam); });
    return result;
}

// A visible child window at a place given at 96 dots per inch.
HWND createChild(HWND parent, const wchar_t* windowClass, const wchar_t* text, DWORD style, DWORD exStyle,
                 int id, const Place& place96, int dpi);

// A window's controls from its layout table, in table order, each with its
// row's font (made once per font); the pictures and panels draw the areas
// given by id. The panel and group box then go beneath what lies on them.
class Controls {
  public:
    Controls(HWND window, int dpi) : window_(window), dpi_(dpi) {}
    void create(std::span<const ui::ControlRow> rows, std::map<int, PictureArea>& areas);
    HFONT font(const ui::FontSpec& spec);
    // Sets a label's text, sized to it and drawn whole.
    void setLabel(int id, std::wstring_view text);

  private:
    HWND createControl(const ui::ControlRow& row, std::map<int, PictureArea>& areas);

    HWND window_;
    int dpi_;
    std::vector<std::pair<ui::FontSpec, Font>> fonts_;
};

} // namespace pakforge::win32
