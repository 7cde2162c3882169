// TNTModule over real mingw-built files: reading order and identifiers, the
// list operations, and what a save puts into the file.
#include "PeFixtures.h"
#include "core/Utf16.h"
#include "resources/pe/PeImage.h"
#include "resources/unitNTModule.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pakforge;
using pakforge::test::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

std::filesystem::path fixtureCopy(const TempDir& dir, const std::string& name) {
    const auto fixtures = test::mingwFixtures();
    if (fixtures.empty()) return {};
    const auto copy = dir / name;
    std::filesystem::copy_file(fixtures / name, copy);
    return copy;
}

#define REQUIRE_MINGW(path) PAKFORGE_REQUIRE_TOOL(!(path).empty(), "i686-w64-mingw32-gcc")

std::string identity(const TResourceDetails& d) {
    return utf16ToUtf8(d.ResourceType) + "/" + utf16ToUtf8(d.ResourceName()) + "/" +
           std::to_string(d.ResourceLanguage);
}

std::vector<std::string> identities(const TNTModule& module) {
    std::vector<std::string> list;
    for (int i = 0; i < module.ResourceCount(); ++i) list.push_back(identity(*module.ResourceDetails(i)));
    return list;
}

std::unique_ptr<TResourceDetails> rawDetails(TResourceModule* parent, const std::u16string& type,
                                             const std::u16string& name, int language,
                                             const std::string& bytes) {
    return TResourceDetails::Create<TResourceDetails>(parent, language, name, type, bytes.size(),
                                                      reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

int destroyed = 0;

// On delete, removes the first resource of the module (shifting indexes).
class TGreedyDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TGreedyDetails)
  public:
    using TResourceDetails::TResourceDetails;
    ~TGreedyDetails() override { ++destroyed; }
    void PrepareDelete() override {
        if (Parent->IndexOfResource(this) != 0) Parent->DeleteResource(0);
    }
};

} // namespace

TEST(NTModuleLoad, ReadsEveryResourceInDirectoryOrderWithTextIdentifiers) {
    TempDir dir;
    const auto file = fixtureCopy(dir, "hello.exe");
    REQUIRE_MINGW(file);
    TNTModule module;
    module.LoadFromFile(file);
    EXPECT_THAT(identities(module),
                ElementsAre("MYTYPE/GREETING/1031", "MYTYPE/GREETING/1033", "MYTYPE/7/1033", "3/1/1033",
                            "3/2/1033", "6/1/1031", "6/1/1033", "10/NOTES/1033", "10/3/1033",
                            "14/MAINICON/1033", "14/1/1033", "16/1/1033", "24/1/1033"));
    // Two languages of one name: separate objects with their own bytes.
    EXPECT_NE(module.ResourceDetails(5)->Data().vector(), module.ResourceDetails(6)->Data().vector());
    EXPECT_STREQ(module.ResourceDetails(7)->ClassName(), "TAnsiResourceDetails");
    EXPECT_FALSE(module.Dirty);
    for (int i = 0; i < module.ResourceCount(); ++i) {
        EXPECT_FALSE(module.ResourceDetails(i)->Dirty);
        EXPECT_EQ(module.ResourceDetails(i)->Parent, &module);
    }
}

TEST(NTModuleLoad, FailuresRaiseOSErrorsAndKeepTheList) {
    TempDir dir;
    TNTModule module;
    module.AddResource(rawDetails(&module, u"10", u"1", 0, "keep"));
    try {
        module.LoadFromFile(dir / "missing.exe");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.errorCode(), 2);
        EXPECT_THAT(e.message(), HasSubstr("System Error.  Code: 2."));
    }
    test::writeText(dir / "text.exe", "MZ but not much else");
    try {
        module.LoadFromFile(dir / "text.exe");
        FAIL();
    } catch (const EOSError& e) {
        EXPECT_EQ(e.errorCode(), pe::kBadExeFormat);
        EXPECT_THAT(e.message(), HasSubstr("not a valid Win32 application"));
    }
    EXPECT_EQ(module.ResourceCount(), 1);

    const auto plain = fixtureCopy(dir, "plain.exe");
    REQUIRE_MINGW(plain);
    module.LoadFromFile(plain);
    EXPECT_EQ(module.ResourceCount(), 0); // replaced, not appended
}

