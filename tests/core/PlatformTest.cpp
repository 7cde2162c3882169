// The operating system layer as the core relies on it, on whichever system
// the tests were built for (Linux, or Windows under Wine): share modes,
// replacing a file, error texts, non-ASCII paths, name comparison and the
// local time of a file.
#include "core/Exceptions.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "os/System.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using Mode = FileStream::Mode;
using Share = FileStream::Share;
using test::TempDir;

#ifdef _WIN32
constexpr bool kEnforcedSharing = true;
#else
// Advisory locks bind only openers that ask for a share mode themselves.
constexpr bool kEnforcedSharing = false;
#endif

// A folder and a package name a user could have.
const std::string kFolder = "\xC3\x9Cn\xC3\xAF"
                            "c\xC3\xB6"
                            "d\xC3\xA9"; // Ünïcödé
const std::string kPackage = "Pr\xC3\xBC"
                             "fung-\xC3\x84\xC3\x96.msi"; // Prüfung-ÄÖ.msi

bool opens(const fs::path& path, Mode mode, Share share) {
    try {
        FileStream file(path, mode, share);
        return true;
    } catch (const EFOpenError&) {
        return false;
    }
}

TEST(ShareModes, SecondOpenersAreLetInOrRefusedAsTheFirstOneAllows) {
    TempDir dir;
    const auto path = dir / "held.exe";
    test::writeText(path, "stub");
    {
        // The build's output stream: others may read it, not write it.
        FileStream output(path, Mode::OpenReadWrite, Share::DenyWrite);
        EXPECT_TRUE(opens(path, Mode::OpenRead, Share::DenyNone));
        EXPECT_EQ(opens(path, Mode::OpenWrite, Share::DenyNone), !kEnforcedSharing);
        EXPECT_FALSE(opens(path, Mode::OpenRead, Share::Exclusive));
    }
    {
        // A package being archived: nobody else gets in.
        FileStream package(path, Mode::OpenRead, Share::Exclusive);
        EXPECT_EQ(opens(path, Mode::OpenRead, Share::DenyNone), !kEnforcedSharing);
        EXPECT_FALSE(opens(path, Mode::OpenRead, Share::DenyWrite));
        try {
            FileStream second(path, Mode::OpenRead, Share::Exclusive);
            ADD_FAILURE() << "a second exclusive opener got in";
        } catch (const EFOpenError& e) {
            const std::string head = "Cannot open file \"" + pathToUtf8(path) + "\". ";
            EXPECT_EQ(e.message().rfind(head, 0), 0u) << e.message();
            EXPECT_GT(e.message().size(), head.size()) << "no system text";
        }
    }
    {
        FileStream reader(path, Mode::OpenRead, Share::DenyNone);
        EXPECT_TRUE(opens(path, Mode::OpenWrite, Share::DenyNone));
        EXPECT_EQ(opens(path, Mode::OpenRead, Share::Exclusive), !kEnforcedSharing);
    }
    // All closed again: anything goes.
    EXPECT_TRUE(opens(path, Mode::OpenReadWrite, Share::Exclusive));
}

TEST(PendingFiles, CommitReplacesAnExistingTargetUnderANonAsciiName) {
    TempDir dir;
    const auto folder = dir.path() / pathFromUtf8(kFolder);
    fs::create_directory(folder);
    const auto target = folder / pathFromUtf8(kPackage);
    test::writeText(target, "old contents");
    {
        PendingFile pending(target);
        const auto out = pending.open(Mode::Create);
        out->writeBuffer("new", 3);
        out->flush();
    }
    EXPECT_EQ(test::readFile(target),
              (std::vector<std::uint8_t>{'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', 's'}))
        << "an abandoned file must leave the target alone";
    {
        PendingFile pending(target);
        pending.open(Mode::Create)->writeBuffer("new", 3);
        pending.commit();
    }
    EXPECT_EQ(test::readFile(target), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(pathToUtf8(entry.path().filename()));
    EXPECT_EQ(names, std::vector<std::string>{kPackage}) << "temporary files left behind";

#ifdef _WIN32
    // A target another process holds cannot be replaced: the error names the
    // path the user gave, and the target stays as it was.
    {
        FileStream holder(target, Mode::OpenRead, Share::DenyNone);
        PendingFile pending(target, "shown.exe");
        pending.open(Mode::Create)->writeBuffer("newer", 5);
        try {
            pending.commit();
            ADD_FAILURE() << "replaced a file that is held open";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.message().rfind("Cannot create file \"shown.exe\". ", 0), 0u) << e.message();
        }
    }
    EXPECT_EQ(test::readFile(target), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
#endif
    try {
        PendingFile nowhere(folder / "missing" / "out.exe", "out.exe");
        ADD_FAILURE() << "a temporary file in a missing folder";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.message().rfind("Cannot create file \"out.exe\". ", 0), 0u) << e.message();
    }
}

