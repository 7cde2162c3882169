#include "Paths.h"

#include "System.h"

namespace stub {

bool modulePath(WText& out) {
    for (DWORD capacity = MAX_PATH; capacity <= 32768 * 2; capacity *= 2) {
        out.reserve(capacity);
        const DWORD n = GetModuleFileNameW(nullptr, out.data(), capacity);
        if (n == 0) return false;
        if (n < capacity) {
            out.setLengthFromTerminator();
            return true;
        }
    }
    return false;
}

bool fullPath(const wchar_t* path, WText& out) {
    out.clear();
    const DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (needed == 0) return false;
    out.reserve(needed);
    const DWORD n = GetFullPathNameW(path, needed, out.data(), nullptr);
    if (n == 0 || n >= needed) return false;
    out.setLengthFromTerminator();
    return true;
}

bool startsWith(const wchar_t* text, const wchar_t* prefix) {
    while (*prefix)
        if (*text++ != *prefix++) return false;
    return true;
}

void extendedPath(const WText& full, WText& out) {
    out.clear();
    if (startsWith(full.c_str(), L"\\\\?\\") || startsWith(full.c_str(), L"\\\\.\\")) {
        out.append(full);
    } else if (startsWith(full.c_str(), L"\\\\")) {
        out.append(L"\\\\?\\UNC\\").append(full.c_str() + 2);
    } else {
        out.append(L"\\\\?\\").append(full);
    }
}

void joinPath(const WText& folder, const wchar_t* name, WText& out) {
    out.clear();
    out.append(folder);
    if (!out.empty() && out[out.size() - 1] != L'\\') out.append(L'\\');
    out.append(name);
}

const wchar_t* fileNamePart(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':') name = p + 1;
    return name;
}

bool createFolders(const WText& full) {
    WText extended;
    extendedPath(full, extended);
    if (CreateDirectoryW(extended.c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(extended.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    if (error != ERROR_PATH_NOT_FOUND) return false;
    size_t cut = full.size();
    while (cut > 0 && full[cut - 1] == L'\\') --cut;
    while (cut > 0 && full[cut - 1] != L'\\') --cut;
    if (cut <= 3) return false; // reached the root
    WText parent;
    parent.append(full.c_str(), cut - 1);
    if (!createFolders(parent)) return false;
    if (CreateDirectoryW(extended.c_str(), nullptr)) return true;
    return false;
}

bool randomHex(wchar_t* out, int bytes) {
    BYTE buffer[16] = {};
    const bool random = systemRandom(buffer, static_cast<ULONG>(bytes));
    if (!random) {
        // Only uniqueness rests on this: folders are created fail-if-exists.
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        DWORD mix = counter.LowPart ^ GetCurrentProcessId() ^ (GetTickCount() << 16);
        for (int i = 0; i < bytes; ++i) {
            mix = mix * 1103515245u + 12345u;
            buffer[i] = static_cast<BYTE>(mix >> 16);
        }
    }
    static const wchar_t digits[] = L"0123456789abcdef";
    for (int i = 0; i < bytes; ++i) {
        out[2 * i] = digits[buffer[i] >> 4];
        out[2 * i + 1] = digits[buffer[i] & 15];
    }
    out[2 * bytes] = 0;
    return random;
}

const WText& displayPath(const WText& full, const WText& extended) {
    return full.size() < MAX_PATH ? full : extended;
}

} // namespace stub
