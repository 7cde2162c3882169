// Product name, version and manufacturer read from real wixl packages.
#include "compiler/PackageProperties.h"
#include "Fixtures.h"
#include "core/Utf16.h"
#include "services/MsiPackage.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

namespace pakforge {
namespace {

namespace fs = std::filesystem;
using namespace pakforge::test;

std::u16string u(const fs::path& p) {
    return pathToUtf16(p);
}

TEST(PackageProperties, LabelsStartWithDashes) {
    PackageProperties props;
    EXPECT_EQ(props.labels.nameLabel, u"Product Name: -");
    EXPECT_EQ(props.labels.versionLabel, u"Product Version: -");
    EXPECT_EQ(props.labels.manufacturerLabel, u"Manufacturer: -");
    EXPECT_TRUE(props.FProductName.empty());
}

TEST(PackageProperties, ReadsTheThreeValues) {
    TempDir dir;
    const auto msi = makeMsi(dir.path(), "a.msi", {"Widget Studio", "4.10.0017", "ACME & Sons"});
    PackageProperties props;
    props.GetMSIProperty(u(msi));
    EXPECT_EQ(props.FProductName, u"Widget Studio");
    EXPECT_EQ(props.FProductVersion, u"4.10.0017");
    EXPECT_EQ(props.FManufacturer, u"ACME & Sons");
    EXPECT_EQ(props.labels.nameLabel, u"Product Name: Widget Studio");
    EXPECT_EQ(props.labels.versionLabel, u"Product Version: 4.10.0017");
    EXPECT_EQ(props.labels.manufacturerLabel, u"Manufacturer: ACME & Sons");
}

TEST(PackageProperties, NotAPackageLeavesEverythingAsItWas) {
    TempDir dir;
    const auto msi = makeMsi(dir.path(), "a.msi", {"First", "1.0", "Maker"});
    writeFile(dir / "text.msi", {'n', 'o', 't', ' ', 'm', 's', 'i'});
    writeFile(dir / "empty.msi", {});
    // A damaged compound file on which libmsi itself dereferences null.
    const auto crashing =
        sourceDir() / "fuzz" / "regressions" / "compiler_properties" / "libmsi-null-deref.msi";
    auto truncated = readFile(msi);
    truncated.resize(truncated.size() / 2);
    writeFile(dir / "truncated.msi", truncated);
    PackageProperties props;
    props.GetMSIProperty(u(msi));
    for (const auto& other : {dir / "text.msi", dir / "empty.msi", dir / "missing.msi", dir.path(), crashing,
                              dir / "truncated.msi"}) {
        props.GetMSIProperty(u(other));
        EXPECT_EQ(props.FProductName, u"First") << other;
        EXPECT_EQ(props.labels.nameLabel, u"Product Name: First");
        EXPECT_EQ(props.labels.manufacturerLabel, u"Manufacturer: Maker");
    }
    PackageProperties fresh;
    fresh.GetMSIProperty(u(dir / "text.msi"));
    EXPECT_EQ(fresh.labels.versionLabel, u"Product Version: -");
}

TEST(PackageProperties, EmptyAndMissingValuesLeaveJustThePrefix) {
    TempDir dir;
    const auto empty = makeMsi(dir.path(), "empty.msi");
    alterMsi(empty, "UPDATE `Property` SET `Value`='' WHERE `Property`='Manufacturer'");
    const auto missing = makeMsi(dir.path(), "missing.msi");
    alterMsi(missing, "DELETE FROM `Property` WHERE `Property`='Manufacturer'");
    for (const auto& msi : {empty, missing}) {
        PackageProperties props;
        props.FManufacturer = u"stale";
        props.GetMSIProperty(u(msi));
        EXPECT_EQ(props.FManufacturer, u"") << msi;
        EXPECT_EQ(props.labels.manufacturerLabel, u"Manufacturer: ");
        EXPECT_EQ(props.FProductName, u"Pakforge Sample");
    }
}

TEST(PackageProperties, ValuesLongerThanTheFirstBufferComeBackWhole) {
    TempDir dir;
    for (const std::size_t length : {259u, 260u, 261u, 1000u}) {
        std::string name;
        for (std::size_t i = 0; i < length; ++i) name += static_cast<char>('a' + i % 26);
        const auto msi = makeMsi(dir.path(), "long" + std::to_string(length) + ".msi", {name, "1.0", "M"});
        PackageProperties props;
        props.GetMSIProperty(u(msi));
        EXPECT_EQ(props.FProductName, utf8ToUtf16(name)) << length;
    }
}

// The one call of the services layer: any names, in the order asked.
TEST(MsiServices, ReadsTheNamesAskedInTheirOrder) {
    TempDir dir;
    const auto msi = makeMsi(dir.path(), "a.msi", {"Twelve chars", "1.0", "M"});
    const std::u16string names[] = {u"Manufacturer", u"NoSuchProperty", u"ProductName", u"ProductName"};
    const auto values = services::ReadPackageProperties(u(msi), names);
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(*values, (std::vector<std::u16string>{u"M", u"", u"Twelve chars", u"Twelve chars"}));
    EXPECT_EQ(services::ReadPackageProperties(u(msi), {}), std::vector<std::u16string>{});
    writeFile(dir / "text.msi", {'n', 'o'});
    EXPECT_FALSE(services::ReadPackageProperties(u(dir / "text.msi"), names).has_value());
    EXPECT_FALSE(services::ReadPackageProperties(u"", names).has_value());
}

} // namespace
} // namespace pakforge
