#include "services/HttpsGet.h"

#include "core/Utf16.h"

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace pakforge::services {

namespace {

using Clock = std::chrono::steady_clock;

struct InternetCloser {
    void operator()(void* handle) const { ::WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

struct StoreCloser {
    void operator()(void* store) const { ::CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

struct CertFree {
    void operator()(const CERT_CONTEXT* cert) const { ::CertFreeCertificateContext(cert); }
};
struct ChainFree {
    void operator()(const CERT_CHAIN_CONTEXT* chain) const { ::CertFreeCertificateChain(chain); }
};

std::wstring wide(std::string_view utf8) {
    const std::u16string text = utf8ToUtf16(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string narrow(std::wstring_view text) {
    return utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

std::string systemText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD flags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM |
        (code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST ? FORMAT_MESSAGE_FROM_HMODULE : 0);
    const DWORD n = ::FormatMessageW(flags, ::GetModuleHandleW(L"winhttp.dll"), code, 0,
                                     reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
    if (text) ::LocalFree(text);
    while (!message.empty() && static_cast<unsigned>(message.back()) <= 32) message.pop_back();
    const std::string number = "WinHTTP error " + std::to_string(code);
    return message.empty() ? number : number + ": " + narrow(message);
}

bool isCertificateError(DWORD code) {
    switch (code) {
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return true;
    default:
        return false;
    }
}

// Why the last WinHTTP call failed, worded as on Linux where it matters to
// the reader (time-outs, certificates).
std::string failure(const char* what) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_WINHTTP_TIMEOUT || code == WSAETIMEDOUT)
        return std::string("no complete answer in time (") + systemText(code) + ")";
    if (isCertificateError(code)) return "the server's certificate is not trusted (" + systemText(code) + ")";
    // Some systems (Wine) report every refused certificate as a failed
    // secure channel.
    if (code == ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
        return "the secure connection failed; the server's certificate may not be trusted (" +
               systemText(code) + ")";
    if (code == ERROR_WINHTTP_CANNOT_CONNECT)
        return "cannot connect to the server (" + systemText(code) + ")";
    if (code == ERROR_WINHTTP_NAME_NOT_RESOLVED)
        return "the server's name could not be resolved (" + systemText(code) + ")";
    return std::string(what) + " failed (" + systemText(code) + ")";
}

// Certificates from a PEM file: every BEGIN/END CERTIFICATE block.
bool loadPem(const std::filesystem::path& file, HCERTSTORE store, std::string& error) {
    const std::string shown = narrow(file.wstring());
    std::FILE* f = ::_wfopen(file.c_str(), L"rb");
    if (!f) {
        error = "cannot read the certificates in " + shown + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        text.append(chunk, n);
        if (text.size() > (4u << 20)) break;
    }
    const bool bad = std::ferror(f) || text.size() > (4u << 20);
    std::fclose(f);
    if (bad) {
        error = "cannot read the certificates in " + shown;
        return false;
    }
    static constexpr std::string_view begin = "-----BEGIN CERTIFICATE-----";
    static constexpr std::string_view end = "-----END CERTIFICATE-----";
    int added = 0;
    for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at)) {
        const std::size_t stop = text.find(end, at);
        if (stop == std::string::npos) break;
        const std::string block = text.substr(at, stop + end.size() - at);
        at = stop + end.size();
        DWORD size = 0;
        if (!::CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                    nullptr, &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (!::CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                    der.data(), &size, nullptr, nullptr))
            continue;
        if (::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                               CERT_STORE_ADD_USE_EXISTING, nullptr))
            ++added;
    }
    if (added == 0) {
        error = "no certificate could be read from " + shown;
        return false;
    }
    return true;
}

bool sameCertificate(const CERT_CONTEXT* a, const CERT_CONTEXT* b) {
    return a->cbCertEncoded == b->cbCertEncoded &&
           std::memcmp(a->pbCertEncoded, b->pbCertEncoded, a->cbCertEncoded) == 0;
}

// Trust in the extra certificates. WinHTTP can only be told to let an
// unknown root pass; its own checks of name, dates and usage stay on. Each
// time a connection's handshake is done, just before the request goes out,
// the server's chain is built again here and accepted only when it is
// trusted by the system or ends in one of the extra certificates, and the
// name matches. WinHTTP offers no way to hold the request back from here, so
// a refused server may still receive it (a plain GET, nothing secret in it);
// its answer is never read.
struct ExtraTrust {
    HCERTSTORE roots = nullptr;
    std::wstring host;
    int checked = 0;
    std::string error;

    void check(HINTERNET request) {
        ++checked;
        const CERT_CONTEXT* raw = nullptr;
        DWORD size = sizeof raw;
        if (!::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || !raw) {
            fail("the server's certificate is not available to check");
            return;
        }
        const std::unique_ptr<const CERT_CONTEXT, CertFree> cert(raw);
        const auto chain = buildChain(cert.get());
        if (chain && endsInTrustedRoot(*chain)) fitsHost(chain.get());
    }

    // The server's chain over the extra roots and the intermediates the
    // server sent; null (and the error set) when there is none.
    std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> buildChain(const CERT_CONTEXT* cert) {
        const Store pool(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
        if (!pool) {
            fail("cannot check the server's certificate");
            return nullptr;
        }
        ::CertAddStoreToCollection(pool.get(), roots, 0, 0);
        if (cert->hCertStore) ::CertAddStoreToCollection(pool.get(), cert->hCertStore, 0, 0);

        char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
        char* usages[] = {serverAuth};
        CERT_CHAIN_PARA para{};
        para.cbSize = sizeof para;
        para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        para.RequestedUsage.Usage.cUsageIdentifier = 1;
        para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
        const CERT_CHAIN_CONTEXT* rawChain = nullptr;
        if (!::CertGetCertificateChain(nullptr, cert, nullptr, pool.get(), &para, 0, nullptr, &rawChain) ||
            !rawChain) {
            fail("cannot build the server's certificate chain");
            return nullptr;
        }
        std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree> chain(rawChain);
        if (chain->cChain < 1 || chain->rgpChain[0]->cElement < 1) {
            fail("the server's certificate chain is empty");
            return nullptr;
        }
        return chain;
    }

    // Valid but for an unknown root, and that root one of the extra ones.
    bool endsInTrustedRoot(const CERT_CHAIN_CONTEXT& chain) {
        const DWORD status = chain.TrustStatus.dwErrorStatus;
        if (status & ~DWORD{CERT_TRUST_IS_UNTRUSTED_ROOT}) {
            fail("the server's certificate chain is not valid (trust status " + std::to_string(status) + ")");
            return false;
        }
        if (!(status & CERT_TRUST_IS_UNTRUSTED_ROOT)) return true;
        const CERT_SIMPLE_CHAIN* simple = chain.rgpChain[0];
        const CERT_CONTEXT* root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        bool known = false;
        for (const CERT_CONTEXT* c = nullptr; !known && (c = ::CertEnumCertificatesInStore(roots, c));) {
            if (sameCertificate(c, root)) {
                known = true;
                ::CertFreeCertificateContext(c);
            }
        }
        if (!known) fail("the server's certificate is signed by an unknown authority");
        return known;
    }

    void fitsHost(const CERT_CHAIN_CONTEXT* chain) {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA; // the root was matched before
        ssl.pwszServerName = host.data();
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS result{};
        result.cbSize = sizeof result;
        if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result) ||
            result.dwError != 0)
            fail("the server's certificate does not fit " + narrow(host) + " (" + systemText(result.dwError) +
                 ")");
    }

    void fail(const std::string& why) {
        if (error.empty()) error = why;
    }
};

void CALLBACK onStatus(HINTERNET handle, DWORD_PTR context, DWORD status, void*, DWORD) {
    if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST && context)
        reinterpret_cast<ExtraTrust*>(context)->check(handle);
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 1 : static_cast<int>(std::min<long long>(left, 0x7fffffff));
}

bool isRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

struct Target {
    std::wstring host;
    INTERNET_PORT port = 443;
    std::wstring path;
};

// Where a Location header points, seen from the current target; false for
// anything but https.
bool resolveLocation(const std::wstring& location, Target& target) {
    if (location.empty()) return false;
    if (location[0] == L'/' && (location.size() < 2 || location[1] != L'/')) {
        target.path = location;
        return true;
    }
    const std::wstring absolute = location.rfind(L"//", 0) == 0 ? L"https:" + location : location;
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(absolute.c_str(), static_cast<DWORD>(absolute.size()), 0, &parts)) {
        // A relative path: beside the current one.
        if (location.find(L':') != std::wstring::npos) return false;
        const std::wstring base = target.path.substr(0, target.path.find(L'?'));
        target.path = base.substr(0, base.rfind(L'/') + 1) + location;
        return true;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (target.path.empty() || target.path[0] != L'/') target.path.insert(0, L"/");
    return !target.host.empty();
}

std::wstring locationHeader(HINTERNET request) {
    DWORD size = 0;
    ::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                          WINHTTP_NO_HEADER_INDEX);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 64 * 1024) return {};
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1);
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, text.data(),
                               &size, WINHTTP_NO_HEADER_INDEX))
        return {};
    return std::wstring(text.data(), size / sizeof(wchar_t));
}

