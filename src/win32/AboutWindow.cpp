#include "win32/AboutWindow.h"

namespace pakforge::win32 {

namespace {

namespace ids = ui::ids;

constexpr const wchar_t* kAboutClass = L"PakforgeAboutWindow";
constexpr COLORREF kBannerColour = RGB(238, 244, 249);
// Not clipping its children: the group box draws only its frame and caption,
// the window's own background shows inside it.
constexpr DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kWindowExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

} // namespace

AboutWindow::AboutWindow(const Pictures& pictures, ui::VersionCheck& versionCheck, HWND mainWindow)
    : form_(*this, versionCheck), owner_(mainWindow) {
    if (!registerWindowClass(kAboutClass, windowProc, COLOR_BTNHIGHLIGHT + 1))
        throw Exception("Unable to register the About window's class");
    window_ = CreateWindowExW(kWindowExStyle, kAboutClass, wide(ui::kAboutWindow.caption).c_str(),
                              kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, mainWindow, nullptr,
                              GetModuleHandleW(nullptr), this);
    if (!window_) throw Exception("Unable to create the About window");
    const int dpi = windowDpi(window_);
    RECT frame = scaledRect({0, 0, ui::kAboutWindow.width, ui::kAboutWindow.height}, dpi);
    adjustForFrame(frame, kWindowStyle, kWindowExStyle, dpi);
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    bannerBrush_.reset(CreateSolidBrush(kBannerColour));
    const COLORREF face = GetSysColor(COLOR_BTNHIGHLIGHT);
    areas_[ids::AboutImage1] = {kBannerColour, &pictures.product, false};
    areas_[ids::Image2] = {face, &pictures.info, false};
    areas_[ids::Image3] = {face, &pictures.update, false};
    areas_[ids::AboutPanel1] = {kBannerColour, nullptr, false};
    // Only Close takes the focus.
    controls_ = std::make_unique<Controls>(window_, dpi);
    controls_->create(ui::aboutWindowControls(), areas_);
    form_.FormCreate();
}

AboutWindow::~AboutWindow() {
    if (window_) DestroyWindow(window_);
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
    SetFocus(GetDlgItem(window_, ids::AboutButton1));
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
        if (HIWORD(wParam) != BN_CLICKED) break;
        const int id = LOWORD(wParam) == IDCANCEL ? int{ids::AboutButton1} : int{LOWORD(wParam)};
        if (const ui::ControlRow* row = ui::findControl(ui::aboutWindowControls(), id); row && row->onAbout)
            handle(row->onAbout);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        SetBkMode(dc, TRANSPARENT);
        if (id == ids::AboutLabel1 || id == ids::AboutLabel2) {
            SetTextColor(dc, id == ids::AboutLabel1 ? RGB(0, 0, 0) : RGB(128, 128, 128));
            return reinterpret_cast<LRESULT>(bannerBrush_.get());
        }
        if (id == ids::InfoLabel || id == ids::UpdateLabel) SetTextColor(dc, RGB(0, 0, 255));
        SetBkColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNHIGHLIGHT));
    }
    case WM_SETCURSOR:
        if (const int id = GetDlgCtrlID(reinterpret_cast<HWND>(wParam));
            id == ids::InfoLabel || id == ids::UpdateLabel) {
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
    ui::runHandler(*this, [this, handler] { (form_.*handler)(); });
}

void AboutWindow::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(IsWindowVisible(window_) ? window_ : owner_, caption, text, icon);
}

bool AboutWindow::openWithDesktop(std::u16string_view fileOrUrl) {
    return shellOpen(window_, fileOrUrl);
}

void AboutWindow::setVersionLine(std::u16string_view line) {
    controls_->setLabel(ids::Label6, wide(line));
}

void AboutWindow::hideWindow() {
    ShowWindow(window_, SW_HIDE);
}

} // namespace pakforge::win32
