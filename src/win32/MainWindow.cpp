#include "win32/MainWindow.h"

#include "win32/AboutWindow.h"

#include "ui/WindowRules.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <exception>
#include <thread>

namespace pakforge::win32 {

namespace {

using namespace mainids;

constexpr const wchar_t* kMainClass = L"PakforgeMainWindow";
constexpr int kClientWidth = 590;
constexpr int kClientHeight = 402;
constexpr int kLogHeight = 49;
constexpr int kLogItemHeight = 13;
constexpr COLORREF kBannerColour = RGB(68, 76, 85);
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// Handed over from the build's thread.
constexpr UINT kRunCall = WM_APP + 1;
constexpr UINT kProgress = WM_APP + 2;

struct HandedOverCall {
    const std::function<void()>* fn;
    std::exception_ptr error;
};

// Input a running build swallows: keys, and clicks in the windows' client
// areas. The frames stay the window manager's (moving, minimizing); a close
// request waits for the build (WM_CLOSE below).
bool isUserInput(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST && message != WM_MOUSEMOVE);
}

HICON programIcon(int size) {
    return static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

} // namespace

MainWindow::MainWindow(const Pictures& pictures, ui::MainFormSettings settings)
    : pictures_(pictures), form_(std::make_unique<ui::Tmainform>(*this, std::move(settings))),
      windowThread_(GetCurrentThreadId()) {
    if (!registerWindowClass(kMainClass, windowProc, COLOR_BTNFACE + 1))
        throw Exception("Unable to register the main window's class");
    window_ = CreateWindowExW(0, kMainClass, L"Pakforge", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, 100,
                              100, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!window_) throw Exception("Unable to create the main window");
    dpi_ = windowDpi(window_);

    RECT frame{0, 0, scaled(kClientWidth, dpi_), scaled(kClientHeight, dpi_)};
    adjustForFrame(frame, kWindowStyle, 0, dpi_);
    SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    bigIcon_.reset(programIcon(GetSystemMetrics(SM_CXICON)));
    smallIcon_.reset(programIcon(GetSystemMetrics(SM_CXSMICON)));
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_.get()));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));

    font_ = makeFont(L"Tahoma", 11, dpi_);
    editFont_ = makeFont(L"Arial", 11, dpi_);
    buttonFont_ = makeFont(L"Tahoma", 13, dpi_);
    buildFont_ = makeFont(L"Tahoma", 16, dpi_, true);
    linkFont_ = makeFont(L"Tahoma", 13, dpi_, true);
    bannerBrush_.reset(CreateSolidBrush(kBannerColour));
    createControls();
}

MainWindow::~MainWindow() {
    FormDestroy();
    if (window_) DestroyWindow(window_);
}

