// One HTTPS GET and the URL parser the update check needs (libcurl here,
// WinHTTP on Windows). Certificate and host-name checks are always on.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace pakforge::services {

struct HttpsRequest {
    std::string host; // bare host name or address, no port
    std::uint16_t port = 443;
    std::string path; // path and query, starting with "/"
    std::string userAgent;
    std::filesystem::path extraCaFile; // PEM certificates trusted besides the system's
    std::chrono::milliseconds connectTimeout{15000};
    std::chrono::milliseconds totalTimeout{30000};
    std::size_t maxBody = 64 * 1024; // a longer answer fails the request
};

struct HttpsResponse {
    bool completed = false; // a whole answer arrived (any status)
    long status = 0;
    std::string body;
    std::string error; // why the request did not complete
};

// Blocks until the exchange is over or a time-out ends it; raises nothing.
HttpsResponse HttpsGet(const HttpsRequest& request);

// Why a request cannot be sent (a host that is no bare name, a path not
// starting with "/"); empty when it can. Both systems' HttpsGet ask first.
std::string requestProblem(const HttpsRequest& request);

// The path part of an http or https address with %-escapes decoded, without
// its query; empty when the address cannot be parsed or the path is longer
// than maxChars.
std::u16string UrlPath(std::u16string_view url, std::size_t maxChars);

} // namespace pakforge::services