TEST(NonAsciiPaths, UserPathsKeepTheirCharactersEverywhere) {
    TempDir dir;
    const auto folder = dir.path() / pathFromUtf8(kFolder);
    fs::create_directory(folder);
    const auto package = folder / pathFromUtf8(kPackage);
    writeWholeFile(package, test::randomBytes(5000, 7));
    EXPECT_EQ(readWholeFile(package), test::randomBytes(5000, 7));
    EXPECT_EQ(pathToUtf16(package.filename()), u"Pr\u00FCfung-\u00C4\u00D6.msi");
    EXPECT_EQ(pathFromUtf16(u"Pr\u00FCfung-\u00C4\u00D6.msi"), package.filename());

    // Messages carry the path as UTF-8.
    try {
        FileStream missing(folder / "none.msi", Mode::OpenRead);
        ADD_FAILURE() << "opened a missing file";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.message().find(kFolder), std::string::npos) << e.message();
    }

    // The full-path rule: a relative name resolves against the current folder.
    const auto current = fs::current_path();
    fs::current_path(dir.path());
    fs::path full;
    const auto error = os::fullPath(pathFromUtf8(kFolder + "/./" + kPackage), full);
    fs::current_path(current);
    ASSERT_EQ(error, 0);
    EXPECT_TRUE(full.is_absolute());
    EXPECT_TRUE(fs::equivalent(full, package)) << pathToUtf8(full);
    EXPECT_EQ(pathToUtf8(full.filename()), kPackage);
}

TEST(ProgramPath, IsThisTestProgram) {
    fs::path self;
    ASSERT_EQ(os::programPath(self), 0);
    EXPECT_TRUE(self.is_absolute());
    EXPECT_EQ(self.stem(), "os_tests");
    EXPECT_TRUE(fs::is_regular_file(self));
    EXPECT_FALSE(os::localTimeText().empty());
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(NameComparison, IgnoresCaseOfNonAsciiLettersAndNothingElse) {
    EXPECT_EQ(compareTextIgnoreCase(u"Pr\u00FCfung-\u00C4\u00D6.msi", u"PR\u00DCFUNG-\u00E4\u00F6.MSI"), 0);
    EXPECT_EQ(compareTextIgnoreCase(u"\u03B1\u03B2\u03B3", u"\u0391\u0392\u0393"), 0); // Greek
    EXPECT_EQ(compareTextIgnoreCase(u"\u0436\u0443\u043A", u"\u0416\u0423\u041A"), 0); // Cyrillic
    EXPECT_NE(compareTextIgnoreCase(u"Prufung", u"Pr\u00FCfung"), 0);
    EXPECT_NE(compareTextIgnoreCase(u"exe", u"exe2"), 0);

    // A sorted list with binary search, as the container keeps its items:
    // every name is found again whatever its case.
    std::vector<std::u16string> names = {u"exe",    u"\u00C4rger", u"zeta",       u"\u0416\u0443\u043A",
                                         u"Alpha",  u"b\u00E9ta",  u"\u03A9mega", u"stub-2",
                                         u"stub-10"};
    const auto less = [](const std::u16string& a, const std::u16string& b) {
        return compareTextIgnoreCase(a, b) < 0;
    };
    std::sort(names.begin(), names.end(), less);
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = 0; j < names.size(); ++j)
            EXPECT_EQ(sign(compareTextIgnoreCase(names[i], names[j])),
                      -sign(compareTextIgnoreCase(names[j], names[i])));
        const std::u16string upper = toUpperText(names[i]);
        const auto found = std::lower_bound(names.begin(), names.end(), upper, less);
        ASSERT_NE(found, names.end());
        EXPECT_EQ(*found, names[i]);
    }
}

// Registered twice, under TZ=UTC and TZ=Europe/Berlin: the local time of a
// file follows the daylight saving rule of its own date, so a summer and a
// winter file give the same fields on Linux and Windows.
TEST(FileTimes, LastWriteTimeInTheLocalTimeOfThatDate) {
    const auto zone = os::environmentVariable("TZ");
    if (!zone || (*zone != "UTC" && *zone != "Europe/Berlin"))
        GTEST_SKIP() << "run with TZ=UTC or TZ=Europe/Berlin";
    const bool berlin = *zone == "Europe/Berlin";

    TempDir dir;
    const auto file = dir.path() / pathFromUtf8(kPackage);
    test::writeText(file, "x");
    using namespace std::chrono;
    struct Case {
        sys_seconds utc;
        os::LocalTime expected;
    };
    const Case cases[] = {
        // Summer: CEST, two hours ahead.
        {sys_days{2023y / July / 15} + 10h + 20min + 31s,
         berlin ? os::LocalTime{2023, 7, 15, 12, 20, 31} : os::LocalTime{2023, 7, 15, 10, 20, 31}},
        // Winter: CET, one hour ahead, into the next day.
        {sys_days{2023y / January / 15} + 23h + 30min,
         berlin ? os::LocalTime{2023, 1, 16, 0, 30, 0} : os::LocalTime{2023, 1, 15, 23, 30, 0}},
    };
    for (const auto& c : cases) {
        fs::last_write_time(file, file_clock::from_sys(c.utc));
        os::LocalTime local;
        ASSERT_EQ(os::fileModifiedTime(file, local), 0);
        const auto& e = c.expected;
        EXPECT_EQ(
            std::vector<int>({local.year, local.month, local.day, local.hour, local.minute, local.second}),
            std::vector<int>({e.year, e.month, e.day, e.hour, e.minute, e.second}))
            << "under TZ=" << *zone;
    }
    os::LocalTime none;
    EXPECT_NE(os::fileModifiedTime(dir / "missing", none), 0);
}

} // namespace
} // namespace pakforge
