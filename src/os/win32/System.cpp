// Errors, the process, text and time on Windows.
#include "os/System.h"

#include <windows.h>

#include <vector>

namespace pakforge::os {

namespace {

std::string toUtf8(const wchar_t* text, int length) {
    if (length <= 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), n, nullptr, nullptr);
    return out;
}

const wchar_t* wide(std::u16string_view text) {
    static const wchar_t empty = 0;
    return text.empty() ? &empty : reinterpret_cast<const wchar_t*>(text.data());
}

} // namespace

ErrorCode errorCode(Error error) {
    switch (error) {
    case Error::NotFound:
        return ERROR_FILE_NOT_FOUND;
    case Error::AccessDenied:
    case Error::IsDirectory: // what opening a folder as a file gives here
        return ERROR_ACCESS_DENIED;
    case Error::AlreadyExists:
        return ERROR_FILE_EXISTS;
    }
    return ERROR_INVALID_PARAMETER;
}

ErrorCode lastError() {
    return static_cast<ErrorCode>(GetLastError());
}

std::string errorText(ErrorCode code) {
    wchar_t* buffer = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                       nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (n == 0 || !buffer) return {};
    int length = static_cast<int>(n);
    while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n')) --length;
    std::string text = toUtf8(buffer, length);
    LocalFree(buffer);
    return text;
}

ErrorCode programPath(std::filesystem::path& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return static_cast<ErrorCode>(GetLastError());
        if (n < buffer.size()) {
            path = std::filesystem::path(std::wstring(buffer.data(), n));
            return 0;
        }
        if (buffer.size() >= 32768) return ERROR_INSUFFICIENT_BUFFER;
        buffer.resize(buffer.size() * 2);
    }
}

ErrorCode fullPath(const std::filesystem::path& path, std::filesystem::path& full) {
    const std::wstring text = path.wstring();
    DWORD size = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    for (int attempt = 0; attempt < 3 && size != 0; ++attempt) {
        std::vector<wchar_t> buffer(size);
        const DWORD n = GetFullPathNameW(text.c_str(), size, buffer.data(), nullptr);
        if (n == 0) break;
        if (n < size) {
            full = std::filesystem::path(std::wstring(buffer.data(), n));
            return 0;
        }
        size = n; // the current folder changed meanwhile
    }
    const DWORD error = GetLastError();
    return error ? static_cast<ErrorCode>(error) : ERROR_BAD_PATHNAME;
}

std::optional<std::string> environmentVariable(const char* name) {
    std::wstring wideName;
    for (const char* c = name; *c; ++c)
        wideName.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    std::vector<wchar_t> buffer(256);
    for (;;) {
        SetLastError(0);
        const DWORD n =
            GetEnvironmentVariableW(wideName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (n < buffer.size()) return toUtf8(buffer.data(), static_cast<int>(n));
        buffer.resize(n);
    }
}

int compareTextIgnoreCase(std::u16string_view a, std::u16string_view b) {
    const int result = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, wide(a),
                                      static_cast<int>(a.size()), wide(b), static_cast<int>(b.size()));
    if (result == CSTR_LESS_THAN) return -1;
    if (result == CSTR_GREATER_THAN) return 1;
    if (result == CSTR_EQUAL) return 0;
    // Refused (too long a text): an ordinal order still keeps a sorted list sound.
    return a < b ? -1 : (b < a ? 1 : 0);
}

char32_t upperCase(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - 32 : cp;
    if (cp >= 0x10000 || (cp >= 0xD800 && cp <= 0xDFFF)) return cp;
    wchar_t in = static_cast<wchar_t>(cp);
    wchar_t out = 0;
    if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1) != 1) return cp;
    return static_cast<char32_t>(out);
}

std::string localTimeText() {
    wchar_t buffer[128] = {};
    const int n = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, buffer, 128);
    return n > 1 ? toUtf8(buffer, n - 1) : std::string();
}

} // namespace pakforge::os
