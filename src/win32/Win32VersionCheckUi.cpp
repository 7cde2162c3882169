#include "win32/Win32VersionCheckUi.h"

#include "win32/Win32Support.h"

#include <shellapi.h>

namespace pakforge::win32 {

namespace {

constexpr const wchar_t* kReceiverClass = L"PakforgeUpdateHandOver";
constexpr UINT kServe = WM_APP + 1;

} // namespace

Win32VersionCheckUi::Win32VersionCheckUi() {
    if (registerWindowClass(kReceiverClass, windowProc, 0))
        receiver_ = CreateWindowExW(0, kReceiverClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
    // Without it no handed-over call would ever run.
    if (!receiver_) throw Exception("Unable to create the update check's message window");
}

Win32VersionCheckUi::~Win32VersionCheckUi() {
    DestroyWindow(receiver_);
}

LRESULT CALLBACK Win32VersionCheckUi::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The object outlives its window; the calls raise nothing (the check's
    // own contract), so nothing unwinds through the system's frames.
    if (message == kServe) {
        reinterpret_cast<Win32VersionCheckUi*>(lParam)->serve();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void Win32VersionCheckUi::post() {
    PostMessageW(receiver_, kServe, 0, reinterpret_cast<LPARAM>(this));
}

void Win32VersionCheckUi::ServeUntil(const std::function<bool()>& finished) {
    // Serves the hand-over's posts, painting and whatever else is posted,
    // but leaves clicks and keys queued for later: the click that waits must
    // not start another check or close the window under it. A dialog shown
    // meanwhile runs its own loop and takes input as usual.
    constexpr UINT served = PM_QS_SENDMESSAGE | PM_QS_POSTMESSAGE | PM_QS_PAINT;
    bool quit = false;
    WPARAM quitCode = 0;
    MSG message;
    while (!finished()) {
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE | served)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = message.wParam;
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
            continue;
        }
        MsgWaitForMultipleObjectsEx(
            0, nullptr, INFINITE, QS_SENDMESSAGE | QS_POSTMESSAGE | QS_PAINT | QS_TIMER, MWMO_INPUTAVAILABLE);
    }
    // A quit request that came meanwhile is the main loop's.
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
}

TModalResult Win32VersionCheckUi::MessageDlg(const std::u16string& text, TMsgDlgType type,
                                             TMsgDlgButtons buttons) {
    UINT style = 0;
    const wchar_t* caption = L"";
    switch (type) {
    case TMsgDlgType::mtError:
        style = MB_ICONERROR;
        caption = L"Error";
        break;
    case TMsgDlgType::mtInformation:
        style = MB_ICONINFORMATION;
        caption = L"Information";
        break;
    case TMsgDlgType::mtConfirmation:
        style = MB_ICONQUESTION;
        caption = L"Confirm";
        break;
    }
    style |= (buttons & mbYes) || (buttons & mbNo) ? MB_YESNO : MB_OK;
    HWND owner = owner_ && IsWindowVisible(owner_) ? owner_ : nullptr;
    switch (MessageBoxW(owner, wide(text).c_str(), caption, style)) {
    case IDYES:
        return TModalResult::mrYes;
    case IDNO:
        return TModalResult::mrNo;
    case IDOK:
        return TModalResult::mrOk;
    default:
        return TModalResult::mrNone;
    }
}

void Win32VersionCheckUi::OpenURL(const std::u16string& url) {
    ShellExecuteW(nullptr, L"open", wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace pakforge::win32
