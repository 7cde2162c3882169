// The whole check as the window drives it: the worker fetches from the
// loopback server, the fake window serves the hand-over on the test's
// thread, shows the dialogs and opens URLs. This program's own version is
// 3.3.0.0.
#include "FakeVersionCheckUi.h"
#include "LoopbackServer.h"
#include "core/Exceptions.h"
#include "update/checkpad4.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

using namespace pakforge::test;

const std::u16string kNewVersion = u"There is a new version 3.4.0.0 of this program\r\n"
                                   u"available at updates.example.org\r\n"
                                   u"Do you want to download it now?";
const std::u16string kLatest = u"You already have the latest version 3.3.0.0 of this program";

class VersionCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_LOOPBACK_TOOLS();
        server = std::make_unique<LoopbackServer>();
        env = std::make_unique<UpdateEnvironment>(server->authority(), server->caFile());
        check = std::make_unique<TVersionCheck>(ui);
        // As the main window configures it, with a site name of our own.
        check->FailureDlg = true;
        check->DownloadDlg = true;
        check->SiteName = u"updates.example.org";
        check->DownloadURL = u"https://updates.example.org/downloads/pakforge.exe";
        check->SetTimeoutsForTesting(std::chrono::seconds(5), std::chrono::seconds(5));
    }
    void TearDown() override { check.reset(); } // before the server goes
    // One check of a server case, to its end.
    void run(const std::string& name) {
        check->URLCurrVerFile =
            u"https://updates.example.org/case/" + std::u16string(name.begin(), name.end()) + u".xml";
        check->CheckVersion();
        check->WaitForCheck();
    }
    std::u16string failureText() const {
        return u"Could not download file version information from: \r\n" + check->URLCurrVerFile;
    }

    FakeVersionCheckUi ui;
    std::unique_ptr<LoopbackServer> server;
    std::unique_ptr<UpdateEnvironment> env;
    std::unique_ptr<TVersionCheck> check;
};

TEST_F(VersionCheck, NewerVersionAsksAndYesOpensTheDownload) {
    ui.answer = TModalResult::mrYes;
    run("newer");
    ASSERT_EQ(ui.dialogs.size(), 1u);
    EXPECT_EQ(ui.dialogs[0].text, kNewVersion);
    EXPECT_EQ(ui.dialogs[0].type, TMsgDlgType::mtConfirmation);
    EXPECT_EQ(ui.dialogs[0].buttons, mbYes | mbNo);
    EXPECT_EQ(ui.dialogs[0].thread, std::this_thread::get_id());
    EXPECT_EQ(ui.opened, std::vector<std::u16string>{check->DownloadURL});
    EXPECT_EQ(check->LastFailure(), "");

    ui.answer = TModalResult::mrNo;
    run("odd"); // "3.4.0.0" with nothing after it
    ASSERT_EQ(ui.dialogs.size(), 2u);
    EXPECT_EQ(ui.dialogs[1].text, kNewVersion);
    EXPECT_EQ(ui.opened.size(), 1u); // No opens nothing

    check->DownloadDlg = false;
    run("newer");
    EXPECT_EQ(ui.dialogs.size(), 2u);
}

TEST_F(VersionCheck, SameOrOlderVersionSaysLatest) {
    for (const char* name : {"equal", "older"}) run(name);
    ASSERT_EQ(ui.dialogs.size(), 2u);
    for (const auto& d : ui.dialogs) {
        EXPECT_EQ(d.text, kLatest);
        EXPECT_EQ(d.type, TMsgDlgType::mtConfirmation);
        EXPECT_EQ(d.buttons, mbOK);
    }
    check->NoUpdatesDlg = false;
    run("equal");
    EXPECT_EQ(ui.dialogs.size(), 2u);
    EXPECT_TRUE(ui.opened.empty());
}

TEST_F(VersionCheck, AnswersThatAreNoVersionEndQuietly) {
    std::vector<std::u16string> seen;
    check->OnGetURL = [&](TVersionCheck& sender, std::u16string current, std::u16string url) {
        EXPECT_EQ(&sender, check.get());
        EXPECT_EQ(url, check->DownloadURL);
        seen.push_back(current);
    };
    for (const char* name : {"two", "letter"}) {
        run(name);
        EXPECT_TRUE(ui.dialogs.empty()) << name;
        EXPECT_NE(check->LastFailure(), "") << name;
    }
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"3.4", u"3.x.0.0"}));
    EXPECT_EQ(check->LastFailure(), "'x' is not a valid integer value");

    // The event comes first, with the answer as received.
    check->OnGetURL = [&](TVersionCheck&, std::u16string current, std::u16string) {
        ui.events.push_back("event " + std::string(current.begin(), current.end()));
    };
    run("newer");
    EXPECT_EQ(ui.events, (std::vector<std::string>{"event 3.4.0.0", "dialog"}));

    // An event handler's error ends the check the same way, before any dialog.
    check->OnGetURL = [](TVersionCheck&, std::u16string, std::u16string) {
        throw Exception("handler failed");
    };
    run("newer");
    EXPECT_EQ(ui.dialogs.size(), 1u);
    EXPECT_EQ(check->LastFailure(), "handler failed");
}

TEST_F(VersionCheck, FailedFetchesShowTheFailureDialog) {
    for (const char* name : {"notfound", "error", "blank", "big"}) {
        run(name);
        ASSERT_FALSE(ui.dialogs.empty()) << name;
        EXPECT_EQ(ui.dialogs.back().text, failureText()) << name;
        EXPECT_EQ(ui.dialogs.back().type, TMsgDlgType::mtError);
        EXPECT_EQ(ui.dialogs.back().buttons, mbOK);
    }
    EXPECT_EQ(ui.dialogs.size(), 4u);
    EXPECT_EQ(check->LastFailure(), "the answer is longer than 65536 bytes");

    check->FailureDlg = false;
    run("notfound");
    EXPECT_EQ(ui.dialogs.size(), 4u);
    EXPECT_EQ(check->LastFailure(), "the server answered with status 404");
}