void MainWindow::createControls() {
    const auto set = [](HWND control, HFONT font) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    };
    // Created in tab order: the log, the fields, Build, the banner, then the
    // Browse... buttons from the icon's down and the package's last.
    HWND list = createChild(window_, L"LISTBOX", L"",
                            WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 0,
                            statuslist, {0, 0, kClientWidth, kLogHeight}, dpi_);
    set(list, font_.get());
    SendMessageW(list, LB_SETITEMHEIGHT, 0, scaled(kLogItemHeight, dpi_));

    const struct {
        int id, top;
        bool readOnly;
    } fields[] = {{msiedit, 112, false}, {appicon, 168, true}, {exeedit, 224, false}};
    for (const auto& field : fields) {
        HWND edit = createChild(window_, L"EDIT", L"",
                                WS_TABSTOP | ES_AUTOHSCROLL | (field.readOnly ? ES_READONLY : 0),
                                WS_EX_CLIENTEDGE, field.id, {16, field.top, 417, 22}, dpi_);
        set(edit, editFont_.get());
    }

    HWND build = createChild(window_, L"BUTTON", L"Build", WS_TABSTOP | BS_PUSHBUTTON, 0, Button1,
                             {453, 270, 129, 45}, dpi_);
    set(build, buildFont_.get());

    panelArea_ = {kBannerColour, nullptr, false};
    HWND panel = createPictureArea(window_, Panel1, {0, 0, kClientWidth, 81}, dpi_, panelArea_);

    const struct { int id, top; } browse[] = {{browseico, 162}, {browseexe, 218}, {browsemsi, 106}};
    for (const auto& button : browse) {
        HWND control = createChild(window_, L"BUTTON", L"Browse...", WS_TABSTOP | BS_PUSHBUTTON, 0, button.id,
                                   {453, button.top, 129, 33}, dpi_);
        set(control, buttonFont_.get());
    }
    updateGlyphs();

    // What takes no focus: the banner's picture and links, the labels, the
    // status bar.
    bannerArea_ = {kBannerColour, &pictures_.banner, true};
    createPictureArea(window_, Image1, {0, 0, 312, 81}, dpi_, bannerArea_);
    const auto link = [&](int id, const wchar_t* text, Place place) {
        HWND control = createChild(window_, L"STATIC", text, SS_NOTIFY | SS_LEFT, 0, id, place, dpi_);
        set(control, linkFont_.get());
        // At least its designed size, wider where the font is wider.
        const SIZE size = textSize(linkFont_.get(), text);
        const RECT designed = scaledRect(place, dpi_);
        SetWindowPos(control, nullptr, 0, 0, std::max<int>(designed.right - designed.left, size.cx),
                     designed.bottom - designed.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    };
    link(Label3, L"Help", {482, 58, 28, 16});
    link(Label5, L"About", {535, 58, 40, 16});
    label(Label1, L"MSI File:", 16, 93, font_.get());
    label(Label4, L"Application Icon:", 16, 152, font_.get());
    label(Label2, L"EXE File:", 16, 208, font_.get());
    label(nameLabel, L"Product Name: -", 16, 260, font_.get());
    label(manufacturerLabel, L"Manufacturer: -", 16, 281, font_.get());
    label(versionLabel, L"Product Version: -", 16, 302, font_.get());

    createChild(window_, L"STATIC", L"", SS_ETCHEDHORZ, 0, StatusBevel, {0, 0, kClientWidth, 2}, dpi_);
    HWND bar = createChild(window_, STATUSCLASSNAMEW, L"", CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_NODIVIDER,
                           0, StatusBar, {0, 0, kClientWidth, statusBarHeight_}, dpi_);
    HWND progress = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | PBS_SMOOTH, 0, 0, 0, 0, bar,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(BuildProgress)),
                                    GetModuleHandleW(nullptr), nullptr);
    SendMessageW(progress, PBM_SETRANGE32, 0, 1000);

    // The banner lies beneath its picture and links.
    SetWindowPos(panel, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    layoutBottom();
}

HWND MainWindow::label(int id, const wchar_t* text, int left, int top, HFONT font) {
    HWND control =
        createChild(window_, L"STATIC", L"", SS_LEFT | SS_NOPREFIX, 0, id, {left, top, 1, 1}, dpi_);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    setLabel(control, text);
    return control;
}

void MainWindow::setLabel(HWND control, std::wstring_view text) {
    // Sized to the new text first, then drawn whole, so that nothing of the
    // old text stays behind.
    const SIZE size = textSize(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), text);
    SetWindowPos(control, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowTextW(control, std::wstring(text).c_str());
    InvalidateRect(control, nullptr, TRUE);
}

void MainWindow::layoutBottom() {
    RECT client;
    GetClientRect(window_, &client);
    const int width = client.right;
    const int barTop = client.bottom - statusBarHeight_;
    HWND bar = control(StatusBar);
    MoveWindow(bar, 0, barTop, width, statusBarHeight_, TRUE);
    int edges[2] = {panelWidths_[0], panelWidths_[0] + panelWidths_[1]};
    SendMessageW(bar, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(edges));
    RECT first{};
    SendMessageW(bar, SB_GETRECT, 0, reinterpret_cast<LPARAM>(&first));
    InflateRect(&first, -1, -1);
    MoveWindow(GetDlgItem(bar, BuildProgress), first.left, first.top, first.right - first.left,
               first.bottom - first.top, TRUE);

    // The log above the bar, with a bevel along its top edge.
    const int logTop = barTop - scaled(kLogHeight, dpi_);
    MoveWindow(control(StatusBevel), 0, logTop, width, 2, TRUE);
    MoveWindow(control(statuslist), 0, logTop + 2, width, barTop - logTop - 2, TRUE);
}

