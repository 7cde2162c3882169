// pakforge-cli --check-updates against the loopback server: the three
// outcomes, their streams and exit codes.
#include "LoopbackServer.h"
#include "pakforge/Version.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

using namespace pakforge::test;

struct Result {
    int status = 0;
    std::string out;
    std::string err;
};

Result checkUpdates(const LoopbackServer& server, const std::string& args = "") {
    TempDir scratch;
    Result r;
    r.status = runCommand("no_proxy='*' PAKFORGE_UPDATE_HOST=" + server.authority() +
                              " PAKFORGE_UPDATE_CA=" + shellQuote(server.caFile().string()) + " " +
                              shellQuote((binaryDir() / "bin" / "pakforge-cli").string()) +
                              " --check-updates" + args + " 2>" + shellQuote((scratch / "err").string()),
                          &r.out);
    const auto err = readFile(scratch / "err");
    r.err.assign(err.begin(), err.end());
    return r;
}

TEST(CliCheckUpdates, NewerUpToDateOrCouldNotTell) {
    REQUIRE_LOOPBACK_TOOLS();
    LoopbackServer server;
    const std::string site = server.authority();

    server.setCase("newer");
    auto r = checkUpdates(server);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "There is a new version 3.4.0.0 of this program available at " + site + ": https://" +
                         site + "/downloads/pakforge.exe\n");
    EXPECT_EQ(r.err, "");

    server.setCase("cliold"); // 0.9.0.0, older than any release of ours
    r = checkUpdates(server);
    EXPECT_EQ(r.status, 0) << r.err;
    // The program's own version block says the project's version.
    EXPECT_EQ(r.out, std::string("You already have the latest version ") + PAKFORGE_VERSION +
                         ".0 of this program\n");
    EXPECT_EQ(r.err, "");

    const std::string prefix =
        "pakforge-cli: Could not check for updates at https://" + site + "/pakforge/pakforge.xml: ";
    server.setCase("notfound");
    r = checkUpdates(server);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, prefix + "the server answered with status 404\n");

    server.setCase("two");
    r = checkUpdates(server);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, prefix + "'3.4' is not a version number of four parts\n");

    r = checkUpdates(server, " extra");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--check-updates takes no arguments"), std::string::npos) << r.err;

    // Every request came from the command line as the window sends it.
    for (const auto& line : server.requests())
        EXPECT_NE(
            line.find(R"("line": "GET /pad/getpad.php?pad=/pakforge/pakforge.xml&field=version HTTP/1.1")"),
            std::string::npos)
            << line;
    EXPECT_EQ(server.requests().size(), 4u);
}

TEST(CliCheckUpdates, QuietPrintsOnlyTheFailure) {
    REQUIRE_LOOPBACK_TOOLS();
    LoopbackServer server;
    server.setCase("newer");
    auto r = checkUpdates(server, " -q");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    server.setCase("notfound");
    r = checkUpdates(server, " --quiet");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pakforge-cli: Could not check for updates at https://" + server.authority() +
                         "/pakforge/pakforge.xml: the server answered with status 404\n");
}

} // namespace
} // namespace pakforge
