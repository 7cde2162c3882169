#include "win32/AboutWindow.h"

#include "ui/WindowRules.h"

#include <algorithm>
#include <exception>

namespace pakforge::win32 {

namespace {

using namespace aboutids;

constexpr const wchar_t* kAboutClass = L"PakforgeAboutWindow";
constexpr int kClientWidth = 500;
constexpr int kClientHeight = 277;
constexpr COLORREF kBannerColour = RGB(238, 244, 249);
// Not clipping its children: the group box draws only its frame and caption,
// the window's own background shows inside it.
constexpr DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kWindowExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
// The group box's corner; what lies in it is placed from there.
constexpr int kGroupLeft = 13;
constexpr int kGroupTop = 92;

} // namespace

AboutWindow::AboutWindow(const Pictures& pictures, ui::VersionCheck& versionCheck, HWND mainWindow)
    : pictures_(pictures), form_(*this, versionCheck), owner_(mainWindow) {
    if (!registerWindowClass(kAboutClass, windowProc, COLOR_BTNHIGHLIGHT + 1))
        throw Exception("Unable to register the About window's class");
    window_ = CreateWindowExW(kWindowExStyle, kAboutClass, L"About Pakforge", kWindowStyle, CW_USEDEFAULT,
                              CW_USEDEFAULT, 100, 100, mainWindow, nullptr, GetModuleHandleW(nullptr), this);
    if (!window_) throw Exception("Unable to create the About window");
    dpi_ = windowDpi(window_);
    RECT frame{0, 0, scaled(kClientWidth, dpi_), scaled(kClientHeight, dpi_)};
    adjustForFrame(frame, kWindowStyle, kWindowExStyle, dpi_);
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    font_ = makeFont(L"Tahoma", 11, dpi_);
    titleFont_ = makeFont(L"Arial", 24, dpi_, true);
    linkFont_ = makeFont(L"Tahoma", 11, dpi_, false, true);
    bannerBrush_.reset(CreateSolidBrush(kBannerColour));
    createControls();
    form_.FormCreate();
}

AboutWindow::~AboutWindow() {
    if (window_) DestroyWindow(window_);
}

void AboutWindow::createControls() {
    // Only Close takes the focus; the rest is made first so that it lies
    // over the banner and the group box.
    HWND close = createChild(window_, L"BUTTON", L"Close", WS_TABSTOP | BS_PUSHBUTTON, 0, Button1,
                             {389, 240, 97, 28}, dpi_);
    SendMessageW(close, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);

    productArea_ = {kBannerColour, &pictures_.product, false};
    createPictureArea(window_, Image1, {12, 10, 64, 64}, dpi_, productArea_);
    text(Label1, L"Pakforge", 102, 16, titleFont_.get());
    text(Label2, L"Creates EXE installers from MSI packages", 102, 47, font_.get());

    const COLORREF face = GetSysColor(COLOR_BTNHIGHLIGHT);
    infoArea_ = {face, &pictures_.info, false};
    updateArea_ = {face, &pictures_.update, false};
    createPictureArea(window_, Image2, {kGroupLeft + 26, kGroupTop + 32, 16, 16}, dpi_, infoArea_);
    createPictureArea(window_, Image3, {kGroupLeft + 26, kGroupTop + 64, 16, 16}, dpi_, updateArea_);
    text(InfoLabel, L"Product Information", kGroupLeft + 48, kGroupTop + 32, linkFont_.get(), SS_NOTIFY);
    text(UpdateLabel, L"Check updates...", kGroupLeft + 48, kGroupTop + 64, linkFont_.get(), SS_NOTIFY);
    text(Label6, L"", kGroupLeft + 222, kGroupTop + 32, font_.get());

    HWND group = createChild(window_, L"BUTTON", L"  Program Information  ", BS_GROUPBOX, 0, GroupBox1,
                             {kGroupLeft, kGroupTop, 473, 133}, dpi_);
    SendMessageW(group, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    panelArea_ = {kBannerColour, nullptr, false};
    HWND panel = createPictureArea(window_, Panel1, {0, 0, kClientWidth, 81}, dpi_, panelArea_);
    for (HWND beneath : {group, panel})
        SetWindowPos(beneath, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

HWND AboutWindow::text(int id, const wchar_t* caption, int left, int top, HFONT font, DWORD style) {
    HWND control = createChild(window_, L"STATIC", caption, SS_LEFT | SS_NOPREFIX | style, 0, id,
                               {left, top, 1, 1}, dpi_);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    const SIZE size = textSize(font, caption);
    SetWindowPos(control, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return control;
}

void AboutWindow::show() {
    // Over the centre of the main window.
    RECT owner{}, frame{};
    GetWindowRect(owner_, &owner);
    GetWindowRect(window_, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    SetWindowPos(window_, nullptr, (owner.left + owner.right - width) / 2,
                 (owner.top + owner.bottom - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(window_, SW_SHOW);
    SetForegroundWindow(window_);
    SetFocus(GetDlgItem(window_, Button1));
}

bool AboutWindow::dialogMessage(MSG& message) {
    return IsWindowVisible(window_) && IsDialogMessageW(window_, &message) != FALSE;
}

LRESULT CALLBACK AboutWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return dispatchToWindowObject(window, message, wParam, lParam, &AboutWindow::window_,
                                  &AboutWindow::handleMessage);
}

LRESULT AboutWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (HIWORD(wParam) != BN_CLICKED) break;
        if (id == InfoLabel) handle(&ui::TAboutForm::InfoLabelClick);
        if (id == UpdateLabel) handle(&ui::TAboutForm::UpdateLabelClick);
        if (id == Button1 || id == IDCANCEL) handle(&ui::TAboutForm::Button1Click);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        SetBkMode(dc, TRANSPARENT);
        if (id == Label1 || id == Label2) {
            SetTextColor(dc, id == Label1 ? RGB(0, 0, 0) : RGB(128, 128, 128));
            return reinterpret_cast<LRESULT>(bannerBrush_.get());
        }
        if (id == InfoLabel || id == UpdateLabel) SetTextColor(dc, RGB(0, 0, 255));
        SetBkColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNHIGHLIGHT));
    }
    case WM_SETCURSOR:
        if (const int id = GetDlgCtrlID(reinterpret_cast<HWND>(wParam));
            id == InfoLabel || id == UpdateLabel) {
            SetCursor(LoadCursorW(nullptr, IDC_HAND));
            return TRUE;
        }
        break;
    case WM_CLOSE:
        // Closing hides it; it lives as long as the program.
        handle(&ui::TAboutForm::Button1Click);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void AboutWindow::handle(void (ui::TAboutForm::*handler)()) {
    runHandler(*this, [this, handler] { (form_.*handler)(); });
}

void AboutWindow::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(IsWindowVisible(window_) ? window_ : owner_, caption, text, icon);
}

bool AboutWindow::openWithDesktop(std::u16string_view fileOrUrl) {
    return shellOpen(window_, fileOrUrl);
}

void AboutWindow::setVersionLine(std::u16string_view line) {
    HWND label = GetDlgItem(window_, Label6);
    const std::wstring text = wide(line);
    SetWindowTextW(label, text.c_str());
    const SIZE size = textSize(font_.get(), text);
    SetWindowPos(label, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void AboutWindow::hideWindow() {
    ShowWindow(window_, SW_HIDE);
}

} // namespace pakforge::win32
