#include "PeFixtures.h"

#include "core/ByteIO.h"
#include "core/Streams.h"
#include "core/Utf16.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceWriter.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>

namespace pakforge::test {

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string idText(const pe::ResId& id) {
    return id.isName() ? utf16ToUtf8(id.name()) : std::to_string(id.id());
}

} // namespace

bool havePefile() {
    static const bool have = runCommand("/usr/bin/python3 -c 'import pefile' 2>/dev/null") == 0;
    return have;
}

std::filesystem::path mingwFixtures() {
    static std::filesystem::path cached;
    if (!cached.empty()) return cached;
    if (!haveTool("i686-w64-mingw32-gcc") || !haveTool("i686-w64-mingw32-windres")) return {};
    const auto script = sourceDir() / "tests/resources/fixtures/build.sh";
    // Keyed by the fixture sources, so a changed fixture is rebuilt.
    std::string key;
    for (const char* name : {"build.sh", "hello.c", "library.c", "fixture.rc", "app.manifest"}) {
        const auto bytes = readFile(sourceDir() / "tests/resources/fixtures" / name);
        key += std::string(bytes.begin(), bytes.end());
    }
    const auto hash = crc32Hex(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
    const auto folder = binaryDir() / "pe-fixtures" / hash;
    if (!std::filesystem::exists(folder / "plain.exe")) {
        // Built aside and renamed into place: ctest may run cases in parallel.
        std::filesystem::create_directories(folder.parent_path());
        std::random_device random;
        const auto scratch = folder.parent_path() / ("tmp-" + std::to_string(random()));
        std::filesystem::create_directories(scratch);
        writeFile(scratch / "app.ico", makeIcon(32, 7));
        std::string output;
        if (runCommand(shellQuote(script.string()) + " " + shellQuote(scratch.string()) + " 2>&1", &output) !=
            0)
            throw std::runtime_error("building the mingw fixtures failed:\n" + output);
        std::error_code ec;
        std::filesystem::rename(scratch, folder, ec);
        if (ec) std::filesystem::remove_all(scratch, ec);
    }
    cached = folder;
    return cached;
}

std::vector<std::filesystem::path> nsisStubs() {
    std::vector<std::filesystem::path> stubs;
    const std::filesystem::path dir = "/usr/share/nsis/Stubs";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.is_regular_file()) {
            // "uninst" is data, not a program.
            const auto bytes = readFile(entry.path());
            if (bytes.size() > 2 && bytes[0] == 'M' && bytes[1] == 'Z') stubs.push_back(entry.path());
        }
    std::sort(stubs.begin(), stubs.end());
    return stubs;
}

std::vector<std::uint8_t> makeIcon(int size, std::uint32_t seed) {
    const std::uint32_t w = static_cast<std::uint32_t>(size), h = w;
    const std::uint32_t maskRow = ((w + 31) / 32) * 4;
    const std::uint32_t imageSize = 40 + w * h * 4 + maskRow * h;
    std::vector<std::uint8_t> out;
    auto u8 = [&](std::uint32_t v) { out.push_back(static_cast<std::uint8_t>(v)); };
    auto u16 = [&](std::uint32_t v) { u8(v), u8(v >> 8); };
    auto u32 = [&](std::uint32_t v) { u16(v), u16(v >> 16); };
    u16(0), u16(1), u16(1);
    u8(w >= 256 ? 0 : w), u8(h >= 256 ? 0 : h), u8(0), u8(0), u16(1), u16(32), u32(imageSize), u32(22);
    u32(40), u32(w), u32(2 * h), u16(1), u16(32), u32(0), u32(w * h * 4 + maskRow * h), u32(0), u32(0),
        u32(0), u32(0);
    const auto pixels = randomBytes(w * h * 4, seed);
    out.insert(out.end(), pixels.begin(), pixels.end());
    out.resize(out.size() + maskRow * h, 0);
    return out;
}

