// A program built without a version block: the check still fetches, but has
// nothing to compare with, so it shows nothing and calls no handler.
#include "FakeVersionCheckUi.h"
#include "LoopbackServer.h"
#include "services/OwnVersionBlock.h"
#include "update/checkpad4.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

using namespace pakforge::test;

TEST(NoVersionBlock, SuccessfulFetchShowsNothing) {
    EXPECT_TRUE(services::OwnVersionBlock().empty());
    REQUIRE_LOOPBACK_TOOLS();
    LoopbackServer server;
    UpdateEnvironment env(server.authority(), server.caFile());
    FakeVersionCheckUi ui;
    bool called = false;
    {
        TVersionCheck check(ui);
        EXPECT_FALSE(check.VersioInfoPresent());
        EXPECT_EQ(check.FileVersion(), u"");
        EXPECT_EQ(check.ProductName(), u"");
        EXPECT_EQ(check.ProductDescription(), u"");
        check.FailureDlg = true;
        check.OnGetURL = [&](TVersionCheck&, std::u16string, std::u16string) { called = true; };
        for (const char* name : {"newer", "equal"}) {
            server.setCase(name);
            check.CheckVersion();
            check.WaitForCheck();
            EXPECT_EQ(check.LastFailure(), "");
        }
        // A failed fetch is still reported.
        server.setCase("notfound");
        check.CheckVersion();
    }
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_FALSE(called);
    ASSERT_EQ(ui.dialogs.size(), 1u);
    EXPECT_EQ(ui.dialogs[0].type, TMsgDlgType::mtError);
}

} // namespace
} // namespace pakforge
