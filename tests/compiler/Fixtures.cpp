#include "Fixtures.h"

#include "container/VxStreamWriter.h"
#include "core/ByteIO.h"
#include "core/Utf16.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <stdexcept>

namespace pakforge::test {

namespace fs = std::filesystem;

namespace {

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void mustRun(const std::string& command) {
    std::string output;
    const int rc = runCommand(command + " 2>&1", &output);
    if (rc != 0)
        throw std::runtime_error("command failed (" + std::to_string(rc) + "): " + command + "\n" + output);
}

} // namespace

fs::path makeMsi(const fs::path& dir, const std::string& fileName, const ProductInfo& product,
                 const std::map<std::string, std::vector<std::uint8_t>>& files) {
    const fs::path work = dir / (fileName + ".src");
    fs::create_directories(work);
    std::string components, refs;
    int index = 0;
    for (const auto& [name, bytes] : files) {
        writeFile(work / name, bytes);
        const std::string id = std::to_string(index++);
        components += "<Component Id=\"C" + id + "\" Guid=\"6f0c1c4e-00" + (id.size() < 2 ? "0" + id : id) +
                      "-4a6b-9d3b-2d5c1f3e4a11\"><File Id=\"F" + id + "\" Source=\"" + xmlEscape(name) +
                      "\" KeyPath=\"yes\"/></Component>\n";
        refs += "<ComponentRef Id=\"C" + id + "\"/>";
    }
    const std::string wxs =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n"
        "<Product Id=\"6f0c1c4e-9999-4a6b-9d3b-2d5c1f3e4a11\" Name=\"" +
        xmlEscape(product.name) + "\" Version=\"" + xmlEscape(product.version) + "\" Manufacturer=\"" +
        xmlEscape(product.manufacturer) +
        "\" UpgradeCode=\"6f0c1c4e-0000-4a6b-9d3b-2d5c1f3e4a11\" Language=\"1033\">\n"
        "<Package InstallerVersion=\"200\" Compressed=\"yes\" InstallScope=\"perMachine\"/>\n"
        "<Media Id=\"1\" Cabinet=\"data.cab\" EmbedCab=\"yes\"/>\n"
        "<Directory Id=\"TARGETDIR\" Name=\"SourceDir\"><Directory Id=\"ProgramFilesFolder\">"
        "<Directory Id=\"INSTALLDIR\" Name=\"Pakforge Test\">\n" +
        components +
        "</Directory></Directory></Directory>\n"
        "<Feature Id=\"Main\" Level=\"1\">" +
        refs +
        "</Feature>\n"
        "</Product></Wix>\n";
    writeText(work / "package.wxs", wxs);
    const fs::path msi = dir / fileName;
    mustRun("cd " + shellQuote(work.string()) + " && wixl -o " + shellQuote(msi.string()) + " package.wxs");
    return msi;
}

void alterMsi(const fs::path& msi, const std::string& sql) {
    mustRun("msibuild " + shellQuote(msi.string()) + " -q " + shellQuote(sql));
}

const fs::path& stubExe() {
    static fs::path built;
    static std::once_flag once;
    std::call_once(once, [] {
        // ctest runs cases as parallel processes: build aside, then rename the
        // finished folder into place; whoever loses the race uses the winner's.
        const fs::path target = binaryDir() / "compiler-fixtures" / "stub-1";
        built = target / "stub.exe";
        if (fs::exists(built)) return;
        fs::create_directories(target.parent_path());
        const fs::path dir = target.parent_path() / ("tmp-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
        writeText(dir / "stub.cpp", "#include <windows.h>\n"
                                    "int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 7; }\n");
        fs::copy_file(sampleIcon(), dir / "stub.ico", fs::copy_options::overwrite_existing);
        writeText(dir / "stub.rc",
                  "1 ICON \"stub.ico\"\n"
                  "1 VERSIONINFO\nFILEVERSION 1,0,0,0\nPRODUCTVERSION 1,0,0,0\nBEGIN\n"
                  "BLOCK \"StringFileInfo\"\nBEGIN\nBLOCK \"040904b0\"\nBEGIN\n"
                  "VALUE \"FileDescription\", \"Test stub\\0\"\nEND\nEND\n"
                  "BLOCK \"VarFileInfo\"\nBEGIN\nVALUE \"Translation\", 0x409, 1200\nEND\nEND\n");
        mustRun("cd " + shellQuote(dir.string()) +
                " && i686-w64-mingw32-windres stub.rc -O coff -o stub.res"
                " && i686-w64-mingw32-g++ -O2 -s -mwindows -static stub.cpp stub.res -o stub.exe");
        std::error_code ec;
        fs::rename(dir, target, ec);
        if (ec) fs::remove_all(dir, ec);
    });
    return built;
}

fs::path sampleIcon() {
    return sourceDir() / "examples" / "sample.ico";
}

std::vector<std::uint8_t> referenceDeflate(const std::vector<std::uint8_t>& data) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::vector<std::uint8_t> out(deflateBound(&z, data.size()) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    return out;
}

std::uint32_t referenceCrc(const std::vector<std::uint8_t>& data) {
    return static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

ParsedArchive parseArchive(const std::vector<std::uint8_t>& file) {
    ParsedArchive a;
    a.fileSize = file.size();
    if (file.size() < 22) throw std::runtime_error("no end record");
    ByteReader end(std::span<const std::uint8_t>(file).subspan(file.size() - 22));
    if (end.u32() != 0x06054B50) throw std::runtime_error("bad end signature");
    end.skip(4);
    a.entries = end.u16();
    if (end.u16() != a.entries) throw std::runtime_error("entry counts differ");
    a.centralSize = end.u32();
    a.centralOffset = end.u32();
    if (end.u16() != 0) throw std::runtime_error("comment");
    if (a.entries == 0) return a;

    ByteReader central(file);
    central.seek(a.centralOffset);
    if (central.u32() != 0x02014B50) throw std::runtime_error("bad central signature");
    const auto fixed = central.bytes(42);
    a.centralFixed.assign(fixed.begin(), fixed.end());
    ByteReader c(fixed);
    a.madeBy = c.u16();
    a.needed = c.u16();
    a.flag = c.u16();
    a.method = c.u16();
    a.dosTime = c.u32();
    a.crc = c.u32();
    a.compressedSize = c.u32();
    a.uncompressedSize = c.u32();
    const std::uint16_t nameLength = c.u16();
    if (c.u16() != 0 || c.u16() != 0) throw std::runtime_error("extra or comment");
    c.skip(8);
    a.localOffset = c.u32();
    const auto name = central.bytes(nameLength);
    a.name.assign(name.begin(), name.end());

    ByteReader local(file);
    local.seek(a.localOffset);
    if (local.u32() != 0x04034B50) throw std::runtime_error("bad local signature");
    const auto lf = local.bytes(26);
    a.localFixed.assign(lf.begin(), lf.end());
    local.skip(nameLength);
    const auto data = local.bytes(a.compressedSize);
    a.data.assign(data.begin(), data.end());
    return a;
}

std::string pythonZipInfo(const fs::path& file) {
    std::string out;
    const std::string script =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "bad = z.testzip()\n"
        "for i in z.infolist():\n"
        "    print('%s|%08x|%d|%d|%d|%s' % (i.filename, i.CRC, i.compress_size, i.file_size, i.header_offset,"
        " 'ok' if bad is None else 'bad'))\n";
    runCommand("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(file.string()) + " 2>&1", &out);
    return out;
}

bool unzipTestPasses(const fs::path& file, std::string* output) {
    std::string out;
    const int rc = runCommand("unzip -t " + shellQuote(file.string()) + " 2>&1", &out);
    if (output) *output = out;
    return rc == 0 && out.find("extra bytes") == std::string::npos &&
           out.find("No errors detected") != std::string::npos;
}

fs::path makeContainer(const fs::path& path, const std::vector<std::uint8_t>& exe, bool compress,
                       bool encrypt, const std::u16string& itemName) {
    const std::vector<ContainerItem> items{{itemName, exe}};
    const std::u16string key = u"rqzvmtpxw4b7";
    writeFile(path, buildContainer(items, compress, encrypt ? &key : nullptr));
    return path;
}

namespace {

constexpr const char* kPeScript = R"PY(
import sys, pefile
pe = pefile.PE(sys.argv[1])
mode = sys.argv[2]
if mode == 'checksum':
    print('%d %d' % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
def ident(e):
    return str(e.name) if e.name is not None else str(e.id)
if mode == 'list':
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for l in n.directory.entries:
                print('%s/%s/%d/%d' % (ident(t), ident(n), l.id, l.data.struct.Size))
elif mode == 'data':
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for l in n.directory.entries:
                if ident(t) == sys.argv[3] and ident(n) == sys.argv[4] and l.id == int(sys.argv[5]):
                    d = pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
                    sys.stdout.write(d.hex())
elif mode == 'icon':
    import struct
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.id != 14: continue
        for n in t.directory.entries:
            if str(n.name) != 'MAINICON': continue
            for l in n.directory.entries:
                if l.id != 0: continue
                d = pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
                reserved, kind, count = struct.unpack_from('<HHH', d, 0)
                ids = set()
                for t2 in pe.DIRECTORY_ENTRY_RESOURCE.entries:
                    if t2.id == 3:
                        for n2 in t2.directory.entries:
                            for l2 in n2.directory.entries:
                                ids.add((n2.id, l2.data.struct.Size))
                for i in range(count):
                    w, h, c, r, planes, bits, size, rid = struct.unpack_from('<BBBBHHIH', d, 6 + 14 * i)
                    print('%dx%dx%d -> %d %s' % (w, h, bits, rid, 'present' if (rid, size) in ids else 'missing'))
)PY";

std::string runPe(const fs::path& file, const std::string& args) {
    std::string out;
    const int rc = runCommand("/usr/bin/python3 -c " + shellQuote(kPeScript) + " " +
                                  shellQuote(file.string()) + " " + args + " 2>&1",
                              &out);
    if (rc != 0) throw std::runtime_error("pefile failed: " + out);
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

} // namespace

std::vector<std::string> peResources(const fs::path& file) {
    return lines(runPe(file, "list"));
}

std::vector<std::uint8_t> peResourceData(const fs::path& file, const std::string& type,
                                         const std::string& name, int language) {
    const std::string hex =
        runPe(file, "data " + shellQuote(type) + " " + shellQuote(name) + " " + std::to_string(language));
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

CliResult runCli(const fs::path& cwd, const fs::path& container, const std::string& args,
                 const std::string& environment) {
    TempDir scratch;
    CliResult r;
    r.status = runCommand("cd " + shellQuote(cwd.string()) + " && " + environment +
                              " PAKFORGE_CONTAINER=" + shellQuote(container.string()) + " " +
                              shellQuote((binaryDir() / "bin" / "pakforge-cli").string()) + " " + args +
                              " 2>" + shellQuote((scratch / "err").string()),
                          &r.out);
    const auto err = readFile(scratch / "err");
    r.err.assign(err.begin(), err.end());
    return r;
}

std::string signalMidBuild(const fs::path& dir, const fs::path& container, const std::string& options,
                           const std::string& signal) {
    const std::string script =
        "cd " + shellQuote(dir.string()) + " || exit\nPAKFORGE_CONTAINER=" + shellQuote(container.string()) +
        " " + shellQuote((binaryDir() / "bin" / "pakforge-cli").string()) + " " + options +
        " big.msi '' out.exe >/dev/null 2>err & pid=$!\n"
        "for i in $(seq 1 1000); do ls -a | grep -q '[.]tmp$' && break; sleep 0.01; done\n"
        "kill -" +
        signal + " $pid; wait $pid; echo $?\n";
    std::string out;
    runCommand("sh -c " + shellQuote(script), &out);
    return out;
}

std::pair<std::uint32_t, std::uint32_t> peCheckSums(const fs::path& file) {
    std::uint32_t stored = 0;
    std::uint32_t computed = 0;
    if (std::sscanf(runPe(file, "checksum").c_str(), "%u %u", &stored, &computed) != 2)
        throw std::runtime_error("pefile gave no checksum");
    return {stored, computed};
}

std::vector<std::string> mainIconEntries(const fs::path& file) {
    return lines(runPe(file, "icon"));
}

} // namespace pakforge::test
