#include "platform/MsiPackage.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

namespace pakforge::platform {

// Our names forward to msi.dll unchanged; only the types differ (char16_t is
// wchar_t's twin on Windows, MSIHANDLE is 32 bits on both sides).
static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(sizeof(::MSIHANDLE) == sizeof(MSIHANDLE));

int MsiSetInternalUI(int level, void* window) {
    return ::MsiSetInternalUI(static_cast<INSTALLUILEVEL>(level), static_cast<HWND*>(window));
}

std::uint32_t MsiOpenPackageExW(const std::u16string& path, std::uint32_t options, MSIHANDLE* handle) {
    if (!handle) return ERROR_INVALID_PARAMETER;
    ::MSIHANDLE opened = 0;
    const UINT rc = ::MsiOpenPackageExW(reinterpret_cast<LPCWSTR>(path.c_str()), options, &opened);
    if (rc == ERROR_SUCCESS) *handle = opened;
    return rc;
}

std::uint32_t MsiGetProductPropertyW(MSIHANDLE handle, const std::u16string& property, char16_t* buffer,
                                     std::uint32_t* length) {
    if (!length) return ERROR_INVALID_PARAMETER;
    DWORD chars = *length;
    const UINT rc = ::MsiGetProductPropertyW(handle, reinterpret_cast<LPCWSTR>(property.c_str()),
                                             reinterpret_cast<LPWSTR>(buffer), &chars);
    *length = chars;
    return rc;
}

std::uint32_t MsiCloseHandle(MSIHANDLE handle) {
    return ::MsiCloseHandle(handle);
}

} // namespace pakforge::platform