void MainWindow::updateGlyphs() {
    Icon glyph = pictures_.browse.icon(glyphWidth_, glyphHeight_);
    for (int id : {browsemsi, browseico, browseexe})
        SendMessageW(control(id), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(glyph.get()));
    // The buttons hold the new one now; the old one can go.
    glyphIcon_ = std::move(glyph);
}

void MainWindow::AfterConstruction(const std::vector<std::u16string>& arguments) {
    // The window's thread is a single-threaded apartment for the program's
    // life (the shell's dialogs want one).
    comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    form_->AfterConstruction(arguments, dpi_);
}

void MainWindow::FormDestroy() {
    // The update component first: it waits for a running check.
    if (form_ && form_->FVersionCheck()) form_->FormDestroy();
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
    SetFocus(control(statuslist));
}

bool MainWindow::dialogMessage(MSG& message) {
    return IsDialogMessageW(window_, &message) != FALSE;
}

LRESULT CALLBACK MainWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return dispatchToWindowObject(window, message, wParam, lParam, &MainWindow::window_,
                                  &MainWindow::handleMessage);
}

LRESULT MainWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        command(LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
        if (id == Label3 || id == Label5) {
            SetTextColor(dc, RGB(255, 255, 255));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(bannerBrush_.get());
        }
        if (id == appicon) {
            // Read-only, yet it looks like the other fields.
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    }
    case WM_SETCURSOR:
        if (busy_ && LOWORD(lParam) == HTCLIENT) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            return TRUE;
        }
        if (const int id = GetDlgCtrlID(reinterpret_cast<HWND>(wParam)); id == Label3 || id == Label5) {
            SetCursor(LoadCursorW(nullptr, IDC_HAND));
            return TRUE;
        }
        break;
    case WM_CLOSE:
        // The window stays until a running build is done.
        if (busy_) return 0;
        ShowWindow(window_, SW_HIDE);
        PostQuitMessage(0);
        return 0;
    case kRunCall: {
        auto* call = reinterpret_cast<HandedOverCall*>(lParam);
        try {
            (*call->fn)();
        } catch (...) {
            call->error = std::current_exception();
        }
        return 0;
    }
    case kProgress:
        progressPending_ = false;
        SendMessageW(GetDlgItem(control(StatusBar), BuildProgress), PBM_SETPOS, permille_.load(), 0);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void MainWindow::command(int id, int code) {
    // A button's click and a link label's click both come as code 0.
    if (code != BN_CLICKED) return;
    switch (id) {
    case browsemsi:
        handle(&ui::Tmainform::OpenButtonClick);
        break;
    case browseico:
        handle(&ui::Tmainform::Chooseicon);
        break;
    case browseexe:
        handle(&ui::Tmainform::browseexeClick);
        break;
    case Button1:
        handle(&ui::Tmainform::CompileClick);
        break;
    case Label3:
        handle(&ui::Tmainform::helpbuttonClick);
        break;
    case Label5:
        handle(&ui::Tmainform::About1Click);
        break;
    default:
        break;
    }
}

void MainWindow::handle(void (ui::Tmainform::*handler)()) {
    runHandler(*this, [this, handler] { (form_.get()->*handler)(); });
}

HWND MainWindow::edit(ui::Field field) const {
    switch (field) {
    case ui::Field::msiedit:
        return control(msiedit);
    case ui::Field::appicon:
        return control(appicon);
    case ui::Field::exeedit:
        break;
    }
    return control(exeedit);
}

HWND MainWindow::boxOwner() const {
    return IsWindowVisible(window_) ? window_ : nullptr;
}

void MainWindow::messageBox(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon) {
    showMessageBox(boxOwner(), caption, text, icon);
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
    const int id = which == ui::ProductLabel::nameLabel      ? nameLabel
                   : which == ui::ProductLabel::versionLabel ? versionLabel
                                                             : manufacturerLabel;
    setLabel(control(id), wide(text));
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
    SendMessageW(control(statuslist), LB_RESETCONTENT, 0, 0);
}

