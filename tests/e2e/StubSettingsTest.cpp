// The settings record on the host: written and read back, the bytes of the
// layout as an independent encoder spells them, damage of every kind
// refused, and the merge of built-in settings with what the user types.
#include "Arguments.h"
#include "HostText.h"
#include "SettingsWriter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using stub::SettingsRecord;
using stub::UiLevel;

SettingsRecord fullRecord() {
    SettingsRecord s;
    s.log = true;
    s.noRestart = true;
    s.elevate = true;
    s.ui = UiLevel::Basic;
    s.logName = u"Pr\u00fcfung 1.2.3.log";
    s.properties = {
        {u"INSTALLDIR", u"C:\\Program Files\\X\\"}, {u"_A.1", u""}, {u"QUOTED", u"say \"hi\" \u20ac"}};
    s.transforms = {{u"de-DE.mst", 4096, 0xDEADBEEF}, {u"site.mst", 1, 0}};
    return s;
}

// The layout spelt out byte by byte, without the writer.
std::vector<std::uint8_t> handEncoded() {
    std::vector<std::uint8_t> b = {'P', 'F', 'S', 'T', 1, 0, 2, 0, 5, 0, 1, 0, 1, 0, 0, 0};
    for (const char c : std::string("A")) b.insert(b.end(), {1, 0, static_cast<std::uint8_t>(c), 0});
    b.insert(b.end(), {2, 0, 0, 0, 'x', 0, '"', 0});
    b.insert(b.end(), {3, 0, 'a', 0, '.', 0, 'm', 0, 0x10, 0, 0, 0, 0x78, 0x56, 0x34, 0x12});
    return b;
}

std::optional<SettingsRecord> read(const std::vector<std::uint8_t>& bytes) {
    return stub::readSettings(bytes);
}

TEST(StubSettings, RoundTripAndTheLayoutByteForByte) {
    const SettingsRecord full = fullRecord();
    const auto bytes = stub::writeSettings(full);
    EXPECT_EQ(read(bytes), full);
    EXPECT_EQ(read(stub::writeSettings(SettingsRecord())), SettingsRecord());

    SettingsRecord small;
    small.noRestart = true;
    small.ui = UiLevel::None;
    small.properties = {{u"A", u"x\""}};
    small.transforms = {{u"a.m", 16, 0x12345678}};
    EXPECT_EQ(stub::writeSettings(small), handEncoded());

    EXPECT_EQ(stub::transformResourceName(0), u"TRANSFORM1");
    EXPECT_EQ(stub::transformResourceName(15), u"TRANSFORM16");
    EXPECT_EQ(stub::logFileName(u"My: App <x64>", u"1.2"), u"My_ App _x64_ 1.2.log");
    EXPECT_EQ(stub::logFileName(u"", u""), u"Setup.log");
    EXPECT_EQ(stub::logFileName(u"CON", u""), u"Setup CON.log");
    const auto longName = stub::logFileName(std::u16string(300, u'n'), u"1.0");
    EXPECT_EQ(longName.size(), 200u);
    EXPECT_TRUE(longName.ends_with(u".log"));
}

