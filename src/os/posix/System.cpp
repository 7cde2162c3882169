// Errors, the process, text and time on POSIX.
#include "os/System.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <locale.h>

namespace pakforge::os {

ErrorCode errorCode(Error error) {
    switch (error) {
    case Error::NotFound:
        return ENOENT;
    case Error::AccessDenied:
        return EACCES;
    case Error::IsDirectory:
        return EISDIR;
    case Error::AlreadyExists:
        return EEXIST;
    }
    return EINVAL;
}

ErrorCode lastError() {
    return errno;
}

std::string errorText(ErrorCode code) {
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
#if defined(_GNU_SOURCE) && !defined(__APPLE__)
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
#else
    if (strerror_r(code, buffer, sizeof buffer) != 0) return {};
    return std::string(buffer);
#endif
}

ErrorCode programPath(std::filesystem::path& path) {
    std::error_code ec;
    path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? ec.value() : 0;
}

ErrorCode fullPath(const std::filesystem::path& path, std::filesystem::path& full) {
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    if (ec) return ec.value();
    full = absolute.lexically_normal();
    return 0;
}

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

namespace {

locale_t caseLocale() {
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (!l) l = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
        return l;
    }();
    return locale;
}

// Next code point; lone surrogates stand for themselves.
char32_t next(std::u16string_view text, std::size_t& i) {
    const char16_t u = text[i++];
    if (u >= 0xD800 && u <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
        return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i++] - 0xDC00);
    return u;
}

} // namespace

char32_t upperCase(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - 32 : cp;
    const locale_t locale = caseLocale();
    if (!locale) return cp;
    return static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), locale));
}

int compareTextIgnoreCase(std::u16string_view a, std::u16string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const char32_t ca = upperCase(next(a, i));
        const char32_t cb = upperCase(next(b, j));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

std::string localTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[128] = {};
    const std::size_t n = std::strftime(text, sizeof text, "%X", &local);
    return std::string(text, n);
}

} // namespace pakforge::os
