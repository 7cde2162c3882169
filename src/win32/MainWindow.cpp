#include "win32/MainWindow.h"

#include "win32/AboutWindow.h"
#include "win32/MessageLoop.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>

namespace pakforge::win32 {

namespace {

namespace ids = ui::ids;

constexpr const wchar_t* kMainClass = L"PakforgeMainWindow";
constexpr COLORREF kBannerColour = RGB(68, 76, 85);
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
// Beside the table's controls.
enum : int { StatusBevel = 300, StatusBar, BuildProgress };

HICON programIcon(int size) {
    return static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

} // namespace

MainWindow::MainWindow(const Pictures& pictures, ui::MainFormSettings settings)
    : ui::MainWindowBase(MessageLoop::instance(), std::move(settings)), pictures_(pictures) {
    if (!registerWindowClass(kMainClass, windowProc, COLOR_BTNFACE + 1))
        throw Exception("Unable to register the main window's class");
    window_ =
        CreateWindowExW(0, kMainClass, wide(ui::kMainWindow.caption).c_str(), kWindowStyle, CW_USEDEFAULT,
                        CW_USEDEFAULT, 100, 100, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!window_) throw Exception("Unable to create the main window");
    dpi_ = windowDpi(window_);

    RECT frame = scaledRect({0, 0, ui::kMainWindow.width, ui::kMainWindow.height}, dpi_);
    adjustForFrame(frame, kWindowStyle, 0, dpi_);
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    bigIcon_.reset(programIcon(GetSystemMetrics(SM_CXICON)));
    smallIcon_.reset(programIcon(GetSystemMetrics(SM_CXSMICON)));
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));

    bannerBrush_.reset(CreateSolidBrush(kBannerColour));
    areas_[ids::Panel1] = {kBannerColour, nullptr, false};
    areas_[ids::Image1] = {kBannerColour, &pictures_.banner, true};
    controls_ = std::make_unique<Controls>(window_, dpi_);
    controls_->create(ui::mainWindowControls(), areas_);
    SendMessageW(control(ids::statuslist), LB_SETITEMHEIGHT, 0, ui::scaled(ui::kLogItemHeight, dpi_));
    createStatusBar();
    sizesChanged();
}

MainWindow::~MainWindow() {
    FormDestroy();
    if (window_) DestroyWindow(window_);
}

void MainWindow::createStatusBar() {
    const int width = ui::kMainWindow.width;
    createChild(window_, L"STATIC", L"", SS_ETCHEDHORZ, 0, StatusBevel, {0, 0, width, 2}, dpi_);
    HWND bar = createChild(window_, STATUSCLASSNAMEW, L"", CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER,
                           0, StatusBar, {0, 0, width, ui::kStatusBarHeight}, dpi_);
    HWND progress = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | PBS_SMOOTH, 0, 0, 0, 0, bar,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(BuildProgress)),
                                    GetModuleHandleW(nullptr), nullptr);
    SendMessageW(progress, PBM_SETRANGE32, 0, 1000);
}

HWND MainWindow::progressBar() const {
    return GetDlgItem(control(StatusBar), BuildProgress);
}

void MainWindow::sizesChanged() {
    const ui::DensitySizes& size = sizes();
    RECT client;
    GetClientRect(window_, &client);
    const int width = client.right;
    const int barTop = client.bottom - size.statusBarHeight;
    HWND bar = control(StatusBar);
    MoveWindow(bar, 0, barTop, width, size.statusBarHeight, TRUE);
    int edges[2] = {size.panelWidths[0], size.panelWidths[0] + size.panelWidths[1]};
    SendMessageW(bar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(edges));
    RECT first{};
    SendMessageW(bar, SB_GETRECT, 0, reinterpret_cast<LPARAM>(&first));
    InflateRect(&first, -1, -1);
    MoveWindow(progressBar(), first.left, first.top, first.right - first.left, first.bottom - first.top,
               TRUE);

    // The log above the bar, with a bevel along its top edge.
    const int logTop = barTop - ui::scaled(ui::kLogHeight, dpi_);
    MoveWindow(control(StatusBevel), 0, logTop, width, 2, TRUE);
    MoveWindow(control(ids::statuslist), 0, logTop + 2, width, barTop - logTop - 2, TRUE);

    Icon glyph = pictures_.browse.icon(size.glyphWidth, size.glyphHeight);
    for (int id : {ids::browsemsi, ids::browseico, ids::browseexe})
        SendMessageW(control(id), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(glyph.get()));
    // The buttons hold the new one now; the old one can go.
    glyphIcon_ = std::move(glyph);
}

