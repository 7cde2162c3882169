#include "compiler/PackageProperties.h"

#include "services/MsiPackage.h"

namespace pakforge {

void PackageProperties::GetMSIProperty(const std::u16string& packagePath) {
    static const std::u16string names[] = {u"ProductName", u"ProductVersion", u"Manufacturer"};
    const auto values = services::ReadPackageProperties(packagePath, names);
    if (!values) return;
    FProductName = (*values)[0];
    labels.nameLabel = u"Product Name: " + FProductName;
    FProductVersion = (*values)[1];
    labels.versionLabel = u"Product Version: " + FProductVersion;
    FManufacturer = (*values)[2];
    labels.manufacturerLabel = u"Manufacturer: " + FManufacturer;
}

} // namespace pakforge
