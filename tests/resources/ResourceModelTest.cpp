// The resource model: identifiers, text tests, the class factory and its
// registry, module bookkeeping and the base file saving with its backup.
#include "core/Utf16.h"
#include "resources/unitNTModule.h"
#include "resources/unitResourceDetails.h"
#include "support/TestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace pakforge;
using pakforge::test::TempDir;
using ::testing::HasSubstr;

namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// Registered by type "77".
class TSeventySevenDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TSeventySevenDetails)
  public:
    using TResourceDetails::TResourceDetails;
    static std::u16string ClassResourceType() { return u"77"; }
    void InitializeEmpty() override {
        // Must already be in its module (CreateEmpty adds before initialising).
        seenInParent = Parent && Parent->IndexOfResource(this) >= 0;
        Data().writeBuffer("77", 2);
    }
    bool seenInParent = false;
};

// Takes any bytes starting with "SIG!", whatever the type.
class TSignatureDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TSignatureDetails)
  public:
    using TResourceDetails::TResourceDetails;
    static std::u16string ClassResourceType() { return u"SIGTYPE"; }
    static bool AcceptsData(std::size_t size, const std::uint8_t* data) {
        return size >= 4 && data && std::memcmp(data, "SIG!", 4) == 0;
    }
};

// A raw-data class that only takes resources named "WANTED".
class TWantedRawDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TWantedRawDetails)
  public:
    using TResourceDetails::TResourceDetails;
    static std::u16string ClassResourceType() { return u"10"; }
    static bool AcceptsRawData(const std::u16string& name, std::size_t, const std::uint8_t*) {
        return name == u"WANTED";
    }
};

// Throws from its class-level tests.
class TThrowingDetails : public TResourceDetails {
    PAKFORGE_DETAILS_CLASS(TThrowingDetails)
  public:
    using TResourceDetails::TResourceDetails;
    static std::u16string ClassResourceType() { throw Exception("type test failed"); }
    static bool AcceptsData(std::size_t, const std::uint8_t*) { throw Exception("data test failed"); }
};

// Registers for one test and removes every trace afterwards.
class ScopedRegistration {
  public:
    explicit ScopedRegistration(const TResourceDetailsClass& cls) : cls_(cls) { RegisterDetailsClass(cls); }
    ~ScopedRegistration() { UnregisterDetailsClass(cls_); }

  private:
    const TResourceDetailsClass& cls_;
};

std::unique_ptr<TResourceDetails> makeFor(const std::u16string& type, const std::u16string& name,
                                          const std::vector<std::uint8_t>& bytes) {
    static const std::uint8_t none = 0;
    return TResourceDetails::CreateDetailsFor(nullptr, 0, name, type, bytes.size(),
                                              bytes.empty() ? &none : bytes.data());
}

} // namespace

TEST(ResourceModelIdentifiers, NumericIdOfTakesOnlyDecimalDigits) {
    EXPECT_EQ(NumericIdOf(u"14"), 14);
    EXPECT_EQ(NumericIdOf(u"007"), 7);
    EXPECT_EQ(NumericIdOf(u"0"), 0);
    EXPECT_EQ(NumericIdOf(u"2147483647"), 2147483647);
    for (const char16_t* text : {u"", u"#1", u" 1", u"+1", u"-1", u"1a", u"MAINICON", u"1 "})
        EXPECT_EQ(NumericIdOf(text), -1) << utf16ToUtf8(text);
}

TEST(ResourceModelIdentifiers, NumericIdOfRaisesBeyondInt32) {
    try {
        NumericIdOf(u"2147483648");
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.message(), "'2147483648' is not a valid integer value");
    }
    EXPECT_THROW(NumericIdOf(u"99999999999999999999999"), EConvertError);
}