TEST(NTModuleList, IndexErrorsAndInsertOrder) {
    TNTModule module;
    try {
        module.GetResourceDetails(0);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_EQ(e.message(), "List index out of bounds (0)");
    }
    EXPECT_EQ(module.AddResource(rawDetails(&module, u"10", u"B", 0, "b")), 0);
    module.InsertResource(0, rawDetails(&module, u"10", u"A", 0, "a"));
    module.InsertResource(2, rawDetails(&module, u"10", u"C", 0, "c"));
    EXPECT_THAT(identities(module), ElementsAre("10/A/0", "10/B/0", "10/C/0"));
    EXPECT_THROW(module.InsertResource(4, rawDetails(&module, u"10", u"D", 0, "d")), EListError);
    EXPECT_THROW(module.DeleteResource(-1), EListError);
    try {
        module.GetResourceDetails(3);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_EQ(e.message(), "List index out of bounds (3)");
    }
    const TResourceDetails* b = module.ResourceDetails(1);
    EXPECT_EQ(module.IndexOfResource(b), 1);
    auto stranger = rawDetails(nullptr, u"10", u"B", 0, "b");
    EXPECT_EQ(module.IndexOfResource(stranger.get()), -1); // identity, not equal contents
}

TEST(NTModuleList, DeleteFindsTheObjectAgainAfterPrepareDelete) {
    TNTModule module;
    module.AddResource(rawDetails(&module, u"10", u"FIRST", 0, "1"));
    module.AddResource(rawDetails(&module, u"10", u"SECOND", 0, "2"));
    module.AddResource(TResourceDetails::Create<TGreedyDetails>(&module, 0, u"GREEDY", u"10", 1,
                                                                reinterpret_cast<const std::uint8_t*>("g")));
    destroyed = 0;
    module.DeleteResource(2); // its PrepareDelete removes FIRST, so it moves to index 1
    EXPECT_EQ(destroyed, 1);
    EXPECT_THAT(identities(module), ElementsAre("10/SECOND/0"));
    EXPECT_TRUE(module.Dirty);
}

TEST(NTModuleSave, RoundTripKeepsEveryResourceByteForByte) {
    TempDir dir;
    for (const char* name : {"hello.exe", "hello-stripped.exe", "library.dll"}) {
        const auto file = fixtureCopy(dir, name);
        REQUIRE_MINGW(file);
        const auto before = test::listWithOurReader(file);
        TNTModule module;
        module.LoadFromFile(file);
        module.ResourceDetails(0)->Dirty = true;
        module.SaveToFile(file);
        EXPECT_FALSE(module.ResourceDetails(0)->Dirty);
        EXPECT_EQ(test::listWithOurReader(file), before) << name;
        EXPECT_THAT(test::layoutProblems(file), IsEmpty()) << name;
        // A second save of the same list changes nothing at all.
        const auto once = test::readFile(file);
        TNTModule again;
        again.LoadFromFile(file);
        again.SaveToFile(file);
        EXPECT_EQ(test::readFile(file), once) << name;
    }
}

TEST(NTModuleSave, LaterEntriesWinAndEmptyDataRemoves) {
    TempDir dir;
    const auto file = fixtureCopy(dir, "hello-stripped.exe");
    REQUIRE_MINGW(file);
    TNTModule module;
    module.LoadFromFile(file);
    const int count = module.ResourceCount();
    // A second MAINICON group of language 1033 after the first: its bytes win.
    module.AddResource(rawDetails(&module, u"14", u"MAINICON", 1033, "replacement group"));
    // Empty data removes NOTES.
    for (int i = 0; i < module.ResourceCount(); ++i)
        if (module.ResourceDetails(i)->ResourceName() == u"NOTES") module.ResourceDetails(i)->Data().clear();
    module.SaveToFile(file);

    TNTModule reread;
    reread.LoadFromFile(file);
    EXPECT_EQ(reread.ResourceCount(), count - 1);
    bool sawGroup = false;
    for (int i = 0; i < reread.ResourceCount(); ++i) {
        const auto* d = reread.ResourceDetails(i);
        EXPECT_NE(d->ResourceName(), u"NOTES");
        if (d->ResourceType == u"14" && d->ResourceName() == u"MAINICON") {
            sawGroup = true;
            const std::string text(d->Data().vector().begin(), d->Data().vector().end());
            EXPECT_EQ(text, "replacement group");
        }
    }
    EXPECT_TRUE(sawGroup);
}

