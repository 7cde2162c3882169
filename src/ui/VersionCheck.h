// The window's side of the update check: the settings the main window gives
// the component and the calls the About window makes. The update component
// implements this.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace pakforge::ui {

struct VersionCheckSettings {
    std::u16string URLCurrVerFile;
    std::u16string DownloadURL;
    std::u16string SiteName;
    bool FailureDlg = true;
    bool DownloadDlg = true;
};

class VersionCheck {
  public:
    virtual ~VersionCheck() = default;
    virtual void configure(const VersionCheckSettings& settings) = 0;
    // The program's own version, four numbers; empty when unknown.
    virtual std::u16string FileVersion() const = 0;
    virtual void setNoUpdatesDlg(bool value) = 0;
    // Starts a check and returns at once.
    virtual void CheckVersion() = 0;
};

// The build's version as four numbers ("1.0.0.0").
std::u16string programFileVersion();

// The vendor's web site and the addresses the window uses on it.
std::u16string vendorHost();
VersionCheckSettings defaultVersionCheckSettings();
std::u16string productPageUrl();

using VersionCheckFactory = std::function<std::unique_ptr<VersionCheck>()>;

} // namespace pakforge::ui
