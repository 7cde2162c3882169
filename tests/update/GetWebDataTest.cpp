// GetWebData against the loopback HTTPS server: what counts as an answer,
// what fails, and that a slow, dead or oversized server cannot hold it.
#include "update/getwebdata.h"
#include "LoopbackServer.h"
#include "update/checkpad4.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

using namespace pakforge::test;

class WebData : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_LOOPBACK_TOOLS();
        server = std::make_unique<LoopbackServer>();
        env = std::make_unique<UpdateEnvironment>(server->authority(), server->caFile());
        options.Port = static_cast<std::uint16_t>(server->port());
        options.ExtraCaFile = server->caFile();
        options.ConnectTimeout = std::chrono::seconds(5);
        options.TotalTimeout = std::chrono::seconds(5);
    }
    TWebData get(const std::string& name) {
        const std::string path = "/pad/getpad.php?pad=/case/" + name + ".xml&field=version";
        return GetWebData(u"CheckUpdates/1.0", u"127.0.0.1", std::u16string(path.begin(), path.end()),
                          options);
    }
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<UpdateEnvironment> env;
    TWebDataOptions options;
};

TEST_F(WebData, AnswersAreTheTrimmedWholeBody) {
    struct Case {
        const char* name;
        std::int32_t result;
        std::string answer;
    };
    const Case cases[] = {
        {"newer", 0, "3.4.0.0"},    {"odd", 0, "3.4.0.0"}, // 7 bytes, nothing appended
        {"two", 0, "3.4"},                                 // judging the version is not the request's job
        {"chunks", 0, "3.4.0.0"},                          // a body in pieces is read whole
        {"redirect", 0, "3.4.0.0"},                        // followed, as the Windows request does
        {"blank", -1, ""},          {"empty", -1, ""},     {"notfound", -1, ""}, // whatever the body says
        {"error", -1, ""},
    };
    for (const auto& c : cases) {
        const auto r = get(c.name);
        EXPECT_EQ(r.ResultCode, c.result) << c.name << ": " << r.FailureReason;
        EXPECT_EQ(r.Answer, c.answer) << c.name;
        EXPECT_EQ(r.FailureReason.empty(), c.result == 0) << c.name;
    }
    EXPECT_EQ(get("notfound").FailureReason, "the server answered with status 404");
    EXPECT_EQ(get("blank").FailureReason, "the server's answer is empty");
}

TEST_F(WebData, SendsOneGetWithTheUserAgentAndNoCache) {
    ASSERT_EQ(get("newer").ResultCode, 0);
    const auto log = server->requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(R"("line": "GET /pad/getpad.php?pad=/case/newer.xml&field=version HTTP/1.1")"),
              std::string::npos)
        << log[0];
    EXPECT_NE(log[0].find(R"("User-Agent": "CheckUpdates/1.0")"), std::string::npos) << log[0];
    EXPECT_NE(log[0].find(R"("Cache-Control": "no-cache")"), std::string::npos) << log[0];
    EXPECT_NE(log[0].find(R"("Pragma": "no-cache")"), std::string::npos) << log[0];
}

TEST_F(WebData, BodiesOverTheCapFail) {
    for (const char* name : {"big", "bigchunks"}) { // with and without a stated length
        const auto r = get(name);
        EXPECT_EQ(r.ResultCode, -1) << name;
        EXPECT_EQ(r.Answer, "") << name;
        EXPECT_EQ(r.FailureReason, "the answer is longer than 65536 bytes") << name;
    }
}