TEST(ResourceModelTextTests, AnsiTestLooksAtTheFirst1024Bytes) {
    auto accepts = [](const std::vector<std::uint8_t>& b) {
        return TAnsiResourceDetails::AcceptsData(b.size(), b.data());
    };
    EXPECT_FALSE(TAnsiResourceDetails::AcceptsData(0, reinterpret_cast<const std::uint8_t*>("")));
    EXPECT_TRUE(accepts(bytesOf("Hello\tworld\r\n~\x7F")));
    EXPECT_FALSE(accepts(bytesOf("Hello\x80")));
    EXPECT_FALSE(accepts(bytesOf(std::string("a\0b", 3))));
    EXPECT_FALSE(accepts(bytesOf("\x1F")));
    std::vector<std::uint8_t> prefix(1024, 'x');
    prefix.push_back(0);
    prefix.push_back(0xFF);
    EXPECT_TRUE(accepts(prefix));
    prefix[1023] = 0x01;
    EXPECT_FALSE(accepts(prefix));
}

TEST(ResourceModelTextTests, UnicodeTestSkipsTheLastTwoUnits) {
    auto accepts = [](const std::vector<std::uint8_t>& b) {
        return TUnicodeResourceDetails::AcceptsData(b.size(), b.data());
    };
    // Six bytes: judged on the first unit alone.
    EXPECT_TRUE(accepts({'A', 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(accepts({0xFF, 0, 'A', 0, 'A', 0}));
    // Five bytes or fewer never pass.
    EXPECT_FALSE(accepts({'A', 0, 'B', 0, 'C'}));
    std::vector<std::uint8_t> text;
    for (char c : std::string("Unicode text\r\n"))
        text.push_back(static_cast<std::uint8_t>(c)), text.push_back(0);
    EXPECT_TRUE(accepts(text));
    text[3] = 0x01; // 'n' becomes U+016E
    EXPECT_FALSE(accepts(text));
    // Only the first 1023 units count.
    std::vector<std::uint8_t> longText(2 * 1023, 0);
    for (std::size_t i = 0; i < longText.size(); i += 2) longText[i] = 'u';
    longText.insert(longText.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_TRUE(accepts(longText));
}

TEST(ResourceModelFactory, FallsBackToTextClassesAndPlainDetails) {
    auto ansi = makeFor(u"10", u"NOTES", bytesOf("plain text"));
    EXPECT_STREQ(ansi->ClassName(), "TAnsiResourceDetails");
    EXPECT_EQ(ansi->ResourceType, u"10");
    EXPECT_EQ(ansi->ResourceName(), u"NOTES");

    auto wide = makeFor(u"MYTYPE", u"1", {'W', 0, 'i', 0, 'd', 0, 'e', 0});
    EXPECT_STREQ(wide->ClassName(), "TUnicodeResourceDetails");

    auto binary = makeFor(u"10", u"3", {1, 2, 3, 4, 0xFF, 0xFF});
    EXPECT_STREQ(binary->ClassName(), "TResourceDetails");
    EXPECT_EQ(binary->Data().vector(), (std::vector<std::uint8_t>{1, 2, 3, 4, 0xFF, 0xFF}));

    auto empty = makeFor(u"5", u"1", {});
    EXPECT_STREQ(empty->ClassName(), "TResourceDetails");
    EXPECT_EQ(empty->Data().size(), 0);
}

TEST(ResourceModelFactory, TypeMatchComesFirstThenContentMatch) {
    ScopedRegistration seventySeven(DetailsClassOf<TSeventySevenDetails>());
    ScopedRegistration signature(DetailsClassOf<TSignatureDetails>());

    // By type, even when empty: the bytes are copied, not initialised.
    auto byType = makeFor(u"77", u"1", {});
    EXPECT_STREQ(byType->ClassName(), "TSeventySevenDetails");
    EXPECT_EQ(byType->Data().size(), 0);

    // By content under another type; the type text stays as read.
    auto byContent = makeFor(u"LOGOTYPE", u"X", bytesOf("SIG!binary\x01"));
    EXPECT_STREQ(byContent->ClassName(), "TSignatureDetails");
    EXPECT_EQ(byContent->ResourceType, u"LOGOTYPE");

    // Content wins over the text fallback.
    EXPECT_STREQ(makeFor(u"10", u"A", bytesOf("SIG! is text too"))->ClassName(), "TSignatureDetails");
}

TEST(ResourceModelFactory, RawDataAsksTheClassAboutNameAndBytes) {
    ScopedRegistration wanted(DetailsClassOf<TWantedRawDetails>());
    EXPECT_STREQ(makeFor(u"10", u"WANTED", {1, 2})->ClassName(), "TWantedRawDetails");
    EXPECT_STREQ(makeFor(u"10", u"OTHER", bytesOf("text"))->ClassName(), "TAnsiResourceDetails");
}

TEST(ResourceModelFactory, ExceptionsInTheWalksAreSwallowed) {
    ScopedRegistration throwing(DetailsClassOf<TThrowingDetails>());
    ScopedRegistration seventySeven(DetailsClassOf<TSeventySevenDetails>());
    // Step 1 dies on the first entry, step 2 likewise: the text test decides.
    auto details = makeFor(u"77", u"1", bytesOf("text"));
    EXPECT_STREQ(details->ClassName(), "TAnsiResourceDetails");
    EXPECT_EQ(details->ResourceType, u"77");
}

TEST(ResourceModelRegistry, KeepsOrderAndUnregistersEveryOccurrence) {
    const auto before = RegisteredDetailsClasses();
    const auto& a = DetailsClassOf<TSeventySevenDetails>();
    const auto& b = DetailsClassOf<TSignatureDetails>();
    for (int i = 0; i < 25; ++i) RegisterDetailsClass(i % 2 ? b : a); // grows past several blocks of 10
    RegisterDetailsClass(a);
    auto now = RegisteredDetailsClasses();
    ASSERT_EQ(now.size(), before.size() + 26);
    EXPECT_EQ(now[before.size()], &a);
    EXPECT_EQ(now[before.size() + 1], &b);
    UnregisterDetailsClass(a);
    now = RegisteredDetailsClasses();
    EXPECT_EQ(std::count(now.begin(), now.end(), &a), 0);
    EXPECT_EQ(std::count(now.begin(), now.end(), &b), 12);
    UnregisterDetailsClass(b);
    EXPECT_EQ(RegisteredDetailsClasses(), before);
}

TEST(ResourceModelRegistry, RegistrarRegistersForItsLifetime) {
    const auto before = RegisteredDetailsClasses().size();
    {
        TDetailsClassRegistrar<TSeventySevenDetails> first;
        TDetailsClassRegistrar<TSignatureDetails> second;
        const auto now = RegisteredDetailsClasses();
        ASSERT_EQ(now.size(), before + 2);
        EXPECT_EQ(now[before], &DetailsClassOf<TSeventySevenDetails>());
        EXPECT_EQ(now[before + 1], &DetailsClassOf<TSignatureDetails>());
    }
    EXPECT_EQ(RegisteredDetailsClasses().size(), before);
}

TEST(ResourceModelDetails, CreateEmptyJoinsTheModuleBeforeInitialising) {
    TNTModule module;
    auto* details = TResourceDetails::CreateEmpty<TSeventySevenDetails>(&module, 1033, u"NEW");
    ASSERT_EQ(module.ResourceCount(), 1);
    EXPECT_EQ(module.ResourceDetails(0), details);
    EXPECT_TRUE(details->seenInParent);
    EXPECT_EQ(details->ResourceType, u"77");
    EXPECT_EQ(details->ResourceLanguage, 1033);
    EXPECT_EQ(details->Data().vector(), bytesOf("77"));
    EXPECT_FALSE(details->Dirty);

    auto owned = TResourceDetails::CreateEmptyOwned<TSeventySevenDetails>(0, u"LOOSE");
    EXPECT_EQ(owned->Parent, nullptr);
    EXPECT_EQ(owned->Data().vector(), bytesOf("77"));
}

TEST(ResourceModelDetails, CreateCopiesBytesOrInitialises) {
    const auto bytes = bytesOf("abc");
    auto copied =
        TResourceDetails::Create<TSeventySevenDetails>(nullptr, 0, u"1", u"77", bytes.size(), bytes.data());
    EXPECT_EQ(copied->Data().vector(), bytes);
    auto initialised = TResourceDetails::Create<TSeventySevenDetails>(nullptr, 0, u"1", u"77", 0, nullptr);
    EXPECT_EQ(initialised->Data().vector(), bytesOf("77"));
}

TEST(ResourceModelDetails, SetResourceNameMarksOnlyRealChanges) {
    auto details = makeFor(u"10", u"Name", {1});
    details->SetResourceName(u"Name");
    EXPECT_FALSE(details->Dirty);
    details->SetResourceName(u"NAME");
    EXPECT_TRUE(details->Dirty);
    EXPECT_EQ(details->ResourceName(), u"NAME");
}

TEST(ResourceModelDetails, ReplaceDataCopiesFromTheStart) {
    auto details = makeFor(u"10", u"1", bytesOf("old content"));
    MemoryStream source;
    source.writeBuffer("new", 3); // position at the end
    details->ReplaceData(source);
    EXPECT_EQ(details->Data().vector(), bytesOf("new"));
    EXPECT_EQ(&details->GetData(), &details->Data());
    details->ReplaceData(details->Data()); // from itself: unchanged, not emptied
    EXPECT_EQ(details->Data().vector(), bytesOf("new"));
}

TEST(ResourceModelModule, NextResourceIdIsLargestPlusOne) {
    TNTModule module;
    EXPECT_EQ(module.NextResourceId(u"3"), u"1");
    for (const char16_t* name : {u"1", u"2", u"7", u"ICON"}) module.AddResource(makeFor(u"3", name, {1}));
    module.AddResource(makeFor(u"14", u"40", {1}));
    module.AddResource(makeFor(u"03", u"90", {1})); // "03" is not "3"
    EXPECT_EQ(module.NextResourceId(u"3"), u"8");
    EXPECT_EQ(module.NextResourceId(u"14"), u"41");
    EXPECT_EQ(module.NextResourceId(u"12"), u"1");
}

TEST(ResourceModelModule, ClearDirtyAndDeleteMarks) {
    TNTModule module;
    module.AddResource(makeFor(u"10", u"1", {1}));
    module.AddResource(makeFor(u"10", u"2", {2}));
    module.ResourceDetails(0)->Dirty = true;
    module.ResourceDetails(1)->Dirty = true;
    module.DeleteResource(0);
    EXPECT_TRUE(module.Dirty);
    EXPECT_EQ(module.ResourceCount(), 1);
    module.ClearDirty();
    EXPECT_FALSE(module.Dirty);
    EXPECT_FALSE(module.ResourceDetails(0)->Dirty);
}

namespace {

// A module that can stream: writes a marker, then fails when asked to.
class StreamingModule : public TNTModule {
  public:
    void SaveToStream(Stream& stream) override {
        stream.writeBuffer("partial", 7);
        if (fail) throw EWriteError("disk full");
    }
    bool fail = false;
};

} // namespace

TEST(ResourceModelModule, BaseStreamingIsRefused) {
    TNTModule module;
    MemoryStream stream;
    try {
        module.SaveToStream(stream);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Module doesn't support streaming");
    }
    EXPECT_THROW(module.LoadFromStream(stream), Exception);
}

TEST(ResourceModelModule, BackupNameReplacesTheExtensionOfTheFileOnly) {
    EXPECT_EQ(BackupFileName("/x/out.exe"), std::filesystem::path("/x/out.~exe"));
    EXPECT_EQ(BackupFileName("/x/archive.tar.gz"), std::filesystem::path("/x/archive.tar.~gz"));
    EXPECT_EQ(BackupFileName("/x/noext"), std::filesystem::path("/x/noext.~"));
    EXPECT_EQ(BackupFileName("/my.folder/noext"), std::filesystem::path("/my.folder/noext.~"));
}

TEST(ResourceModelModule, BaseSaveKeepsABackupAndRestoresOnFailure) {
    TempDir dir;
    const auto target = dir / "out.exe";
    test::writeText(target, "original");
    StreamingModule module;
    module.Dirty = true;
    module.TResourceModule::SaveToFile(target);
    EXPECT_EQ(test::readFile(target), bytesOf("partial"));
    EXPECT_EQ(test::readFile(dir / "out.~exe"), bytesOf("original"));
    EXPECT_FALSE(module.Dirty);

    module.fail = true;
    module.Dirty = true;
    EXPECT_THROW(module.TResourceModule::SaveToFile(target), EWriteError);
    // The file saved last comes back; the older backup is gone.
    EXPECT_EQ(test::readFile(target), bytesOf("partial"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out.~exe"));
    EXPECT_TRUE(module.Dirty);
}