TEST(NTModuleSave, IdentifierTextDecidesNumberOrName) {
    TempDir dir;
    const auto file = fixtureCopy(dir, "plain.exe");
    REQUIRE_MINGW(file);
    TNTModule module;
    module.AddResource(rawDetails(&module, u"DIB", u"LOGO", 0, "named type"));
    module.AddResource(rawDetails(&module, u"10", u"0042", 0, "leading zeros become a number"));
    module.AddResource(rawDetails(&module, u"10", u"70000", 0, "too big for an id: a name"));
    module.AddResource(rawDetails(&module, u"10", u"99999999999", 0, "far too big: a name"));
    module.AddResource(rawDetails(&module, u"65535", u"65535", 65535, "largest id"));
    module.AddResource(rawDetails(&module, u"10", u"1", 0x12340409, "language keeps its low 16 bits"));
    module.SaveToFile(file);
    TNTModule reread;
    reread.LoadFromFile(file);
    EXPECT_THAT(identities(reread), ElementsAre("DIB/LOGO/0", "10/70000/0", "10/99999999999/0", "10/1/1033",
                                                "10/42/0", "65535/65535/65535"));
    EXPECT_THAT(test::listWithPefile(file), ::testing::Contains(HasSubstr("10 70000 0 ")));
}

TEST(NTModuleSave, EmptyModuleRemovesEveryResource) {
    TempDir dir;
    const auto file = fixtureCopy(dir, "hello-stripped.exe");
    REQUIRE_MINGW(file);
    TNTModule module;
    module.SaveToFile(file);
    EXPECT_THAT(test::listWithOurReader(file), IsEmpty());
    EXPECT_THAT(test::listWithPefile(file), IsEmpty());
    EXPECT_THAT(test::layoutProblems(file), IsEmpty());
}

TEST(NTModuleSave, FailedSaveLeavesTheFileByteForByte) {
    TempDir dir;
    const auto file = fixtureCopy(dir, "hello-stripped.exe");
    REQUIRE_MINGW(file);
    TNTModule module;
    module.LoadFromFile(file);
    module.ResourceDetails(0)->Dirty = true;
    // Cut the file inside its last section: it still reads, but cannot be written.
    auto bytes = test::readFile(file);
    bytes.resize(bytes.size() - 100);
    test::writeFile(file, bytes);
    EXPECT_THROW(module.SaveToFile(file), EOSError);
    EXPECT_EQ(test::readFile(file), bytes);
    EXPECT_TRUE(module.ResourceDetails(0)->Dirty);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1); // no temp file left

    test::writeText(file, "not a PE file at all");
    EXPECT_THROW(module.SaveToFile(file), EOSError);
    EXPECT_EQ(test::readFile(file),
              std::vector<std::uint8_t>({'n', 'o', 't', ' ', 'a', ' ', 'P', 'E', ' ', 'f',
                                         'i', 'l', 'e', ' ', 'a', 't', ' ', 'a', 'l', 'l'}));
}

TEST(NTModuleSave, CommitFailureLeavesTheTargetAlone) {
    TempDir dir;
    const auto file = fixtureCopy(dir, "hello-stripped.exe");
    REQUIRE_MINGW(file);
    pe::ResourceUpdate update(file, true);
    const std::string bytes = "data";
    update.update(pe::ResId::number(10), pe::ResId::named(u"X"), 0,
                  std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    // The target turns into a non-empty folder: renaming over it must fail.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    test::writeText(file / "inside", "x");
    EXPECT_ANY_THROW(update.commit());
    EXPECT_TRUE(std::filesystem::is_directory(file));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}
