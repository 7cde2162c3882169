#include "win32/MessageLoop.h"

#include "win32/Win32Support.h"

#include <memory>

namespace pakforge::win32 {

namespace {

constexpr const wchar_t* kReceiverClass = L"PakforgeHandOver";
constexpr UINT kRun = WM_APP + 1;

// Input a loop that drops it swallows: keys, and clicks in the windows'
// client areas. The frames stay the window manager's (moving, minimizing);
// a close request waits for the build (the main window's WM_CLOSE).
bool isUserInput(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST && message != WM_MOUSEMOVE);
}

} // namespace

MessageLoop& MessageLoop::instance() {
    static MessageLoop* const loop = new MessageLoop;
    return *loop;
}

MessageLoop::MessageLoop() {
    if (registerWindowClass(kReceiverClass, windowProc, 0))
        receiver_ = CreateWindowExW(0, kReceiverClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    GetModuleHandleW(nullptr), nullptr);
    // Without it no handed-over call would ever run.
    if (!receiver_) throw Exception("Unable to create the hand-over's message window");
}

LRESULT CALLBACK MessageLoop::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The calls raise nothing (the hand-over catches for them), so nothing
    // unwinds through the system's frames.
    if (message == kRun) {
        const std::unique_ptr<std::function<void()>> fn(reinterpret_cast<std::function<void()>*>(lParam));
        (*fn)();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void MessageLoop::post(std::function<void()> fn) {
    auto call = std::make_unique<std::function<void()>>(std::move(fn));
    if (PostMessageW(receiver_, kRun, 0, reinterpret_cast<LPARAM>(call.get()))) call.release();
}

void MessageLoop::pump(const std::function<bool()>& finished, ui::Input input) {
    const bool keep = input == ui::Input::keep;
    // Keeping input: only sent and posted messages and painting are taken.
    const UINT taken = keep ? PM_QS_SENDMESSAGE | PM_QS_POSTMESSAGE | PM_QS_PAINT : 0;
    const DWORD wakes = keep ? QS_SENDMESSAGE | QS_POSTMESSAGE | QS_PAINT | QS_TIMER : QS_ALLINPUT;
    bool quit = false;
    WPARAM quitCode = 0;
    MSG message;
    while (!finished()) {
        if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE | taken)) {
            MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, wakes, MWMO_INPUTAVAILABLE);
            continue;
        }
        if (message.message == WM_QUIT) {
            quit = true;
            quitCode = message.wParam;
            continue;
        }
        if (!keep && isUserInput(message.message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    // A quit request that came meanwhile is the main loop's.
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
}

ui::Answer MessageLoop::dialog(std::u16string_view caption, std::u16string_view text, ui::MessageIcon icon,
                               ui::Buttons buttons) {
    return showMessageBox(owner_ && IsWindowVisible(owner_) ? owner_ : nullptr, caption, text, icon, buttons);
}

bool MessageLoop::openWithDesktop(std::u16string_view fileOrUrl) {
    return shellOpen(nullptr, fileOrUrl);
}

} // namespace pakforge::win32
