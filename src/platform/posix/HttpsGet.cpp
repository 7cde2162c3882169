#include "platform/HttpsGet.h"

#include "core/Utf16.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

namespace pakforge::platform {

namespace {

struct EasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
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

} // namespace

HttpsResponse HttpsGet(const HttpsRequest& request) {
    HttpsResponse response;
    response.error = requestProblem(request);
    if (!response.error.empty()) return response;

    // Extra certificates join the system's bundle rather than replace it.
    std::string caBundle;
    if (!request.extraCaFile.empty()) {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        if (info->cainfo) readFile(info->cainfo, caBundle);
        std::string extra;
        if (!readFile(request.extraCaFile, extra)) {
            response.error = "cannot read the certificates in " + request.extraCaFile.string() + ": " +
                             std::strerror(errno);
            return response;
        }
        caBundle += "\n" + extra;
    }

    initCurlOnce();
    const std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl) {
        response.error = "cannot start a web request";
        return response;
    }
    // No cached answer, and no Accept header (none is sent by default there).
    curl_slist* headers = nullptr;
    for (const char* h : {"Cache-Control: no-cache", "Pragma: no-cache", "Accept:"}) {
        curl_slist* grown = curl_slist_append(headers, h);
        if (!grown) {
            curl_slist_free_all(headers);
            response.error = "out of memory";
            return response;
        }
        headers = grown;
    }
    const std::unique_ptr<curl_slist, SlistDeleter> headerList(headers);

    const std::string url = "https://" + request.host + ":" + std::to_string(request.port) + request.path;
    Sink sink;
    sink.limit = request.maxBody;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_blob blob{caBundle.data(), caBundle.size(), CURL_BLOB_NOCOPY};

    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_USERAGENT, request.userAgent.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headerList.get());
    // Redirects are followed as the Windows request does, but only to https.
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!caBundle.empty()) curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &blob);
    // Signals are no way to time out a request on a worker thread.
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalTimeout.count()));
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBody));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);

    const CURLcode code = curl_easy_perform(c);
    if (code == CURLE_OK) {
        response.completed = true;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
        response.body = std::move(sink.body);
        return response;
    }
    if (sink.overflow || code == CURLE_FILESIZE_EXCEEDED)
        response.error = "the answer is longer than " + std::to_string(request.maxBody) + " bytes";
    else if (code == CURLE_OPERATION_TIMEDOUT)
        response.error = std::string("no complete answer in time (") + errorText + ")";
    else
        response.error = errorText[0] ? errorText : curl_easy_strerror(code);
    return response;
}

std::u16string UrlPath(std::u16string_view url, std::size_t maxChars) {
    const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed) return {};
    const std::string text = utf16ToUtf8(url);
    if (curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return {};
    char* scheme = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return {};
    const bool web = std::strcmp(scheme, "https") == 0 || std::strcmp(scheme, "http") == 0;
    curl_free(scheme);
    if (!web) return {};
    char* path = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_PATH, &path, CURLU_URLDECODE) != CURLUE_OK) return {};
    std::u16string result = utf8ToUtf16(path);
    curl_free(path);
    if (result.size() > maxChars) return {};
    return result;
}

} // namespace pakforge::platform
