// The control for the planted-DLL test: loads each DLL named on its command
// line the ordinary way (no restricted search order), so a planted copy
// beside it is picked up when the loader's settings let it. Exits with the
// number of names that loaded. No C runtime, so it imports only kernel32.
#include <windows.h>

extern "C" void __cdecl helperEntry() {
    const wchar_t* arguments = GetCommandLineW();
    if (*arguments == L'"') {
        ++arguments;
        while (*arguments && *arguments != L'"') ++arguments;
        if (*arguments) ++arguments;
    } else {
        while (*arguments && *arguments != L' ') ++arguments;
    }
    UINT loaded = 0;
    wchar_t name[MAX_PATH];
    for (const wchar_t* p = arguments; *p;) {
        while (*p == L' ') ++p;
        int n = 0;
        while (*p && *p != L' ' && n < MAX_PATH - 1) name[n++] = *p++;
        name[n] = 0;
        if (n > 0 && LoadLibraryW(name)) ++loaded;
    }
    ExitProcess(loaded);
}