std::vector<std::uint8_t> makeTinyPe(bool pe32Plus, int dataSections, bool withResources, bool withCheckSum) {
    constexpr std::uint32_t fa = 0x200, sa = 0x1000;
    struct Section {
        std::string name;
        std::vector<std::uint8_t> raw;
        std::uint32_t characteristics;
    };
    std::vector<Section> sections;
    sections.push_back({".text", std::vector<std::uint8_t>(16, 0xC3), 0x60000020});
    for (int i = 0; i < dataSections; ++i)
        sections.push_back({".data" + std::to_string(i), randomBytes(100 + 50 * i, 11 + i), 0xC0000040});
    const std::uint32_t rsrcIndex = static_cast<std::uint32_t>(sections.size());
    if (withResources) sections.push_back({".rsrc", {}, 0x40000040});
    // One relocation block for the first page of .text: two HIGHLOW/DIR64 entries.
    std::vector<std::uint8_t> reloc = {0x00, 0x10, 0, 0, 12, 0, 0, 0};
    const std::uint16_t kind = pe32Plus ? 0xA000 : 0x3000;
    for (std::uint16_t e : {static_cast<std::uint16_t>(kind | 4), static_cast<std::uint16_t>(kind | 8)})
        reloc.push_back(static_cast<std::uint8_t>(e)), reloc.push_back(static_cast<std::uint8_t>(e >> 8));
    sections.push_back({".reloc", reloc, 0x42000040});

    const std::uint32_t count = static_cast<std::uint32_t>(sections.size());
    std::vector<std::uint32_t> va(count), ptr(count);
    std::uint32_t nextVa = sa, nextPtr = fa;
    for (std::uint32_t i = 0; i < count; ++i) {
        va[i] = nextVa;
        if (i == rsrcIndex && withResources) {
            pe::ResourceTree tree;
            const std::string text = "tiny resource";
            tree[pe::ResId::number(10)][pe::ResId::named(u"TINY")][1033].assign(text.begin(), text.end());
            sections[i].raw = pe::buildResourceSection(tree, va[i]);
        }
        ptr[i] = nextPtr;
        nextVa +=
            static_cast<std::uint32_t>(pe::alignUp(std::max<std::size_t>(sections[i].raw.size(), 1), sa));
        nextPtr += static_cast<std::uint32_t>(pe::alignUp(sections[i].raw.size(), fa));
    }
    std::vector<std::uint8_t> out(fa, 0);
    auto put16 = [&](std::size_t at, std::uint32_t v) {
        storeLE16(out.data() + at, static_cast<std::uint16_t>(v));
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) { storeLE32(out.data() + at, v); };
    out[0] = 'M', out[1] = 'Z';
    put32(0x3C, 0x40);
    put32(0x40, 0x00004550);
    const std::size_t coff = 0x44, opt = coff + 20;
    const std::uint32_t optSize = pe32Plus ? 0xF0 : 0xE0;
    put16(coff, pe32Plus ? 0x8664 : 0x14C);
    put16(coff + 2, count);
    put16(coff + 16, optSize);
    put16(coff + 18, pe32Plus ? 0x0022 : 0x0102);
    put16(opt, pe32Plus ? 0x20B : 0x10B);
    out[opt + 2] = 2;
    std::uint32_t initialized = 0;
    for (const auto& s : sections)
        if (s.characteristics & 0x40)
            initialized += static_cast<std::uint32_t>(pe::alignUp(s.raw.size(), fa));
    put32(opt + 4, fa);
    put32(opt + 8, initialized);
    put32(opt + 16, sa); // entry point
    put32(opt + 20, sa); // base of code
    if (pe32Plus) {
        put32(opt + 24, 0x40000000), put32(opt + 28, 1); // image base 0x140000000
    } else {
        put32(opt + 24, va.size() > 1 ? va[1] : sa);
        put32(opt + 28, 0x400000);
    }
    put32(opt + 32, sa);
    put32(opt + 36, fa);
    put16(opt + 40, 4), put16(opt + 48, 4);
    put32(opt + 56, nextVa);
    put32(opt + 60, fa);
    put16(opt + 68, 3);      // console
    put16(opt + 70, 0x8140); // dynamic base, NX, terminal server aware
    const std::size_t stack = pe32Plus ? opt + 72 : opt + 72;
    if (pe32Plus) {
        put32(stack, 0x100000), put32(stack + 8, 0x1000), put32(stack + 16, 0x100000),
            put32(stack + 24, 0x1000);
    } else {
        put32(stack, 0x100000), put32(stack + 4, 0x1000), put32(stack + 8, 0x100000),
            put32(stack + 12, 0x1000);
    }
    const std::size_t dirs = opt + (pe32Plus ? 112 : 96);
    put32(dirs - 4, 16);
    if (withResources)
        put32(dirs + 16, va[rsrcIndex]),
            put32(dirs + 20, static_cast<std::uint32_t>(sections[rsrcIndex].raw.size()));
    put32(dirs + 40, va[count - 1]), put32(dirs + 44, static_cast<std::uint32_t>(reloc.size()));
    const std::size_t table = opt + optSize;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = table + 40 * i;
        std::memcpy(out.data() + at, sections[i].name.data(),
                    std::min<std::size_t>(8, sections[i].name.size()));
        put32(at + 8, static_cast<std::uint32_t>(sections[i].raw.size()));
        put32(at + 12, va[i]);
        put32(at + 16, static_cast<std::uint32_t>(pe::alignUp(sections[i].raw.size(), fa)));
        put32(at + 20, ptr[i]);
        put32(at + 36, sections[i].characteristics);
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        out.insert(out.end(), sections[i].raw.begin(), sections[i].raw.end());
        out.resize(pe::alignUp(out.size(), fa), 0);
    }
    if (withCheckSum) put32(opt + 64, pe::computeCheckSum(out, static_cast<std::uint32_t>(opt + 64)));
    return out;
}

