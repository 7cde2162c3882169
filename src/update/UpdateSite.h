// Where the update check asks: the vendor's host chosen when the program was
// built, or, for people who run their own update server (and for tests),
// PAKFORGE_UPDATE_HOST (host or host:port) with the extra certificates of
// PAKFORGE_UPDATE_CA (a PEM file). Certificates are always verified.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace pakforge {

// The server the check's request goes to.
struct TUpdateServer {
    std::u16string Host; // bare host name
    std::uint16_t Port = 443;
    std::filesystem::path ExtraCaFile;
    std::string Error; // PAKFORGE_UPDATE_HOST is not host[:port]
};
TUpdateServer UpdateServer();

// The main window's settings of the check: the description file, the
// download and the site's name on that same host.
struct TUpdateSite {
    std::u16string URLCurrVerFile;
    std::u16string DownloadURL;
    std::u16string SiteName;
};
TUpdateSite UpdateSite();

} // namespace pakforge