TEST(StubSettings, DamageOfEveryKindIsRefused) {
    const auto good = stub::writeSettings(fullRecord());
    for (std::size_t length = 0; length < good.size(); ++length)
        EXPECT_FALSE(stub::readSettings(std::span(good.data(), length))) << "cut at " << length;
    auto longer = good;
    longer.push_back(0);
    EXPECT_FALSE(read(longer)) << "trailing bytes";
    // A flipped byte is refused or read as another valid record, which then
    // writes back to exactly those bytes.
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (const std::uint8_t mask : {0x01, 0x20, 0x80, 0xFF}) {
            auto bytes = good;
            bytes[at] ^= mask;
            if (const auto parsed = read(bytes)) {
                EXPECT_EQ(stub::writeSettings(*parsed), bytes) << "at " << at;
            }
        }
    }
    // Each rule of the header and of the items, one byte or field at a time.
    auto header = [&](std::size_t at, std::uint8_t value) {
        auto bytes = stub::writeSettings(SettingsRecord());
        bytes[at] = value;
        return read(bytes).has_value();
    };
    EXPECT_FALSE(header(0, 'X'));
    EXPECT_FALSE(header(4, 2)) << "version";
    EXPECT_FALSE(header(6, 8)) << "unknown flag";
    EXPECT_FALSE(header(6, 1)) << "log without its name";
    EXPECT_FALSE(header(8, 6)) << "ui level";
    EXPECT_FALSE(header(9, 1)) << "reserved";
    EXPECT_TRUE(header(8, 5));
    auto breaks = [](auto change) {
        SettingsRecord s = fullRecord();
        change(s);
        EXPECT_THROW(stub::writeSettings(s), std::invalid_argument);
    };
    breaks([](SettingsRecord& s) { s.properties[0].name = u"installdir"; });
    breaks([](SettingsRecord& s) { s.properties[0].name = u"1A"; });
    breaks([](SettingsRecord& s) { s.properties[0].name = std::u16string(65, u'A'); });
    breaks([](SettingsRecord& s) { s.properties[1].name = u"Installdir"; });
    breaks([](SettingsRecord& s) { s.properties[1].name = u"INSTALLDIR"; });
    breaks([](SettingsRecord& s) { s.properties[1].value = std::u16string(1, u'\0'); });
    breaks([](SettingsRecord& s) { s.properties[1].value = std::u16string(32768, u'v'); });
    breaks([](SettingsRecord& s) { s.properties.resize(257, {u"P", u""}); });
    for (const char16_t* name : {u"..\\x.mst", u"a/b.mst", u"c:x.mst", u"x.mst.", u"NUL.mst", u"a\tb", u""})
        breaks([name](SettingsRecord& s) { s.transforms[0].name = name; });
    breaks([](SettingsRecord& s) { s.transforms[1].name = u"DE-de.MST"; });
    breaks([](SettingsRecord& s) { s.transforms.resize(17, {u"t.mst", 0, 0}); });
    breaks([](SettingsRecord& s) { s.logName = u"x.txt"; });
    breaks([](SettingsRecord& s) { s.log = false; });
    // 128 KiB in all.
    breaks([](SettingsRecord& s) {
        for (char16_t i = 0; i < 3; ++i)
            s.properties.push_back(
                {std::u16string(u"BIG") + char16_t(u'A' + i), std::u16string(30000, u'v')});
    });
}

std::wstring merge(const wchar_t* typed, const SettingsRecord* record, const wchar_t* log = L"C:\\T\\p.log",
                   const wchar_t* transforms = L"C:\\W\\a.mst;C:\\W\\b.mst") {
    std::vector<std::uint8_t> bytes;
    stub::Settings settings;
    stub::BuiltIn builtIn;
    if (record) {
        bytes = stub::writeSettings(*record);
        EXPECT_TRUE(stub::parseSettings(bytes.data(), bytes.size(), settings));
        builtIn = {&settings, log, transforms};
    }
    stub::HostText out;
    stub::HostText refused;
    if (stub::mergeArguments(typed, builtIn, out, refused)) return L"refused: " + refused.str();
    return out.str();
}

TEST(StubSettings, BuiltInArgumentsMergeWithWhatTheUserTypes) {
    // Nothing built in: the line as before, the silent aliases as /qn.
    EXPECT_EQ(merge(L"/qb A=\"1 2\" /l*v x.log", nullptr), L" /qb A=\"1 2\" /l*v \"x.log\"");
    EXPECT_EQ(merge(L"/s -S /silent /VERYSILENT", nullptr), L" /qn /qn /qn /qn");
    EXPECT_EQ(merge(L"/sx", nullptr), L"refused: /sx");

    const SettingsRecord full = fullRecord();
    EXPECT_EQ(merge(L"", &full),
              L" INSTALLDIR=\"C:\\Program Files\\X\\\" _A.1=\"\" QUOTED=\"say \"\"hi\"\" \u20ac\" /qb"
              L" /l*v \"C:\\T\\p.log\" /norestart TRANSFORMS=\"C:\\W\\a.mst;C:\\W\\b.mst\"");
    // The user's own choices win, names compared without case; a log file
    // named like a property is no property.
    EXPECT_EQ(
        merge(L"installdir=D:\\Y quoted=q /qf /log TRANSFORMS=l.txt /promptrestart Transforms=t.mst", &full),
        L" _A.1=\"\" installdir=\"D:\\Y\" quoted=\"q\" /qf /log \"TRANSFORMS=l.txt\" /promptrestart"
        L" Transforms=\"t.mst\"");
    EXPECT_EQ(merge(L"/silent /forcerestart", &full).find(L"/qb"), std::wstring::npos);
    EXPECT_NE(merge(L"/silent", &full).find(L" /qn /l*v"), std::wstring::npos);
    // What the stub refuses stays refused.
    EXPECT_EQ(merge(L"/x {GUID}", &full), L"refused: /x");

    SettingsRecord some;
    some.ui = UiLevel::Passive;
    EXPECT_EQ(merge(L"/norestart", &some), L" /norestart /passive");
    EXPECT_EQ(merge(L"/quiet", &some), L" /quiet");
}

} // namespace
