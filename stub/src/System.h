// The stub's only way to reach DLLs other than kernel32: each is loaded
// from System32 by its full location, after the search order has been
// restricted, so no DLL planted beside the download can be picked up.
#pragma once

#include <windows.h>

namespace stub {

// Restricts every later library search to System32 (or, on systems without
// SetDefaultDllDirectories, drops the current folder and has systemLibrary
// load by full path). Returns 0, or the error when the search order could
// not be restricted; nothing may be loaded then.
DWORD restrictDllSearch();

// A System32 library, or null.
HMODULE systemLibrary(const wchar_t* name);

template <class Function> Function systemFunction(const wchar_t* library, const char* name) {
    HMODULE module = systemLibrary(library);
    FARPROC proc = module ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(proc));
}

// MessageBoxW from user32; 0 when it cannot be shown.
int messageBox(const wchar_t* text, const wchar_t* caption, UINT type);

// Bytes from the system's random number generator (bcrypt).
bool systemRandom(void* buffer, ULONG length);

// The advapi32 calls the working folder's security needs.
struct Security {
    BOOL(WINAPI* OpenProcessToken)(HANDLE, DWORD, PHANDLE) = nullptr;
    BOOL(WINAPI* GetTokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD) = nullptr;
    BOOL(WINAPI* ConvertSidToStringSidW)(PSID, LPWSTR*) = nullptr;
    BOOL(WINAPI* ConvertStringSecurityDescriptorToSecurityDescriptorW)
    (LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG) = nullptr;
    // False when advapi32 or one of the calls is missing.
    bool load();
};

} // namespace stub
