// The window's command line, split as it always has been: the count of
// three on which the command-line build rests depends on it.
#include "ui/CommandLine.h"

#include <gtest/gtest.h>

namespace pakforge::ui {
namespace {

using Arguments = std::vector<std::u16string>;

TEST(CommandLine, SplitsOnBlanksWithQuotedSectionsAndNoEscapes) {
    EXPECT_EQ(splitCommandLine(uR"(C:\pf\pakforge.exe a.msi b.ico c.exe)"),
              (Arguments{uR"(C:\pf\pakforge.exe)", u"a.msi", u"b.ico", u"c.exe"}));
    // Blanks inside quotes stay; quotes go; pieces that touch are one.
    EXPECT_EQ(splitCommandLine(uR"("C:\Program Files\pf.exe" "C:\My Files\x.msi" ab"c d"e)"),
              (Arguments{uR"(C:\Program Files\pf.exe)", uR"(C:\My Files\x.msi)", u"abc de"}));
    // A backslash before a quote escapes nothing; an open quote runs to the end.
    EXPECT_EQ(splitCommandLine(uR"(pf C:\dir\" x  y)"), (Arguments{u"pf", uR"(C:\dir\ x  y)"}));
    // Tabs and control characters separate like blanks.
    EXPECT_EQ(splitCommandLine(u"pf\ta\x01"
                               u"b\r\nc"),
              (Arguments{u"pf", u"a", u"b", u"c"}));
}

TEST(CommandLine, AnEmptyPairAtAnArgumentsStartIsSkipped) {
    // Three words, of which one is "": two arguments, so no build.
    EXPECT_EQ(splitCommandLine(uR"(pf a.msi "" c.exe)"), (Arguments{u"pf", u"a.msi", u"c.exe"}));
    EXPECT_EQ(splitCommandLine(uR"(pf ""b "a""b")"), (Arguments{u"pf", u"b", u"ab"}));
    // Splitting stops where an argument comes out empty.
    EXPECT_EQ(splitCommandLine(u"pf a \"\"\"\" "), (Arguments{u"pf", u"a"}));
    EXPECT_EQ(splitCommandLine(u"pf a \"\" \" \" b"), (Arguments{u"pf", u"a", u" ", u"b"}));
    EXPECT_TRUE(splitCommandLine(u"  \t ").empty());
}

} // namespace
} // namespace pakforge::ui
