#include "win32/Win32Support.h"

#include <objidl.h>
#include <shellapi.h>

#include <gdiplus.h>

#include <algorithm>
#include <cstring>

namespace pakforge::win32 {

int windowDpi(HWND window) {
    // Windows 10 1607 and later; looked up so that older systems start too.
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow && window) {
        if (const UINT dpi = getDpiForWindow(window); dpi > 0) return static_cast<int>(dpi);
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

void adjustForFrame(RECT& rect, DWORD style, DWORD exStyle, int dpi) {
    // Windows 10 1607 and later, as GetDpiForWindow.
    using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = reinterpret_cast<AdjustFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "AdjustWindowRectExForDpi")));
    if (adjustForDpi && adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi))) return;
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
}

RECT scaledRect(const Place& place96, int dpi) {
    const Place place = ui::scaled(place96, dpi);
    return {place.left, place.top, place.left + place.width, place.top + place.height};
}

Font makeFont(const ui::FontSpec& spec, int dpi) {
    LOGFONTW font{};
    // Negative: the height of the characters, not of the cell.
    font.lfHeight = -ui::scaled(spec.pixels, dpi);
    font.lfWeight = spec.bold ? FW_BOLD : FW_NORMAL;
    font.lfUnderline = spec.underline ? TRUE : FALSE;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    const std::wstring face = wide(spec.face);
    wcsncpy(font.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    return Font(CreateFontIndirectW(&font));
}

SIZE textSize(HFONT font, std::wstring_view text) {
    SIZE size{};
    HDC screen = GetDC(nullptr);
    HGDIOBJ old = SelectObject(screen, font);
    GetTextExtentPoint32W(screen, text.data(), static_cast<int>(text.size()), &size);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    return size;
}

GdiPlusSession::GdiPlusSession() {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
}

GdiPlusSession::~GdiPlusSession() {
    if (token_) Gdiplus::GdiplusShutdown(token_);
}

Picture::Picture(const wchar_t* resourceName) {
    HRSRC found = FindResourceW(nullptr, resourceName, MAKEINTRESOURCEW(10)); // RT_RCDATA
    if (!found) return;
    const DWORD size = SizeofResource(nullptr, found);
    const void* bytes = LockResource(LoadResource(nullptr, found));
    if (!bytes || size == 0) return;
    // GDI+ reads the PNG through a stream of its own copy.
    HGLOBAL copy = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!copy) return;
    std::memcpy(GlobalLock(copy), bytes, size);
    GlobalUnlock(copy);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy, TRUE, &stream))) {
        GlobalFree(copy);
        return;
    }
    {
        Gdiplus::Bitmap decoded(stream);
        if (decoded.GetLastStatus() == Gdiplus::Ok) {
            // Premultiplied, which GDI+ draws fastest, and free of the stream.
            const INT width = static_cast<INT>(decoded.GetWidth());
            const INT height = static_cast<INT>(decoded.GetHeight());
            bitmap_ = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
            Gdiplus::Graphics graphics(bitmap_.get());
            graphics.DrawImage(&decoded, 0, 0, width, height);
        }
    }
    stream->Release();
}

Picture::~Picture() = default;

namespace {

void drawScaled(Gdiplus::Graphics& graphics, Gdiplus::Bitmap& bitmap, const Gdiplus::Rect& target) {
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
    graphics.SetCompositingQuality(Gdiplus::CompositingQualityHighQuality);
    // Without this the edges blend with what lies outside the picture.
    Gdiplus::ImageAttributes attributes;
    attributes.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    graphics.DrawImage(&bitmap, target, 0, 0, static_cast<INT>(bitmap.GetWidth()),
                       static_cast<INT>(bitmap.GetHeight()), Gdiplus::UnitPixel, &attributes);
}

} // namespace

void Picture::draw(HDC dc, const RECT& target, bool keepAspect) const {
    if (!bitmap_) return;
    int width = target.right - target.left;
    int height = target.bottom - target.top;
    int left = target.left;
    int top = target.top;
    if (keepAspect && width > 0 && height > 0) {
        const double scale = std::min(static_cast<double>(width) / bitmap_->GetWidth(),
                                      static_cast<double>(height) / bitmap_->GetHeight());
        const int fitWidth = static_cast<int>(bitmap_->GetWidth() * scale + 0.5);
        const int fitHeight = static_cast<int>(bitmap_->GetHeight() * scale + 0.5);
        left += (width - fitWidth) / 2;
        top += (height - fitHeight) / 2;
        width = fitWidth;
        height = fitHeight;
    }
    Gdiplus::Graphics graphics(dc);
    drawScaled(graphics, *bitmap_, Gdiplus::Rect(left, top, width, height));
}

Icon Picture::icon(int width, int height) const {
    if (!bitmap_ || width <= 0 || height <= 0) return nullptr;
    Gdiplus::Bitmap canvas(width, height, PixelFormat32bppARGB);
    {
        Gdiplus::Graphics graphics(&canvas);
        graphics.Clear(Gdiplus::Color(0, 0, 0, 0));
        drawScaled(graphics, *bitmap_, Gdiplus::Rect(0, 0, width, height));
    }
    HICON icon = nullptr;
    if (canvas.GetHICON(&icon) != Gdiplus::Ok) return nullptr;
    return Icon(icon);
}

