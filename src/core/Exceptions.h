// Exception classes shared by every subsystem. Messages are the user-facing
// texts; callers show them as they stand.
#pragma once

#include <exception>
#include <filesystem>
#include <string>

namespace pakforge {

class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

  private:
    std::string message_;
};

#define PAKFORGE_DECLARE_EXCEPTION(Name, Base)                                                               \
    class Name : public Base {                                                                               \
      public:                                                                                                \
        using Base::Base;                                                                                    \
    }

PAKFORGE_DECLARE_EXCEPTION(ECorruptFile, Exception);
PAKFORGE_DECLARE_EXCEPTION(EZipException, Exception);
PAKFORGE_DECLARE_EXCEPTION(EInvalidGraphic, Exception);
PAKFORGE_DECLARE_EXCEPTION(EOutOfMemory, Exception);
PAKFORGE_DECLARE_EXCEPTION(ERangeError, Exception);
PAKFORGE_DECLARE_EXCEPTION(EStreamError, Exception);
PAKFORGE_DECLARE_EXCEPTION(EReadError, EStreamError);
// A write that failed; errorCode is the system's reason when a file
// refused it (a full disk), 0 when there is none to tell.
class EWriteError : public EStreamError {
  public:
    explicit EWriteError(std::string message, int errorCode = 0)
        : EStreamError(std::move(message)), errorCode_(errorCode) {}
    int errorCode() const noexcept { return errorCode_; }

  private:
    int errorCode_;
};
PAKFORGE_DECLARE_EXCEPTION(EFileStreamError, EStreamError);
PAKFORGE_DECLARE_EXCEPTION(EFOpenError, EFileStreamError);
PAKFORGE_DECLARE_EXCEPTION(EFCreateError, EFileStreamError);

#undef PAKFORGE_DECLARE_EXCEPTION

// A failed platform call: carries the OS error code beside the message.
class EOSError : public Exception {
  public:
    EOSError(std::string message, int errorCode) : Exception(std::move(message)), errorCode_(errorCode) {}
    int errorCode() const noexcept { return errorCode_; }

  private:
    int errorCode_;
};

inline constexpr const char* kStreamReadError = "Stream read error";
inline constexpr const char* kStreamWriteError = "Stream write error";
inline constexpr const char* kRangeCheckError = "Range check error";

// The platform's text for an OS error code (errno on POSIX, GetLastError on
// Windows).
std::string systemErrorText(int errorCode);

// "System Error.  Code: %d.\r\n%s%s", or the zero-code wording.
std::string osErrorMessage(int errorCode, const std::string& additionalInfo = {});
[[noreturn]] void raiseOSError(int errorCode, const std::string& additionalInfo = {});
// Raises from the last failed OS call.
[[noreturn]] void raiseLastOSError(const std::string& additionalInfo = {});

// "Cannot open file "%s". %s" and "Cannot create file "%s". %s".
[[noreturn]] void raiseOpenError(const std::filesystem::path& path, int errorCode);
[[noreturn]] void raiseCreateError(const std::filesystem::path& path, int errorCode);

// The message-box rule: a full stop is appended when the last character's
// code is above that of the full stop.
std::string withFullStop(const std::string& message);

} // namespace pakforge
