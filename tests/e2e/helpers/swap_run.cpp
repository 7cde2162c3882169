// Starts a program suspended, puts another file at its path (the running
// one renamed away, as an unelevated process can do to a download while
// the elevated copy starts), resumes it and exits with its exit code.
// Usage: swap_run "PROGRAM" "REPLACEMENT" [arguments]. 7002: it did not
// start; 7004: the swap failed. No C runtime.
#include <windows.h>

namespace {

// One quoted argument into `out`; returns what follows it.
const wchar_t* quoted(const wchar_t* p, wchar_t* out, int capacity) {
    while (*p == L' ') ++p;
    int n = 0;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"' && n < capacity - 1) out[n++] = *p++;
        if (*p == L'"') ++p;
    } else {
        while (*p && *p != L' ' && n < capacity - 1) out[n++] = *p++;
    }
    out[n] = 0;
    return p;
}

UINT run() {
    static wchar_t self[MAX_PATH];
    static wchar_t program[MAX_PATH];
    static wchar_t replacement[MAX_PATH];
    static wchar_t moved[MAX_PATH + 8];
    static wchar_t commandLine[4096];
    const wchar_t* rest = quoted(GetCommandLineW(), self, MAX_PATH);
    rest = quoted(rest, program, MAX_PATH);
    rest = quoted(rest, replacement, MAX_PATH);
    if (lstrlenW(rest) + lstrlenW(program) + 4 >= 4096) return 7002;
    lstrcpyW(commandLine, L"\"");
    lstrcatW(commandLine, program);
    lstrcatW(commandLine, L"\"");
    lstrcatW(commandLine, rest);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process))
        return 7002;
    lstrcpyW(moved, program);
    lstrcatW(moved, L".moved");
    if (!MoveFileW(program, moved) || !CopyFileW(replacement, program, TRUE)) {
        TerminateProcess(process.hProcess, 7004);
        return 7004;
    }
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 7003;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

} // namespace

extern "C" void __cdecl helperEntry() {
    ExitProcess(run());
}