// Sets every time-out of the handle to what is left of the whole request.
void limitTo(HINTERNET handle, Clock::time_point deadline) {
    DWORD left = static_cast<DWORD>(remainingMs(deadline));
    ::WinHttpSetOption(handle, WINHTTP_OPTION_SEND_TIMEOUT, &left, sizeof left);
    ::WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_TIMEOUT, &left, sizeof left);
    ::WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &left, sizeof left);
}

constexpr int kMaxRedirects = 10;

int clampMs(std::chrono::milliseconds ms) {
    return static_cast<int>(std::min<long long>(ms.count(), 0x7fffffff));
}

// One request, hop by hop through its redirects. Each step returns false
// with the response's error set.
class Fetch {
  public:
    explicit Fetch(const HttpsRequest& request)
        : request_(request), connectMs_(clampMs(request.connectTimeout)) {}

    HttpsResponse run() {
        if (!loadExtraRoots()) return std::move(response_);
        deadline_ = Clock::now() + request_.totalTimeout;
        if (!openSession()) return std::move(response_);
        Target target{wide(request_.host), request_.port, wide(request_.path)};
        for (int hop = 0; exchange(target, hop) == Hop::Redirected; ++hop) {
        }
        return std::move(response_);
    }

  private:
    enum class Hop { Done, Redirected, Failed };

