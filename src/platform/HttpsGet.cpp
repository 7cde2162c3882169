#include "platform/HttpsGet.h"

namespace pakforge::platform {

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

} // namespace

std::string requestProblem(const HttpsRequest& request) {
    if (!isBareHost(request.host)) return "\"" + request.host + "\" is not a host name";
    if (request.path.empty() || request.path[0] != '/') return "the request path does not start with \"/\"";
    return {};
}

} // namespace pakforge::platform
