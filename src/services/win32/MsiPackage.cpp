#include "services/MsiPackage.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

namespace pakforge::services {

namespace {

// Our strings are wchar_t's on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Starts with room for 260 characters and asks again with the size the
// service reports when that is too small. Any other failure reads as empty:
// the buffer's content is not defined then.
std::u16string productProperty(MSIHANDLE package, const std::u16string& name) {
    std::u16string buffer(261, u'\0');
    DWORD length = 260;
    UINT rc =
        ::MsiGetProductPropertyW(package, wide(name), reinterpret_cast<wchar_t*>(buffer.data()), &length);
    if (rc == ERROR_MORE_DATA) {
        buffer.assign(static_cast<std::size_t>(length) + 1, u'\0');
        length += 1;
        rc =
            ::MsiGetProductPropertyW(package, wide(name), reinterpret_cast<wchar_t*>(buffer.data()), &length);
    }
    if (rc != ERROR_SUCCESS) return {};
    buffer.resize(std::min<std::size_t>(length, buffer.size()));
    return buffer;
}

} // namespace

std::optional<std::vector<std::u16string>> ReadPackageProperties(const std::u16string& path,
                                                                 std::span<const std::u16string> names) {
    ::MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MSIHANDLE package = 0;
    if (::MsiOpenPackageExW(wide(path), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, &package) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<std::u16string> values;
    for (const auto& name : names) values.push_back(productProperty(package, name));
    ::MsiCloseHandle(package);
    return values;
}

} // namespace pakforge::services
