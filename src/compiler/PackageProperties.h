// The package's product name, version and manufacturer, as the main window
// shows them. The window's three labels are modelled as captions here so
// that the command line and the window share one reader.
#pragma once

#include <string>

namespace pakforge {

struct ProductLabels {
    std::u16string nameLabel = u"Product Name: -";
    std::u16string versionLabel = u"Product Version: -";
    std::u16string manufacturerLabel = u"Manufacturer: -";
};

class PackageProperties {
  public:
    // Reads the three properties; a file that is no package leaves the
    // members and labels as they were, silently.
    void GetMSIProperty(const std::u16string& packagePath);

    std::u16string FProductName;
    std::u16string FProductVersion;
    std::u16string FManufacturer;
    ProductLabels labels;
};

} // namespace pakforge
