#include "services/HttpsGet.h"

#include "core/Utf16.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

namespace pakforge::services {

namespace {

struct EasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool readFile(const std::filesystem::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct Sink {
    std::string body;
    std::size_t limit = 0;
    bool overflow = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto& sink = *static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    if (bytes > sink.limit - sink.body.size()) {
        sink.overflow = true;
        return 0; // ends the transfer with CURLE_WRITE_ERROR
    }
    sink.body.append(data, bytes);
    return bytes;
}

// Extra certificates join the system's bundle rather than replace it.
// Empty when there are none; false with the error when they cannot be read.
bool caBundleWithExtra(const HttpsRequest& request, std::string& bundle, std::string& error) {
    if (request.extraCaFile.empty()) return true;
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info->cainfo) readFile(info->cainfo, bundle);
    std::string extra;
    if (!readFile(request.extraCaFile, extra)) {
        error =
            "cannot read the certificates in " + request.extraCaFile.string() + ": " + std::strerror(errno);
        return false;
    }
    bundle += "\n" + extra;
    return true;
}

// No cached answer, and no Accept header (none is sent by default there).
std::unique_ptr<curl_slist, SlistDeleter> requestHeaders() {
    curl_slist* headers = nullptr;
    for (const char* h : {"Cache-Control: no-cache", "Pragma: no-cache", "Accept:"}) {
        curl_slist* grown = curl_slist_append(headers, h);
        if (!grown) {
            curl_slist_free_all(headers);
            return nullptr;
        }
        headers = grown;
    }
    return std::unique_ptr<curl_slist, SlistDeleter>(headers);
}

// Everything the transfer needs; what the pointers name outlives it.
struct Transfer {
    std::string url;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    curl_blob caBundle{};
    Sink sink;
    char errorText[CURL_ERROR_SIZE] = {};
};

void setOptions(CURL* c, const HttpsRequest& request, Transfer& t) {
    curl_easy_setopt(c, CURLOPT_URL, t.url.c_str());
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_USERAGENT, request.userAgent.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, t.headers.get());
    // Redirects are followed as the Windows request does, but only to https.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (t.caBundle.len > 0) curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &t.caBundle);
    // Signals are no way to time out a request on a worker thread.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBody));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &t.sink);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t.errorText);
}

std::string transferFailure(CURLcode code, const Transfer& t, const HttpsRequest& request) {
    if (t.sink.overflow || code == CURLE_FILESIZE_EXCEEDED)
        return "the answer is longer than " + std::to_string(request.maxBody) + " bytes";
    if (code == CURLE_OPERATION_TIMEDOUT)
        return std::string("no complete answer in time (") + t.errorText + ")";
    return t.errorText[0] ? t.errorText : curl_easy_strerror(code);
}

} // namespace

HttpsResponse HttpsGet(const HttpsRequest& request) {
    HttpsResponse response;
    response.error = requestProblem(request);
    if (!response.error.empty()) return response;
    std::string caBundle;
    if (!caBundleWithExtra(request, caBundle, response.error)) return response;

    initCurlOnce();
    const std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) {
        response.error = "cannot start a web request";
        return response;
    }
    Transfer t;
    t.headers = requestHeaders();
    if (!t.headers) {
        response.error = "out of memory";
        return response;
    }
    t.url = "https://" + request.host + ":" + std::to_string(request.port) + request.path;
    t.caBundle = curl_blob{caBundle.data(), caBundle.size(), CURL_BLOB_NOCOPY};
    t.sink.limit = request.maxBody;
    setOptions(curl.get(), request, t);

    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        response.error = transferFailure(code, t, request);
        return response;
    }
    response.completed = true;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &response.status);
    response.body = std::move(t.sink.body);
    return response;
}

} // namespace pakforge::services
