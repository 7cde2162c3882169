// GetWebData against the loopback HTTPS server, for what the whole check
// (VersionCheckTest) cannot see: the exact answer, bodies in pieces,
// redirects and the certificate checks; and where the check asks.
#include "update/getwebdata.h"
#include "LoopbackServer.h"
#include "core/Utf16.h"
#include "update/checkpad4.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

using namespace pakforge::test;

TEST(WebData, AnswersCertificatesAndRefusals) {
    REQUIRE_LOOPBACK_TOOLS();
    LoopbackServer server;
    UpdateEnvironment env(server.authority(), server.caFile());
    TWebDataOptions options;
    options.Port = static_cast<std::uint16_t>(server.port());
    options.ExtraCaFile = server.caFile();
    const auto get = [&](const std::string& name, std::u16string host = u"127.0.0.1") {
        const std::string path = "/pad/getpad.php?pad=/case/" + name + ".xml&field=version";
        return GetWebData(u"CheckUpdates/1.0", host, std::u16string(path.begin(), path.end()), options);
    };
    struct Case {
        const char* name;
        std::string answer; // empty: failure
        std::string reason;
    };
    for (const Case& c : {
             Case{"odd", "3.4.0.0", ""},      // 7 bytes, nothing appended
             Case{"two", "3.4", ""},          // judging the version is not the request's job
             Case{"chunks", "3.4.0.0", ""},   // a body in pieces is read whole
             Case{"redirect", "3.4.0.0", ""}, // followed, as the Windows request does
             Case{"empty", "", "the server's answer is empty"},
             Case{"bigchunks", "", "the answer is longer than 65536 bytes"}, // no length given up front
             Case{"notfound", "", "the server answered with status 404"},    // whatever the body says
         }) {
        const TWebData r = get(c.name);
        EXPECT_EQ(r.ResultCode, c.answer.empty() ? -1 : 0) << c.name;
        EXPECT_EQ(r.Answer, c.answer) << c.name;
        EXPECT_EQ(r.FailureReason, c.reason) << c.name;
    }

    // The certificate names 127.0.0.1 only: the same server reached as
    // localhost fails the host-name check; the system's CAs alone do not
    // know the throwaway one.
    EXPECT_NE(get("odd", u"localhost").FailureReason.find("certificate"), std::string::npos);
    options.ExtraCaFile.clear();
    EXPECT_NE(get("odd").FailureReason.find("certificate"), std::string::npos);
    // An unreadable certificate file fails instead of trusting less or more,
    // and a host that would change the address's meaning is refused.
    options.ExtraCaFile = "/nonexistent/ca.pem";
    EXPECT_NE(get("odd").FailureReason.find("/nonexistent/ca.pem"), std::string::npos);
    options.ExtraCaFile = server.caFile();
    EXPECT_EQ(get("odd", u"127.0.0.1:1/x").FailureReason, "\"127.0.0.1:1/x\" is not a host name");
    EXPECT_EQ(server.requests().size(), 8u); // two for the redirect, none refused before sending
}

TEST(WebData, WhereTheCheckAsks) {
    ::unsetenv("PAKFORGE_UPDATE_HOST");
    ::unsetenv("PAKFORGE_UPDATE_CA");
    const TUpdateSite site = UpdateSite();
    const std::u16string host = utf8ToUtf16(PAKFORGE_VENDOR_HOST); // as configured
    EXPECT_EQ(site.URLCurrVerFile, u"https://" + host + u"/pakforge/pakforge.xml");
    EXPECT_EQ(site.DownloadURL, u"https://" + host + u"/downloads/pakforge.exe");
    EXPECT_EQ(site.SiteName, host);
    EXPECT_EQ(UpdateServer().Port, 443);
    // A dead server holds the window's closing for at most this long.
    EXPECT_EQ(TWebDataOptions{}.ConnectTimeout, std::chrono::seconds(15));
    EXPECT_EQ(TWebDataOptions{}.TotalTimeout, std::chrono::seconds(30));

    UpdateEnvironment env("127.0.0.1:8443", "/tmp/extra.pem");
    const TUpdateServer server = UpdateServer();
    EXPECT_EQ(server.Host + u":" + UpdateSite().SiteName, u"127.0.0.1:127.0.0.1:8443");
    EXPECT_EQ(server.Port, 8443);
    EXPECT_EQ(server.ExtraCaFile, "/tmp/extra.pem");
    for (const char* bad : {"host:", "host:0", "host:65536", "host:x1", ":443"}) {
        ::setenv("PAKFORGE_UPDATE_HOST", bad, 1);
        EXPECT_NE(UpdateServer().Error, "") << bad;
    }

    // Only the address's path goes into the request.
    EXPECT_EQ(GetURLPath(u"https://h:8443/a/b.xml?x=1#f"), u"/a/b.xml");
    EXPECT_EQ(GetURLPath(u"http://h/a%20b.xml"), u"/a b.xml");
    EXPECT_EQ(GetURLPath(u"not an address") + GetURLPath(u"ftp://h/a.xml"), u"");
    EXPECT_EQ(GetURLPath(u"https://h/" + std::u16string(2048, u'a')), u""); // longer than 2,048
    EXPECT_EQ(GetURLPath(u"HTTPS://h"), u"/");
    EXPECT_EQ(GetURLPath(u"https://u@h:1/%E2%82%ac/%zz?q=%41"), u"/\u20ac/%zz");
    EXPECT_EQ(GetURLPath(u"https://h/a%00b") + GetURLPath(u"https:///a") + GetURLPath(u"https:/h/a"), u"");
}

} // namespace
} // namespace pakforge
