#include "update/UpdateSite.h"

#include "core/Utf16.h"

#include <cstdlib>
#include <string_view>

#ifndef PAKFORGE_VENDOR_HOST
#error "PAKFORGE_VENDOR_HOST names the update server (a CMake cache variable)"
#endif

namespace pakforge {

namespace {

// The host as the site is named: host, or host:port off the standard port.
std::string siteAuthority() {
    const char* configured = std::getenv("PAKFORGE_UPDATE_HOST");
    return configured && *configured ? configured : PAKFORGE_VENDOR_HOST;
}

} // namespace

TUpdateServer UpdateServer() {
    TUpdateServer server;
    const std::string authority = siteAuthority();
    const std::size_t colon = authority.rfind(':');
    server.Host = utf8ToUtf16(authority.substr(0, colon));
    if (colon != std::string::npos) {
        const std::string_view port = std::string_view(authority).substr(colon + 1);
        unsigned long value = 0;
        bool ok = !port.empty() && port.size() <= 5;
        for (const char c : port) {
            ok = ok && c >= '0' && c <= '9';
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (!ok || value == 0 || value > 65535 || colon == 0) {
            server.Error = "PAKFORGE_UPDATE_HOST \"" + authority + "\" is not HOST or HOST:PORT";
            return server;
        }
        server.Port = static_cast<std::uint16_t>(value);
    }
    if (const char* ca = std::getenv("PAKFORGE_UPDATE_CA"); ca && *ca) server.ExtraCaFile = ca;
    return server;
}

TUpdateSite UpdateSite() {
    const std::u16string authority = utf8ToUtf16(siteAuthority());
    return {u"https://" + authority + u"/pakforge/pakforge.xml",
            u"https://" + authority + u"/downloads/pakforge.exe", authority};
}

} // namespace pakforge