TEST_F(WebData, UntrustedOrUnreachableServersFail) {
    // Only the system's certificates: the throwaway CA is unknown.
    options.ExtraCaFile.clear();
    auto r = get("newer");
    EXPECT_EQ(r.ResultCode, -1);
    EXPECT_EQ(r.Answer, "");
    EXPECT_NE(r.FailureReason.find("certificate"), std::string::npos) << r.FailureReason;
    // Another CA with the same name does not vouch for the server either.
    options.ExtraCaFile = server->rogueCaFile();
    r = get("newer");
    EXPECT_EQ(r.ResultCode, -1);
    EXPECT_NE(r.FailureReason.find("certificate"), std::string::npos) << r.FailureReason;
    // The certificate names 127.0.0.1 only: the same server reached as
    // localhost fails the host-name check.
    options.ExtraCaFile = server->caFile();
    r = GetWebData(u"CheckUpdates/1.0", u"localhost", u"/pad/getpad.php?pad=/case/newer.xml&field=version",
                   options);
    EXPECT_EQ(r.ResultCode, -1);
    EXPECT_NE(r.FailureReason.find("certificate"), std::string::npos) << r.FailureReason;
    // An unreadable certificate file fails instead of trusting less or more.
    options.ExtraCaFile = "/nonexistent/ca.pem";
    r = get("newer");
    EXPECT_EQ(r.ResultCode, -1);
    EXPECT_NE(r.FailureReason.find("/nonexistent/ca.pem"), std::string::npos) << r.FailureReason;
    EXPECT_EQ(server->requests().size(), 0u);

    options.ExtraCaFile = server->caFile();
    options.Port = static_cast<std::uint16_t>(closedPort());
    r = get("newer");
    EXPECT_EQ(r.ResultCode, -1);
    EXPECT_FALSE(r.FailureReason.empty());
    // A host that would change the address's meaning is refused outright.
    r = GetWebData(u"CheckUpdates/1.0", u"127.0.0.1:1/x", u"/", options);
    EXPECT_EQ(r.ResultCode, -1);
    EXPECT_EQ(r.FailureReason, "\"127.0.0.1:1/x\" is not a host name");
}

TEST_F(WebData, ServerThatNeverAnswersTimesOut) {
    options.TotalTimeout = std::chrono::milliseconds(800);
    const auto r = get("hang");
    EXPECT_EQ(r.ResultCode, -1);
    EXPECT_EQ(r.FailureReason.rfind("no complete answer in time", 0), 0u) << r.FailureReason;
    EXPECT_EQ(server->requests().size(), 1u);
}

TEST(WebDataDefaults, VendorSiteAndTimeouts) {
    ::unsetenv("PAKFORGE_UPDATE_HOST");
    ::unsetenv("PAKFORGE_UPDATE_CA");
    const TUpdateSite site = UpdateSite();
    EXPECT_EQ(site.URLCurrVerFile, u"https://updates.pakforge.example/pakforge/pakforge.xml");
    EXPECT_EQ(site.DownloadURL, u"https://updates.pakforge.example/downloads/pakforge.exe");
    EXPECT_EQ(site.SiteName, u"updates.pakforge.example");
    TUpdateServer server = UpdateServer();
    EXPECT_EQ(server.Host, u"updates.pakforge.example");
    EXPECT_EQ(server.Port, 443);
    EXPECT_EQ(server.Error, "");
    EXPECT_TRUE(server.ExtraCaFile.empty());
    const TWebDataOptions options;
    EXPECT_EQ(options.Port, 443);
    EXPECT_EQ(options.ConnectTimeout, std::chrono::seconds(15));
    EXPECT_EQ(options.TotalTimeout, std::chrono::seconds(30));

    test::UpdateEnvironment env("127.0.0.1:8443", "/tmp/extra.pem");
    server = UpdateServer();
    EXPECT_EQ(server.Host, u"127.0.0.1");
    EXPECT_EQ(server.Port, 8443);
    EXPECT_EQ(server.ExtraCaFile, "/tmp/extra.pem");
    EXPECT_EQ(UpdateSite().DownloadURL, u"https://127.0.0.1:8443/downloads/pakforge.exe");
    for (const char* bad : {"host:", "host:0", "host:65536", "host:x1", ":443"}) {
        ::setenv("PAKFORGE_UPDATE_HOST", bad, 1);
        EXPECT_NE(UpdateServer().Error, "") << bad;
    }
}

TEST(GetURLPath, PathPartOnly) {
    EXPECT_EQ(GetURLPath(u"https://updates.pakforge.example/pakforge/pakforge.xml"),
              u"/pakforge/pakforge.xml");
    EXPECT_EQ(GetURLPath(u"https://h:8443/a/b.xml?x=1#f"), u"/a/b.xml");
    EXPECT_EQ(GetURLPath(u"http://h/a%20b.xml"), u"/a b.xml");
    EXPECT_EQ(GetURLPath(u"not an address"), u"");
    EXPECT_EQ(GetURLPath(u"ftp://h/a.xml"), u"");
    EXPECT_EQ(GetURLPath(u"https://h/" + std::u16string(2047, u'a')).size(), 2048u);
    EXPECT_EQ(GetURLPath(u"https://h/" + std::u16string(2048, u'a')), u"");
}

} // namespace
} // namespace pakforge