void MainWindow::AfterConstruction(const std::vector<std::u16string>& arguments) {
    // The window's thread is a single-threaded apartment for the program's
    // life (the shell's dialogs want one).
    comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    form().AfterConstruction(arguments, dpi_);
}

void MainWindow::FormDestroy() {
    // The update component first: it waits for a running check.
    ui::MainWindowBase::FormDestroy();
    if (comInitialised_) {
        CoUninitialize();
        comInitialised_ = false;
    }
}

void MainWindow::show(int showCommand) {
    RECT work{}, frame{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(window_, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    SetWindowPos(window_, nullptr, work.left + (work.right - work.left - width) / 2,
                 work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    SetFocus(control(ids::statuslist));
}

bool MainWindow::dialogMessage(MSG& message) {
    return IsDialogMessageW(window_, &message) != FALSE;
}

LRESULT CALLBACK MainWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return dispatchToWindowObject(window, message, wParam, lParam, &MainWindow::window_,
                                  &MainWindow::handleMessage);
}

LRESULT MainWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const auto isLink = [](LPARAM control) {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(control));
        return id == ids::Label3 || id == ids::Label5;
    };
    switch (message) {
    case WM_COMMAND:
        // A button's click and a link label's click both come as code 0.
        if (HIWORD(wParam) != BN_CLICKED) return 0;
        if (const ui::ControlRow* row = ui::findControl(ui::mainWindowControls(), LOWORD(wParam)))
            click(*row);
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        if (isLink(lParam)) {
            SetTextColor(dc, RGB(255, 255, 255));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(bannerBrush_.get());
        }
        if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == ids::appicon) {
            // Read-only, yet it looks like the other fields.
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    }
    case WM_SETCURSOR:
        if (const bool waiting = busy() && LOWORD(lParam) == HTCLIENT; waiting || isLink(wParam)) {
            SetCursor(LoadCursorW(nullptr, waiting ? IDC_WAIT : IDC_HAND));
            return TRUE;
        }
        break;
    case WM_CLOSE:
        // The window stays until a running build is done.
        if (busy()) return 0;
        ShowWindow(window_, SW_HIDE);
        PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void MainWindow::setBusy(bool busy) {
    HWND progress = progressBar();
    if (busy) {
        SendMessageW(progress, PBM_SETPOS, 0, 0);
        ShowWindow(progress, SW_SHOW);
        previousCursor_ = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return;
    }
    ShowWindow(progress, SW_HIDE);
    SetCursor(previousCursor_);
}

void MainWindow::setProgress(int permille) {
    SendMessageW(progressBar(), PBM_SETPOS, static_cast<WPARAM>(permille), 0);
}

HWND MainWindow::edit(ui::Field field) const {
    static constexpr int fields[] = {ids::msiedit, ids::appicon, ids::exeedit};
    return control(fields[static_cast<int>(field)]);
}

void MainWindow::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(IsWindowVisible(window_) ? window_ : nullptr, caption, text, icon);
}

bool MainWindow::openWithDesktop(std::u16string_view fileOrUrl) {
    return shellOpen(window_, fileOrUrl);
}

