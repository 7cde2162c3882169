// The installer-service calls the package properties need: msi.dll on
// Windows; on Linux libmsi, where a package is opened read-only, its Property
// table read once, and values handed out with the service's buffer-length
// protocol.
#pragma once

#include <cstdint>
#include <string>

namespace pakforge::platform {

using MSIHANDLE = std::uint32_t;

// Where <windows.h> came first these names are its macros, with the same
// values.
#ifndef ERROR_SUCCESS
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
#endif
#ifndef ERROR_INVALID_HANDLE
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
#endif
#ifndef ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
#endif
#ifndef ERROR_MORE_DATA
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
#endif
#ifndef ERROR_INSTALL_PACKAGE_OPEN_FAILED
inline constexpr std::uint32_t ERROR_INSTALL_PACKAGE_OPEN_FAILED = 1619;
#endif

inline constexpr int INSTALLUILEVEL_NOCHANGE = 0;
inline constexpr int INSTALLUILEVEL_DEFAULT = 1;
inline constexpr int INSTALLUILEVEL_NONE = 2;
#ifndef MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE
inline constexpr std::uint32_t MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE = 1;
#endif

// Sets the process-wide UI level; returns the previous one. The window
// argument is passed on to msi.dll (an HWND*); libmsi has no UI and ignores it.
int MsiSetInternalUI(int level, void* window);

// Opens a package for reading; 0 on success with *handle set.
std::uint32_t MsiOpenPackageExW(const std::u16string& path, std::uint32_t options, MSIHANDLE* handle);

// On entry *length is the buffer's size in characters, terminator included.
// Success: the value and a terminator are copied, *length = characters
// copied. Too small: as much as fits is copied (terminated), *length = the
// value's length, result ERROR_MORE_DATA. An unknown property reads as empty.
std::uint32_t MsiGetProductPropertyW(MSIHANDLE handle, const std::u16string& property, char16_t* buffer,
                                     std::uint32_t* length);

std::uint32_t MsiCloseHandle(MSIHANDLE handle);

} // namespace pakforge::platform
