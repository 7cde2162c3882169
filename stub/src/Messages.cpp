#include "Messages.h"

#include "System.h"

namespace stub {

bool gQuiet = false;
const wchar_t* gTitle = L"Installer";

void appendSystemMessage(WText& text, DWORD code) {
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (n > 0 && message) {
        DWORD length = n;
        while (length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n' ||
                              message[length - 1] == L' ' || message[length - 1] == L'.'))
            --length;
        text.append(message, length);
    } else {
        text.append(L"System error");
    }
    if (message) LocalFree(message);
    text.append(L" (code ").appendNumber(code).append(L").");
}

void showMessage(const WText& text, UINT icon) {
    if (gQuiet) return;
    messageBox(text.c_str(), gTitle, MB_OK | MB_SETFOREGROUND | icon);
}

DWORD failDamaged() {
    showMessage(WText(L"This installer is damaged: the installation package inside it is missing or "
                      L"incomplete.\n\nPlease download the installer again."),
                MB_ICONERROR);
    return kExitPackageInvalid;
}

} // namespace stub
