#include "ui/VersionCheck.h"

#include "core/Utf16.h"
#include "pakforge/Version.h"

#ifndef PAKFORGE_VENDOR_HOST
#define PAKFORGE_VENDOR_HOST "pakforge.example.org"
#endif

namespace pakforge::ui {

std::u16string NoVersionCheck::FileVersion() const {
    return programFileVersion();
}

std::u16string programFileVersion() {
    // A version block holds four numbers; the build names three.
    return utf8ToUtf16(PAKFORGE_VERSION ".0");
}

std::u16string vendorHost() {
    return utf8ToUtf16(PAKFORGE_VENDOR_HOST);
}

VersionCheckSettings defaultVersionCheckSettings() {
    const std::u16string site = u"https://" + vendorHost();
    VersionCheckSettings settings;
    settings.URLCurrVerFile = site + u"/pakforge/pakforge.xml";
    settings.DownloadURL = site + u"/downloads/pakforge.exe";
    settings.SiteName = vendorHost();
    settings.FailureDlg = true;
    settings.DownloadDlg = true;
    return settings;
}

std::u16string productPageUrl() {
    return u"https://" + vendorHost() + u"/pakforge/?ref=pakforge";
}

} // namespace pakforge::ui