bool MainWindow::startHelpViewer(const std::filesystem::path& helpFile, std::u16string_view suffix) {
    // The viewer takes the short form, unquoted, so blanks in the path do
    // not split it.
    const std::wstring longPath = helpFile.wstring();
    std::wstring argument;
    if (const DWORD length = GetShortPathNameW(longPath.c_str(), nullptr, 0); length > 0) {
        argument.resize(length);
        const DWORD written = GetShortPathNameW(longPath.c_str(), argument.data(), length);
        argument.resize(written < length ? written : 0);
    }
    // Where the file system keeps no short names, the path as it is.
    if (argument.empty()) argument = longPath;
    argument += wide(suffix);
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", L"hh.exe", argument.c_str(), nullptr, SW_SHOW);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

std::u16string MainWindow::fieldText(ui::Field field) const {
    HWND control = edit(field);
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied));
    return utf16(text);
}

void MainWindow::setFieldText(ui::Field field, std::u16string_view text) {
    SetWindowTextW(edit(field), wide(text).c_str());
}

void MainWindow::setLabelText(ui::ProductLabel which, std::u16string_view text) {
    static constexpr int labels[] = {ids::nameLabel, ids::versionLabel, ids::manufacturerLabel};
    controls_->setLabel(labels[static_cast<int>(which)], wide(text));
}

void MainWindow::showAboutWindow() {
    if (about_) about_->show();
}

bool MainWindow::executeOpenDialog(ui::TOpenDialog& dialog) {
    // "Description|pattern|..." as pairs of terminated strings, the list
    // ending in an empty one.
    std::wstring filter = wide(dialog.Filter);
    for (wchar_t& c : filter)
        if (c == L'|') c = L'\0';
    filter.push_back(L'\0');

    std::vector<wchar_t> file(32768, L'\0');
    const auto run = [&](std::u16string_view startName) {
        std::fill(file.begin(), file.end(), L'\0');
        const std::size_t keep = std::min(startName.size(), file.size() - 1);
        std::copy_n(startName.begin(), keep, file.begin());
        OPENFILENAMEW options{};
        options.lStructSize = sizeof options;
        options.hwndOwner = window_;
        options.lpstrFilter = filter.c_str();
        options.nFilterIndex = 1;
        options.lpstrFile = file.data();
        options.nMaxFile = static_cast<DWORD>(file.size());
        // A name that does not exist yet is fine (an output to be made).
        options.Flags = OFN_HIDEREADONLY | OFN_NODEREFERENCELINKS | OFN_ENABLESIZING | OFN_EXPLORER;
        return GetOpenFileNameW(&options) != FALSE;
    };
    bool chosen = run(dialog.FileName);
    // A carried-over name the dialog refuses (it then does not open at all)
    // must not lock the user out: start afresh.
    if (!chosen && CommDlgExtendedError() != 0 && !dialog.FileName.empty()) chosen = run(u"");
    if (!chosen) return false;
    dialog.FileName = utf16(file.data());
    return true;
}

void MainWindow::logClear() {
    SendMessageW(control(ids::statuslist), LB_RESETCONTENT, 0, 0);
}

int MainWindow::logAdd(std::u16string_view line) {
    const LRESULT index =
        SendMessageW(control(ids::statuslist), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(line).c_str()));
    if (index == LB_ERR || index == LB_ERRSPACE) throw ui::EOutOfResources(ui::kUnableToInsertLine);
    return static_cast<int>(index);
}

void MainWindow::logRepaint() {
    UpdateWindow(control(ids::statuslist));
}

void MainWindow::logSetTopIndex(int index) {
    SendMessageW(control(ids::statuslist), LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

int MainWindow::logTextWidth(std::u16string_view text) const {
    const auto font = reinterpret_cast<HFONT>(SendMessageW(control(ids::statuslist), WM_GETFONT, 0, 0));
    return textSize(font, wide(text)).cx;
}

int MainWindow::logHorizontalExtent() const {
    return static_cast<int>(SendMessageW(control(ids::statuslist), LB_GETHORIZONTALEXTENT, 0, 0));
}

void MainWindow::logSetHorizontalExtent(int pixels) {
    SendMessageW(control(ids::statuslist), LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(pixels), 0);
}

} // namespace pakforge::win32