TEST_F(VersionCheck, UnreachableUntrustedAndSilentServersFail) {
    // Nothing listens.
    {
        UpdateEnvironment closed("127.0.0.1:" + std::to_string(closedPort()), server->caFile());
        TVersionCheck other(ui);
        other.FailureDlg = true;
        other.CheckVersion();
        other.WaitForCheck();
        EXPECT_NE(other.LastFailure(), "");
    }
    // A certificate from a CA nobody trusts.
    {
        UpdateEnvironment rogue(server->authority(), server->rogueCaFile());
        TVersionCheck other(ui);
        other.FailureDlg = true;
        other.CheckVersion();
        other.WaitForCheck();
        EXPECT_NE(other.LastFailure().find("certificate"), std::string::npos) << other.LastFailure();
    }
    // A server that takes the request and never answers.
    check->SetTimeoutsForTesting(std::chrono::seconds(5), std::chrono::milliseconds(800));
    run("hang");
    ASSERT_EQ(ui.dialogs.size(), 3u);
    EXPECT_EQ(ui.dialogs[2].text, failureText());
    for (const auto& d : ui.dialogs) {
        EXPECT_EQ(d.type, TMsgDlgType::mtError);
        EXPECT_EQ(d.text.rfind(u"Could not download file version information from: \r\nhttps://", 0), 0u);
    }
}

TEST_F(VersionCheck, RequestFromTheMainWindowsConfiguration) {
    check = std::make_unique<TVersionCheck>(ui);
    EXPECT_TRUE(check->VersioInfoPresent());
    EXPECT_EQ(check->FileVersion() + u" " + check->ProductName() + u" " + check->ProductDescription(),
              u"3.3.0.0 Pakforge Update check tests");
    const TUpdateSite site = UpdateSite();
    check->URLCurrVerFile = site.URLCurrVerFile;
    check->DownloadURL = site.DownloadURL;
    check->SiteName = site.SiteName;
    server->setCase("newer");
    check->CheckVersion();
    check->WaitForCheck();
    const auto log = server->requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(
        log[0].find(R"("line": "GET /pad/getpad.php?pad=/pakforge/pakforge.xml&field=version HTTP/1.1")"),
        std::string::npos)
        << log[0];
    for (const char* header :
         {R"("User-Agent": "CheckUpdates/1.0")", R"("Cache-Control": "no-cache")", R"("Pragma": "no-cache")"})
        EXPECT_NE(log[0].find(header), std::string::npos) << log[0];
    ASSERT_EQ(ui.dialogs.size(), 1u);
    EXPECT_NE(ui.dialogs[0].text.find(u"available at " + site.SiteName + u"\r\n"), std::u16string::npos);
}

TEST_F(VersionCheck, SecondClickWaitsAndServesTheFirstDialog) {
    check->URLCurrVerFile = u"https://updates.example.org/case/slow.xml";
    check->CheckVersion();
    check->URLCurrVerFile = u"https://updates.example.org/case/equal.xml";
    ui.events.push_back("second click");
    check->CheckVersion();
    ui.events.push_back("second click returned");
    // The first check's dialog came up inside the second click's wait.
    ASSERT_EQ(ui.dialogs.size(), 1u);
    EXPECT_EQ(ui.dialogs[0].text, kNewVersion);
    EXPECT_TRUE(ui.dialogs[0].duringWait);
    // Then the second check runs and shows its own.
    check->WaitForCheck();
    ASSERT_EQ(ui.dialogs.size(), 2u);
    EXPECT_EQ(ui.dialogs[1].text, kLatest);
    EXPECT_EQ(ui.events,
              (std::vector<std::string>{"second click", "dialog", "second click returned", "dialog"}));
    EXPECT_EQ(server->requests().size(), 2u);
}

TEST_F(VersionCheck, DestroyingDuringACheckWaitsForIt) {
    check->URLCurrVerFile = u"https://updates.example.org/case/slow.xml";
    check->CheckVersion();
    check.reset(); // as the main window closing
    ASSERT_EQ(ui.dialogs.size(), 1u);
    EXPECT_EQ(ui.dialogs[0].text, kNewVersion);
    EXPECT_TRUE(ui.dialogs[0].duringWait);

    // A dead server: the wait ends with the time-out and the failure dialog.
    check = std::make_unique<TVersionCheck>(ui);
    check->FailureDlg = true;
    check->SetTimeoutsForTesting(std::chrono::seconds(5), std::chrono::milliseconds(800));
    check->URLCurrVerFile = u"https://updates.example.org/case/hang.xml";
    check->CheckVersion();
    check.reset();
    ASSERT_EQ(ui.dialogs.size(), 2u);
    EXPECT_EQ(ui.dialogs[1].type, TMsgDlgType::mtError);
}

TEST_F(VersionCheck, ChecksCalledInsideTheHandOverAreIgnoredNotDeadlocked) {
    // A nested event loop (the dialog's) can deliver another click while the
    // worker still waits for its hand-over.
    int nested = 0;
    check->OnGetURL = [&](TVersionCheck& sender, std::u16string, std::u16string) {
        ++nested;
        sender.CheckVersion();
        sender.WaitForCheck();
    };
    run("newer");
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(ui.dialogs.size(), 1u);
    EXPECT_EQ(server->requests().size(), 1u);
}

} // namespace
} // namespace pakforge
