// The stub's command line on the host: split as msiexec splits, switches
// refused or passed, and the line written again for msiexec.
#include "Arguments.h"
#include "HostText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> split(const wchar_t* line) {
    std::vector<std::wstring> arguments;
    stub::HostText arg;
    for (const wchar_t* p = line; stub::nextArgument(p, arg);) arguments.push_back(arg.str());
    return arguments;
}

// The rebuilt line, or "refused: ARG".
std::wstring check(const wchar_t* line) {
    stub::HostText out;
    stub::HostText refused;
    if (stub::checkPassedArguments(line, out, refused)) return L"refused: " + refused.str();
    return out.str();
}

TEST(StubArguments, SplitsAsMsiexecDoes) {
    // A backslash is a character: a folder property may end in one.
    EXPECT_EQ(split(LR"(INSTALLDIR="C:\Program Files\X\" /qn)"),
              (std::vector<std::wstring>{LR"(INSTALLDIR=C:\Program Files\X\)", L"/qn"}));
    EXPECT_EQ(split(LR"(A="say ""hi""" "b c"d	e)"),
              (std::vector<std::wstring>{LR"(A=say "hi")", L"b cd", L"e"}));
    EXPECT_EQ(split(L"  "), std::vector<std::wstring>{});
}

TEST(StubArguments, PassesOnlyInterfaceLoggingRestartAndProperties) {
    EXPECT_EQ(check(LR"(/QN+ -norestart /l*v "C:\my log.txt" INSTALLDIR="C:\Program Files\X\" N="a ""b""")"),
              LR"( /QN+ -norestart /l*v "C:\my log.txt" INSTALLDIR="C:\Program Files\X\" N="a ""b""")");
    EXPECT_EQ(check(L"A=/i B=\"x /x y\" /passive /qb!- /qf /log l.txt /forcerestart /promptrestart"),
              L" A=\"/i\" B=\"x /x y\" /passive /qb!- /qf /log \"l.txt\" /forcerestart /promptrestart");
    // Everything that names another package or action, in every spelling.
    for (const wchar_t* line : {L"/i x.msi",
                                L"-I x.msi",
                                L"/iC:\\x.msi",
                                L"\"/i\" x.msi",
                                L"/x {GUID}",
                                L"/X",
                                L"/a x.msi",
                                L"/j x.msi",
                                L"/fa x.msi",
                                L"/famus x.msi",
                                L"/f",
                                L"/p x.msp",
                                L"/package x.msi",
                                L"-Package x.msi",
                                L"/uninstall {GUID}",
                                L"/update x.msp",
                                L"/y x.dll",
                                L"/z x.dll",
                                L"x.msi",
                                L"/q x.msi",
                                L"/qx",
                                L"/l*v",
                                L"/l*v /i",
                                L"--help",
                                L"/?",
                                L"=value",
                                L"1A=b"}) {
        EXPECT_EQ(check(line).rfind(L"refused: ", 0), 0u) << std::wstring(line);
    }
    EXPECT_EQ(check(L"/qn /norestart /fa x.msi"), L"refused: /fa");
    EXPECT_EQ(check(L"/qn /l*v"), L"refused: (log file missing)");
}

TEST(StubArguments, QuietOnlyForUnattendedLevels) {
    for (const wchar_t* quiet : {L"/q", L"/qn", L"/QB!", L"-qr+", L"/quiet", L"/passive", L"/qn-"})
        EXPECT_TRUE(stub::isUnattendedSwitch(stub::HostText(quiet))) << std::wstring(quiet);
    for (const wchar_t* shown : {L"/qf", L"/qn*", L"/quietly", L"q", L"/"})
        EXPECT_FALSE(stub::isUnattendedSwitch(stub::HostText(shown))) << std::wstring(shown);
}

} // namespace