int MainWindow::logAdd(std::u16string_view line) {
    const LRESULT index =
        SendMessageW(control(statuslist), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(line).c_str()));
    if (index == LB_ERR || index == LB_ERRSPACE) throw ui::EOutOfResources(ui::kUnableToInsertLine);
    return static_cast<int>(index);
}

void MainWindow::logSetTopIndex(int index) {
    SendMessageW(control(statuslist), LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

int MainWindow::logHorizontalExtent() const {
    return static_cast<int>(SendMessageW(control(statuslist), LB_GETHORIZONTALEXTENT, 0, 0));
}

void MainWindow::logSetHorizontalExtent(int pixels) {
    SendMessageW(control(statuslist), LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(pixels), 0);
}

int MainWindow::logTextWidth(std::u16string_view text) const {
    const auto font = reinterpret_cast<HFONT>(SendMessageW(control(statuslist), WM_GETFONT, 0, 0));
    return textSize(font, wide(text)).cx;
}

void MainWindow::logRepaint() {
    UpdateWindow(control(statuslist));
}

int MainWindow::statusBarHeight() const {
    return statusBarHeight_;
}

void MainWindow::setStatusBarHeight(int pixels) {
    statusBarHeight_ = pixels;
    layoutBottom();
}

int MainWindow::statusPanelCount() const {
    return 2;
}

int MainWindow::statusPanelWidth(int panel) const {
    return panelWidths_[panel];
}

void MainWindow::setStatusPanelWidth(int panel, int pixels) {
    panelWidths_[panel] = pixels;
    layoutBottom();
}

int MainWindow::glyphWidth() const {
    return glyphWidth_;
}

void MainWindow::setGlyphWidth(int pixels) {
    glyphWidth_ = pixels;
    updateGlyphs();
}

int MainWindow::glyphHeight() const {
    return glyphHeight_;
}

void MainWindow::setGlyphHeight(int pixels) {
    glyphHeight_ = pixels;
    updateGlyphs();
}

void MainWindow::runBlocking(const std::function<void()>& work) {
    // Signalled when the work has ended, whatever the message queue holds.
    struct Event {
        HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~Event() {
            if (handle) CloseHandle(handle);
        }
    } done;
    if (!done.handle) throw Exception("Unable to run the build: no event object");

    HWND progress = GetDlgItem(control(StatusBar), BuildProgress);
    busy_ = true;
    permille_ = 0;
    SendMessageW(progress, PBM_SETPOS, 0, 0);
    ShowWindow(progress, SW_SHOW);
    const HCURSOR previousCursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));

    std::exception_ptr error;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        SetEvent(done.handle);
    });
    // The window goes on painting and serving the work's hand-overs; clicks
    // and keys are dropped. A quit request waits until the work is done.
    bool quit = false;
    WPARAM quitCode = 0;
    MSG message;
    while (MsgWaitForMultipleObjectsEx(1, &done.handle, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE) !=
           WAIT_OBJECT_0) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = message.wParam;
                continue;
            }
            if (isUserInput(message.message)) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    worker.join();
    if (quit) PostQuitMessage(static_cast<int>(quitCode));

    busy_ = false;
    ShowWindow(progress, SW_HIDE);
    SetCursor(previousCursor);
    if (error) std::rethrow_exception(error);
}

void MainWindow::onWindowThread(const std::function<void()>& fn) {
    if (GetCurrentThreadId() == windowThread_) {
        fn();
        return;
    }
    HandedOverCall call{&fn, nullptr};
    SendMessageW(window_, kRunCall, 0, reinterpret_cast<LPARAM>(&call));
    if (call.error) std::rethrow_exception(call.error);
}

void MainWindow::showProgress(std::uint64_t done, std::uint64_t total) {
    // Calls in between merge: the window shows the newest when it gets to it.
    permille_ = total == 0 ? 1000 : static_cast<int>(done * 1000 / total);
    if (progressPending_.exchange(true)) return;
    PostMessageW(window_, kProgress, 0, 0);
}

void MainWindow::showAboutWindow() {
    if (about_) about_->show();
}

void MainWindow::postQuitRequest() {
    quitRequested_ = true;
}

} // namespace pakforge::win32
