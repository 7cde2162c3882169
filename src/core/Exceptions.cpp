#include "core/Exceptions.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pakforge {

std::string systemErrorText(int errorCode) {
    char buffer[256] = {};
    // GNU strerror_r may return a static string instead of filling the buffer.
#if defined(_GNU_SOURCE) && !defined(__APPLE__)
    const char* text = strerror_r(errorCode, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
#else
    if (strerror_r(errorCode, buffer, sizeof buffer) != 0) return {};
    return std::string(buffer);
#endif
}

std::string osErrorMessage(int errorCode, const std::string& additionalInfo) {
    if (errorCode == 0) return "A call to an OS function failed";
    return "System Error.  Code: " + std::to_string(errorCode) + ".\r\n" +
           systemErrorText(errorCode) + additionalInfo;
}

void raiseOSError(int errorCode, const std::string& additionalInfo) {
    throw EOSError(osErrorMessage(errorCode, additionalInfo), errorCode);
}

void raiseLastOSError(const std::string& additionalInfo) {
    raiseOSError(errno, additionalInfo);
}

void raiseOpenError(const std::filesystem::path& path, int errorCode) {
    throw EFOpenError("Cannot open file \"" + path.string() + "\". " + systemErrorText(errorCode));
}

void raiseCreateError(const std::filesystem::path& path, int errorCode) {
    throw EFCreateError("Cannot create file \"" + path.string() + "\". " +
                        systemErrorText(errorCode));
}

std::string withFullStop(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + '.';
    return message;
}

} // namespace pakforge
