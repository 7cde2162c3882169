#include "ui/VersionCheck.h"

#include "core/Utf16.h"
#include "pakforge/Version.h"

#include "update/UpdateSite.h"

#ifndef PAKFORGE_VENDOR_HOST
#error "PAKFORGE_VENDOR_HOST names the vendor's web site (a CMake cache variable)"
#endif

namespace pakforge::ui {

std::u16string programFileVersion() {
    // A version block holds four numbers; the build names three.
    return utf8ToUtf16(PAKFORGE_VERSION ".0");
}

std::u16string vendorHost() {
    return utf8ToUtf16(PAKFORGE_VENDOR_HOST);
}

VersionCheckSettings defaultVersionCheckSettings() {
    // The same addresses the command line's check uses, PAKFORGE_UPDATE_HOST
    // included.
    const TUpdateSite site = UpdateSite();
    VersionCheckSettings settings;
    settings.URLCurrVerFile = site.URLCurrVerFile;
    settings.DownloadURL = site.DownloadURL;
    settings.SiteName = site.SiteName;
    settings.FailureDlg = true;
    settings.DownloadDlg = true;
    return settings;
}

std::u16string productPageUrl() {
    return u"https://" + vendorHost() + u"/pakforge/?ref=pakforge";
}

} // namespace pakforge::ui
