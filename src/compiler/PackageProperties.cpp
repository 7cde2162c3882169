#include "compiler/PackageProperties.h"

#include <vector>

namespace pakforge {

using namespace platform;

void PackageProperties::GetMSIProperty(const std::u16string& packagePath) {
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    MSIHANDLE handle = 0;
    if (MsiOpenPackageExW(packagePath, MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, &handle) != ERROR_SUCCESS)
        return;
    handle_ = handle;
    struct Closer {
        MSIHANDLE& h;
        ~Closer() {
            MsiCloseHandle(h);
            h = 0;
        }
    } closer{handle_};

    FProductName = ReadProductProperty(u"ProductName");
    labels.nameLabel = u"Product Name: " + FProductName;
    FProductVersion = ReadProductProperty(u"ProductVersion");
    labels.versionLabel = u"Product Version: " + FProductVersion;
    FManufacturer = ReadProductProperty(u"Manufacturer");
    labels.manufacturerLabel = u"Manufacturer: " + FManufacturer;
}

std::u16string PackageProperties::ReadProductProperty(const std::u16string& name) {
    std::vector<char16_t> buffer(261);
    std::uint32_t length = 260;
    std::uint32_t rc = MsiGetProductPropertyW(handle_, name, buffer.data(), &length);
    if (rc == ERROR_MORE_DATA) {
        buffer.assign(static_cast<std::size_t>(length) + 1, u'\0');
        length += 1;
        rc = MsiGetProductPropertyW(handle_, name, buffer.data(), &length);
    }
    // Any other failure reads as an empty value: the buffer's content is
    // not defined then.
    if (rc != ERROR_SUCCESS) return {};
    return std::u16string(buffer.data(), std::min<std::size_t>(length, buffer.size()));
}

} // namespace pakforge
