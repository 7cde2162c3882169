#include "core/Exceptions.h"

#include "core/Utf16.h"
#include "os/System.h"

namespace pakforge {

std::string systemErrorText(int errorCode) {
    return os::errorText(errorCode);
}

std::string osErrorMessage(int errorCode, const std::string& additionalInfo) {
    if (errorCode == 0) return "A call to an OS function failed";
    return "System Error.  Code: " + std::to_string(errorCode) + ".\r\n" + systemErrorText(errorCode) +
           additionalInfo;
}

void raiseOSError(int errorCode, const std::string& additionalInfo) {
    throw EOSError(osErrorMessage(errorCode, additionalInfo), errorCode);
}

void raiseLastOSError(const std::string& additionalInfo) {
    raiseOSError(os::lastError(), additionalInfo);
}

void raiseOpenError(const std::filesystem::path& path, int errorCode) {
    throw EFOpenError("Cannot open file \"" + pathToUtf8(path) + "\". " + systemErrorText(errorCode));
}

void raiseCreateError(const std::filesystem::path& path, int errorCode) {
    throw EFCreateError("Cannot create file \"" + pathToUtf8(path) + "\". " + systemErrorText(errorCode));
}

std::string withFullStop(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + '.';
    return message;
}

} // namespace pakforge
