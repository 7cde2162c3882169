#include "services/HttpsGet.h"

#include "core/Utf16.h"

#include <algorithm>

namespace pakforge::services {

namespace {

// The host goes into the request's address, so nothing that could change
// its meaning gets through.
bool isBareHost(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    for (const char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// %XX escapes to their bytes; a '%' without two hex digits stays as it is.
// False for an escaped NUL, which no path may hold.
bool percentDecode(std::string_view text, std::string& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
        if (low < 0) {
            out += text[i];
            continue;
        }
        if (high == 0 && low == 0) return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
}

} // namespace

std::string requestProblem(const HttpsRequest& request) {
    if (!isBareHost(request.host)) return "\"" + request.host + "\" is not a host name";
    if (request.path.empty() || request.path[0] != '/') return "the request path does not start with \"/\"";
    return {};
}

// Scheme, "//", a host part, then the path up to the query or fragment; an
// address without a path asks for the root.
std::u16string UrlPath(std::u16string_view url, std::size_t maxChars) {
    const std::string text = utf16ToUtf8(url);
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; }))
        return {};
    std::string_view rest = text;
    for (const std::string_view scheme : {"https://", "http://"})
        if (startsWithNoCase(rest, scheme)) rest.remove_prefix(scheme.size());
    if (rest.size() == text.size()) return {};
    const std::size_t hostEnd = std::min(rest.find_first_of("/?#"), rest.size());
    if (hostEnd == 0) return {};
    rest.remove_prefix(hostEnd);
    std::string path;
    if (!percentDecode(rest.substr(0, rest.find_first_of("?#")), path)) return {};
    if (path.empty()) path.push_back('/');
    std::u16string result = utf8ToUtf16(path);
    if (result.size() > maxChars) return {};
    return result;
}

} // namespace pakforge::services
