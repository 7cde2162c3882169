#include "System.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace stub {
namespace {

// Whether SetDefaultDllDirectories took effect; without it every library is
// named by its full path.
bool gDefaultDirectories = false;

} // namespace

DWORD restrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    // kernel32 is always loaded; asking it loads nothing.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC proc = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
    if (proc) {
        if (!reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(proc))(
                LOAD_LIBRARY_SEARCH_SYSTEM32)) {
            const DWORD error = GetLastError();
            return error ? error : ERROR_INVALID_FUNCTION;
        }
        gDefaultDirectories = true;
        return 0;
    }
    // Windows 7 without the update that brought SetDefaultDllDirectories:
    // at least the current folder goes; the program's folder stays in the
    // search, which is why systemLibrary then names the full path.
    if (!SetDllDirectoryW(L"")) {
        const DWORD error = GetLastError();
        return error ? error : ERROR_INVALID_FUNCTION;
    }
    return 0;
}

HMODULE systemLibrary(const wchar_t* name) {
    if (gDefaultDirectories) return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t path[MAX_PATH + 32];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || lstrlenW(name) > 30) return nullptr;
    path[n] = L'\\';
    lstrcpyW(path + n + 1, name);
    // The library's own dependencies are then looked up beside it.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int messageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    using MessageBoxWFn = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    const auto show = systemFunction<MessageBoxWFn>(L"user32.dll", "MessageBoxW");
    return show ? show(nullptr, text, caption, type) : 0;
}

bool systemRandom(void* buffer, ULONG length) {
    using BCryptGenRandomFn = LONG(WINAPI*)(void*, PUCHAR, ULONG, ULONG);
    constexpr ULONG kSystemPreferredRng = 0x00000002; // BCRYPT_USE_SYSTEM_PREFERRED_RNG
    const auto generate = systemFunction<BCryptGenRandomFn>(L"bcrypt.dll", "BCryptGenRandom");
    return generate && generate(nullptr, static_cast<PUCHAR>(buffer), length, kSystemPreferredRng) == 0;
}

bool Security::load() {
    HMODULE advapi = systemLibrary(L"advapi32.dll");
    if (!advapi) return false;
    auto get = [advapi](auto& slot, const char* name) {
        slot = reinterpret_cast<decltype(+slot)>(reinterpret_cast<void*>(GetProcAddress(advapi, name)));
        return slot != nullptr;
    };
    return get(OpenProcessToken, "OpenProcessToken") & get(GetTokenInformation, "GetTokenInformation") &
           get(ConvertSidToStringSidW, "ConvertSidToStringSidW") &
           get(ConvertStringSecurityDescriptorToSecurityDescriptorW,
               "ConvertStringSecurityDescriptorToSecurityDescriptorW");
}

} // namespace stub
