// The Windows platform layer, run under Wine against what the Linux side
// made: wixl packages read through msi.dll (checked against msiinfo), the
// update tests' loopback HTTPS server through WinHTTP, and this program's own
// version resource (checked against VerQueryValueW).
#include "compiler/PackageProperties.h"
#include "core/Utf16.h"
#include "services/HttpsGet.h"
#include "services/MsiPackage.h"
#include "services/OwnVersionBlock.h"
#include "update/getversion.h"
#include "update/getwebdata.h"

#include <windows.h>

#include <msi.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace pakforge {
namespace {

namespace fs = std::filesystem;

// A folder the fixtures filled, as this process sees it: Wine shows the
// Linux root as drive Z:.
fs::path fixture(const std::string& name) {
    std::string dir = std::string(PAKFORGE_BINARY_DIR) + "/windows-services/" + name;
    if (dir[0] == '/') dir = "Z:" + dir;
    for (char& c : dir)
        if (c == '/') c = '\\';
    return fs::path(utf8ToUtf16(dir));
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

#define SKIP_WITHOUT_FIXTURE(dir)                                                                            \
    do {                                                                                                     \
        if (fs::exists((dir) / "missing")) GTEST_SKIP() << "missing" << readText((dir) / "missing");         \
        ASSERT_TRUE(fs::is_directory(dir)) << "the fixture did not run";                                     \
    } while (0)

// msiinfo's export of the Property table: name, tab, value, one per line.
std::map<std::string, std::string> exportedProperties(const fs::path& file) {
    std::map<std::string, std::string> table;
    std::istringstream lines(readText(file));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto tab = line.find('\t');
        if (tab != std::string::npos) table[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return table;
}

TEST(WinMsi, PropertiesMatchAnIndependentReader) {
    const fs::path dir = fixture("packages");
    SKIP_WITHOUT_FIXTURE(dir);
    ::MsiSetInternalUI(INSTALLUILEVEL_DEFAULT, nullptr);

    PackageProperties props;
    for (const char* name : {"Widget é.msi", "long.msi"}) {
        const fs::path msi = dir / fs::path(utf8ToUtf16(name));
        const auto expected =
            exportedProperties(dir / fs::path(utf8ToUtf16(std::string(name) + ".properties")));
        ASSERT_EQ(expected.count("ProductName"), 1u) << name;
        props.GetMSIProperty(msi.u16string());
        EXPECT_EQ(utf16ToUtf8(props.FProductName), expected.at("ProductName")) << name;
        EXPECT_EQ(utf16ToUtf8(props.FProductVersion), expected.at("ProductVersion")) << name;
        EXPECT_EQ(utf16ToUtf8(props.FManufacturer), expected.at("Manufacturer")) << name;
        EXPECT_EQ(props.labels.nameLabel, u"Product Name: " + props.FProductName);
    }
    // The long name took the second call; the first buffer holds 260.
    EXPECT_EQ(props.FProductName.size(), 1000u);
    EXPECT_EQ(::MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr), INSTALLUILEVEL_NONE);

    // Files that are no package leave everything as the last good read left it.
    for (const fs::path& other : {dir / "text.msi", dir / "absent.msi", dir}) {
        props.GetMSIProperty(other.u16string());
        EXPECT_EQ(props.FProductName.size(), 1000u) << other;
        EXPECT_EQ(props.labels.versionLabel, u"Product Version: 1.0") << other;
    }
}

// Any names in the order asked, an unknown one empty, through the retry
// for values longer than the first buffer.
TEST(WinMsi, ReadsTheNamesAskedInTheirOrder) {
    const fs::path dir = fixture("packages");
    SKIP_WITHOUT_FIXTURE(dir);
    const std::u16string names[] = {u"NoSuchProperty", u"ProductName", u"ProductVersion"};
    const auto values = services::ReadPackageProperties((dir / "long.msi").u16string(), names);
    ASSERT_TRUE(values.has_value());
    ASSERT_EQ(values->size(), 3u);
    EXPECT_EQ((*values)[0], u"");
    EXPECT_EQ((*values)[1].size(), 1000u);
    EXPECT_EQ((*values)[2], u"1.0");
    EXPECT_FALSE(services::ReadPackageProperties((dir / "text.msi").u16string(), names).has_value());
}

TEST(WinHttps, AnswersCertificatesAndRefusals) {
    const fs::path dir = fixture("server");
    SKIP_WITHOUT_FIXTURE(dir);
    TWebDataOptions options;
    options.Port = static_cast<std::uint16_t>(std::stoi(readText(dir / "port")));
    options.ExtraCaFile = dir / "ca.pem";
    const auto get = [&](const std::string& name, std::u16string host = u"127.0.0.1") {
        const std::string path = "/pad/getpad.php?pad=/case/" + name + ".xml&field=version";
        return GetWebData(u"CheckUpdates/1.0", host, utf8ToUtf16(path), options);
    };

    // The request as it goes out.
    EXPECT_EQ(get("newer").Answer, "3.4.0.0");
    const std::string log = readText(dir / "requests.log");
    EXPECT_NE(log.find("\"line\": \"GET /pad/getpad.php?pad=/case/newer.xml&field=version HTTP/1.1\""),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\"User-Agent\": \"CheckUpdates/1.0\""), std::string::npos) << log;

    struct Case {
        const char* name;
        std::string answer; // empty: failure
        std::string reason;
    };
    for (const Case& c : {
             Case{"odd", "3.4.0.0", ""},      // 7 bytes, nothing appended
             Case{"chunks", "3.4.0.0", ""},   // a body in pieces is read whole
             Case{"redirect", "3.4.0.0", ""}, // followed
             Case{"empty", "", "the server's answer is empty"},
             Case{"blank", "", "the server's answer is empty"},
             Case{"big", "", "the answer is longer than 65536 bytes"},       // length given up front
             Case{"bigchunks", "", "the answer is longer than 65536 bytes"}, // and not
             Case{"notfound", "", "the server answered with status 404"},    // whatever the body says
             Case{"tohttp", "",
                  "the server redirected to http://127.0.0.1:" + std::to_string(options.Port) +
                      "/pad/getpad.php?pad=/case/newer.xml&field=version, which is not https"},
         }) {
        const TWebData r = get(c.name);
        EXPECT_EQ(r.ResultCode, c.answer.empty() ? -1 : 0) << c.name;
        EXPECT_EQ(r.Answer, c.answer) << c.name;
        EXPECT_EQ(r.FailureReason, c.reason) << c.name;
    }

    // The system's roots alone do not know the throwaway CA; a CA with the
    // same name that signed nothing here is no better; the certificate does
    // not name "localhost".
    for (const fs::path& ca : {fs::path(), dir / "rogue.pem"}) {
        options.ExtraCaFile = ca;
        const TWebData r = get("odd");
        EXPECT_EQ(r.ResultCode, -1) << ca;
        EXPECT_NE(r.FailureReason.find("certificate"), std::string::npos) << r.FailureReason;
    }
    options.ExtraCaFile = dir / "ca.pem";
    EXPECT_NE(get("odd", u"localhost").ResultCode, 0);
    // Trusting the extra CA trusts no other unknown root: a server whose
    // certificate signed itself is refused, its answer never read.
    const auto port = options.Port;
    options.Port = static_cast<std::uint16_t>(std::stoi(readText(dir / "self" / "port")));
    const TWebData self = get("odd");
    EXPECT_EQ(self.ResultCode, -1);
    EXPECT_NE(self.FailureReason.find("certificate"), std::string::npos) << self.FailureReason;
    options.Port = port;
    options.ExtraCaFile = dir / "absent.pem";
    EXPECT_NE(get("odd").FailureReason.find("absent.pem"), std::string::npos);

    // A server that never answers ends at the request's own limit.
    options.ExtraCaFile = dir / "ca.pem";
    options.TotalTimeout = std::chrono::seconds(2);
    const TWebData hung = get("hang");
    EXPECT_EQ(hung.ResultCode, -1);
    EXPECT_NE(hung.FailureReason.find("in time"), std::string::npos) << hung.FailureReason;
}

// WinHttpCrackUrl gives what the Linux parser gives.
TEST(WinHttps, UrlPathAsOnLinux) {
    EXPECT_EQ(services::UrlPath(u"https://h:8443/a/b.xml?x=1#f", 2048), u"/a/b.xml");
    EXPECT_EQ(services::UrlPath(u"http://h/a%20b.xml", 2048), u"/a b.xml");
    EXPECT_EQ(services::UrlPath(u"https://h", 2048), u"/");
    EXPECT_EQ(services::UrlPath(u"not an address", 2048) + services::UrlPath(u"ftp://h/a.xml", 2048), u"");
    EXPECT_EQ(services::UrlPath(u"https://h/" + std::u16string(2048, u'a'), 2048), u"");
}

TEST(WinOwnVersion, GetVersionInfoReadsTheProgramsResource) {
    std::u16string fileVersion, productName, description;
    ASSERT_TRUE(GetVersionInfo(fileVersion, productName, description));
    EXPECT_EQ(fileVersion, u"3.3.0.0");
    EXPECT_EQ(productName, u"Pakforge");
    EXPECT_EQ(description, u"Windows services tests");

    // The same strings through the system's own reader.
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(self, &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(self, 0, static_cast<DWORD>(block.size()), block.data()));
    WORD* translation = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &size));
    ASSERT_GE(size, 4u);
    wchar_t key[64];
    swprintf(key, 64, L"StringFileInfo\\%04X%04X\\FileVersion", translation[0], translation[1]);
    wchar_t* value = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&value), &size));
    EXPECT_EQ(fileVersion, std::u16string(reinterpret_cast<const char16_t*>(value)));
}

} // namespace
} // namespace pakforge
