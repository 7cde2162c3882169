// Runs the rest of its command line with the limited token that belongs to
// the current (elevated) one, as a double-click runs a program under UAC,
// and exits with that program's exit code. 7001: no limited token to use;
// 7002: the program did not start. No C runtime.
#include <windows.h>

namespace {

const wchar_t* skipProgramName(const wchar_t* p) {
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

UINT run() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return 7001;
    TOKEN_LINKED_TOKEN linked{};
    TOKEN_ELEVATION_TYPE type{};
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &length) ||
        type != TokenElevationTypeFull ||
        !GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &length))
        return 7001;
    const wchar_t* rest = skipProgramName(GetCommandLineW());
    const int size = lstrlenW(rest) + 1;
    auto* commandLine = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, size * sizeof(wchar_t)));
    if (!commandLine) return 7001;
    lstrcpyW(commandLine, rest);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUserW(linked.LinkedToken, nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process))
        return 7002;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 7003;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

} // namespace

extern "C" void __cdecl helperEntry() {
    ExitProcess(run());
}