std::vector<std::string> listWithOurReader(const std::filesystem::path& file) {
    const auto bytes = readWholeFile(file);
    const auto headers = pe::parseHeaders(bytes);
    std::vector<std::string> lines;
    pe::forEachResource(bytes, headers, [&](const pe::ResourceEntry& e) {
        lines.push_back(idText(e.type) + " " + idText(e.name) + " " + std::to_string(e.language) + " " +
                        std::to_string(e.data.size()) + " " + crc32Hex(e.data));
    });
    return lines;
}

std::vector<std::string> listWithPefile(const std::filesystem::path& file) {
    std::string output;
    const auto script = sourceDir() / "tests/resources/fixtures/list_resources.py";
    if (runCommand("/usr/bin/python3 " + shellQuote(script.string()) + " " + shellQuote(file.string()),
                   &output) != 0)
        throw std::runtime_error("pefile could not read " + file.string());
    return splitLines(output);
}

std::vector<std::string> listWithWrestool(const std::filesystem::path& file) {
    std::string output;
    if (runCommand("wrestool -l " + shellQuote(file.string()), &output) != 0)
        throw std::runtime_error("wrestool could not read " + file.string());
    std::vector<std::string> lines;
    for (const auto& line : splitLines(output)) {
        // --type=3 --name=1 --language=1033 [type=icon offset=0x113a0 size=1128]
        auto field = [&](const std::string& key) {
            const auto at = line.find(key);
            if (at == std::string::npos) return std::string();
            const auto start = at + key.size();
            auto end = line.find_first_of(" ]", start);
            std::string value = line.substr(start, end - start);
            value.erase(std::remove(value.begin(), value.end(), '\''), value.end());
            return value;
        };
        lines.push_back(field("--type=") + " " + field("--language=") + " " + field("size="));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> reduceForWrestool(const std::vector<std::string>& lines) {
    std::vector<std::string> reduced;
    for (const auto& line : lines) {
        std::istringstream in(line);
        std::string type, name, language, size;
        in >> type >> name >> language >> size;
        reduced.push_back(type + " " + language + " " + size);
    }
    std::sort(reduced.begin(), reduced.end());
    return reduced;
}

std::vector<std::string> layoutProblems(const std::filesystem::path& file) {
    auto problems = pe::validateLayout(readWholeFile(file));
    if (!havePefile()) {
        // Outside CI the check falls back to ours alone.
        if (underCi()) problems.push_back("pefile is missing (required under CI)");
        return problems;
    }
    for (const auto& warning : pefileWarnings(file)) problems.push_back("pefile: " + warning);
    return problems;
}

std::vector<std::string> pefileWarnings(const std::filesystem::path& file) {
    std::string output;
    const auto script = sourceDir() / "tests/resources/fixtures/pefile_warnings.py";
    if (runCommand("/usr/bin/python3 " + shellQuote(script.string()) + " " + shellQuote(file.string()),
                   &output) != 0)
        throw std::runtime_error("pefile could not load " + file.string());
    return splitLines(output);
}

std::string crc32Hex(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", crc ^ 0xFFFFFFFFu);
    return text;
}

} // namespace pakforge::test