    bool fail(std::string why) {
        response_.error = std::move(why);
        return false;
    }

    bool loadExtraRoots() {
        if (request_.extraCaFile.empty()) return true;
        extraRoots_.reset(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
        if (!extraRoots_) return fail("cannot hold the extra certificates");
        return loadPem(request_.extraCaFile, extraRoots_.get(), response_.error);
    }

    bool openSession() {
        session_.reset(::WinHttpOpen(wide(request_.userAgent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session_) return fail(failure("WinHttpOpen"));
        // TLS 1.2 at least, as on Linux (older systems offer less by default);
        // 1.3 where the system knows it.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
        if (!::WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                sizeof protocols)) {
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            if (!::WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                                    sizeof protocols))
                return fail(failure("asking for TLS 1.2"));
        }
        const int totalMs = clampMs(request_.totalTimeout);
        ::WinHttpSetTimeouts(session_.get(), connectMs_, connectMs_, totalMs, totalMs);
        return true;
    }

    Hop exchange(Target& target, int hop) {
        const Internet connection(::WinHttpConnect(session_.get(), target.host.c_str(), target.port, 0));
        if (!connection) return failed(failure("WinHttpConnect"));
        const Internet handle(openRequest(connection.get(), target.path));
        if (!handle) return failed(failure("WinHttpOpenRequest"));
        HINTERNET r = handle.get();
        ExtraTrust trust;
        DWORD status = 0;
        if (!trustExtraRoots(r, target.host, trust) || !send(r, trust) || !receive(r, status))
            return Hop::Failed;
        if (isRedirect(status)) {
            const std::wstring location = locationHeader(r);
            if (!location.empty()) return follow(location, hop, target);
        }
        std::string body;
        if (!readBody(r, body)) return Hop::Failed;
        response_.completed = true;
        response_.status = static_cast<long>(status);
        response_.body = std::move(body);
        return Hop::Done;
    }

    Hop failed(std::string why) {
        fail(std::move(why));
        return Hop::Failed;
    }

    HINTERNET openRequest(HINTERNET connection, const std::wstring& path) {
        HINTERNET r =
            ::WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH);
        if (!r) return nullptr;
        // Redirects are followed here, where their target can be checked.
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        ::WinHttpSetOption(r, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
        DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
        ::WinHttpSetOption(r, WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
        ::WinHttpSetTimeouts(r, connectMs_, connectMs_, remainingMs(deadline_), remainingMs(deadline_));
        limitTo(r, deadline_);
        return r;
    }

    bool trustExtraRoots(HINTERNET r, const std::wstring& host, ExtraTrust& trust) {
        if (!extraRoots_) return true;
        trust.roots = extraRoots_.get();
        trust.host = host;
        DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
        if (!::WinHttpSetOption(r, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags) ||
            ::WinHttpSetStatusCallback(r, &onStatus, WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0) ==
                WINHTTP_INVALID_STATUS_CALLBACK)
            return fail(failure("trusting the extra certificates"));
        return true;
    }

    bool send(HINTERNET r, ExtraTrust& trust) {
        const bool sent =
            ::WinHttpSendRequest(r, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                 reinterpret_cast<DWORD_PTR>(extraRoots_ ? &trust : nullptr));
        if (!sent) return fail(!trust.error.empty() ? trust.error : failure("WinHttpSendRequest"));
        // Fail closed: a check that did not run is a check that failed.
        if (extraRoots_ && (trust.checked == 0 || !trust.error.empty()))
            return fail(trust.error.empty() ? "the server's certificate could not be checked" : trust.error);
        return true;
    }

    bool receive(HINTERNET r, DWORD& status) {
        limitTo(r, deadline_);
        if (!::WinHttpReceiveResponse(r, nullptr)) return fail(failure("WinHttpReceiveResponse"));
        DWORD size = sizeof status;
        if (!::WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            return fail(failure("WinHttpQueryHeaders"));
        return true;
    }

    Hop follow(const std::wstring& location, int hop, Target& target) {
        if (hop >= kMaxRedirects) return failed("more than " + std::to_string(kMaxRedirects) + " redirects");
        if (!resolveLocation(location, target))
            return failed("the server redirected to " + narrow(location) + ", which is not https");
        return Hop::Redirected;
    }

    // The whole body, however many pieces it comes in, up to the cap.
    bool readBody(HINTERNET r, std::string& body) {
        for (;;) {
            if (Clock::now() >= deadline_) return fail("no complete answer in time");
            limitTo(r, deadline_);
            DWORD available = 0;
            if (!::WinHttpQueryDataAvailable(r, &available))
                return fail(failure("WinHttpQueryDataAvailable"));
            if (available == 0) return true;
            if (available > request_.maxBody - body.size())
                return fail("the answer is longer than " + std::to_string(request_.maxBody) + " bytes");
            const std::size_t at = body.size();
            body.resize(at + available);
            DWORD read = 0;
            if (!::WinHttpReadData(r, body.data() + at, available, &read))
                return fail(failure("WinHttpReadData"));
            body.resize(at + read);
            if (read == 0) return true;
        }
    }

    const HttpsRequest& request_;
    const int connectMs_;
    Clock::time_point deadline_;
    HttpsResponse response_;
    Store extraRoots_;
    Internet session_;
};

} // namespace

HttpsResponse HttpsGet(const HttpsRequest& request) {
    HttpsResponse response;
    response.error = requestProblem(request);
    if (!response.error.empty()) return response;
    return Fetch(request).run();
}

} // namespace pakforge::services