namespace {

constexpr const wchar_t* kPictureAreaClass = L"PakforgePictureArea";

LRESULT CALLBACK pictureAreaProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_NCCREATE: {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        break;
    }
    case WM_NCHITTEST:
        // Clicks and the cursor belong to what lies beneath.
        return HTTRANSPARENT;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (const auto* area =
                reinterpret_cast<const PictureArea*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
            RECT client;
            GetClientRect(window, &client);
            const Brush fill(CreateSolidBrush(area->background));
            FillRect(dc, &client, fill.get());
            if (area->picture) area->picture->draw(dc, client, area->keepAspect);
        }
        EndPaint(window, &paint);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

bool registerWindowClass(const wchar_t* name, WNDPROC procedure, int background) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &windowClass)) return true;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(background));
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) != 0;
}

HWND createPictureArea(HWND parent, int id, const Place& place96, int dpi, PictureArea& area) {
    registerWindowClass(kPictureAreaClass, pictureAreaProc, 0);
    const RECT place = scaledRect(place96, dpi);
    return CreateWindowExW(0, kPictureAreaClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, place.left,
                           place.top, place.right - place.left, place.bottom - place.top, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                           &area);
}

ui::Answer showMessageBox(HWND owner, std::u16string_view caption, std::u16string_view text,
                          ui::MessageIcon icon, ui::Buttons buttons) {
    static constexpr UINT icons[] = {MB_ICONERROR, MB_ICONINFORMATION, MB_ICONQUESTION};
    const UINT style = icons[static_cast<int>(icon)] | (buttons == ui::Buttons::yesNo ? MB_YESNO : MB_OK);
    switch (MessageBoxW(owner, wide(text).c_str(), wide(caption).c_str(), style)) {
    case IDYES:
        return ui::Answer::yes;
    case IDNO:
        return ui::Answer::no;
    case IDOK:
        return ui::Answer::ok;
    default:
        return ui::Answer::none;
    }
}

bool shellOpen(HWND owner, std::u16string_view fileOrUrl) {
    const HINSTANCE result =
        ShellExecuteW(owner, L"open", wide(fileOrUrl).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

HWND createChild(HWND parent, const wchar_t* windowClass, const wchar_t* text, DWORD style, DWORD exStyle,
                 int id, const Place& place96, int dpi) {
    const RECT place = scaledRect(place96, dpi);
    return CreateWindowExW(exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style,
                           place.left, place.top, place.right - place.left, place.bottom - place.top, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                           nullptr);
}

HFONT Controls::font(const ui::FontSpec& spec) {
    for (const auto& [made, font] : fonts_)
        if (made.face == spec.face && made.pixels == spec.pixels && made.bold == spec.bold &&
            made.underline == spec.underline)
            return font.get();
    fonts_.emplace_back(spec, makeFont(spec, dpi_));
    return fonts_.back().second.get();
}

void Controls::setLabel(int id, std::wstring_view text) {
    // Sized to the new text first, then drawn whole, so that nothing of the
    // old text stays behind.
    HWND control = GetDlgItem(window_, id);
    const SIZE size = textSize(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), text);
    SetWindowPos(control, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowTextW(control, std::wstring(text).c_str());
    InvalidateRect(control, nullptr, TRUE);
}

HWND Controls::createControl(const ui::ControlRow& row, std::map<int, PictureArea>& areas) {
    const Place corner = ui::parentCorner(row.parent);
    const Place place{corner.left + row.place.left, corner.top + row.place.top, row.place.width,
                      row.place.height};
    const std::wstring text = wide(row.text);
    const auto child = [&](const wchar_t* windowClass, DWORD style, DWORD exStyle = 0) {
        return createChild(window_, windowClass, text.c_str(), style, exStyle, row.id, place, dpi_);
    };
    switch (row.kind) {
    case ui::Kind::panel:
    case ui::Kind::picture:
        return createPictureArea(window_, row.id, place, dpi_, areas.at(row.id));
    case ui::Kind::label:
    case ui::Kind::link:
        return child(L"STATIC", SS_LEFT | SS_NOPREFIX | (row.kind == ui::Kind::link ? SS_NOTIFY : 0));
    case ui::Kind::edit:
    case ui::Kind::readOnlyEdit:
        return child(L"EDIT",
                     WS_TABSTOP | ES_AUTOHSCROLL | (row.kind == ui::Kind::readOnlyEdit ? ES_READONLY : 0),
                     WS_EX_CLIENTEDGE);
    case ui::Kind::button:
        return child(L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON);
    case ui::Kind::list:
        return child(L"LISTBOX", WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY);
    case ui::Kind::groupBox:
        break;
    }
    return child(L"BUTTON", BS_GROUPBOX);
}

void Controls::create(std::span<const ui::ControlRow> rows, std::map<int, PictureArea>& areas) {
    std::vector<HWND> beneath;
    for (const ui::ControlRow& row : rows) {
        HWND control = createControl(row, areas);
        if (row.kind == ui::Kind::panel || row.kind == ui::Kind::groupBox) beneath.push_back(control);
        if (row.kind == ui::Kind::panel || row.kind == ui::Kind::picture) continue;
        HFONT rowFont = font(row.font);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(rowFont), FALSE);
        if (row.kind != ui::Kind::label && row.kind != ui::Kind::link) continue;
        // Sized to the text; a link at least to its designed size.
        const SIZE size = textSize(rowFont, wide(row.text));
        const RECT designed = scaledRect(row.place, dpi_);
        const bool fixed = row.place.width > 0;
        SetWindowPos(control, nullptr, 0, 0, std::max<int>(designed.right - designed.left, size.cx),
                     fixed ? designed.bottom - designed.top : size.cy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    for (HWND control : beneath)
        SetWindowPos(control, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

} // namespace pakforge::win32
