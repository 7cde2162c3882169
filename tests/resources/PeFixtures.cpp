#include "PeFixtures.h"

#include "core/Streams.h"
#include "core/Utf16.h"
#include "resources/pe/PeImage.h"
#include "support/TestFiles.h"

#include <algorithm>
#include <cstdio>
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
        if (entry.is_regular_file()) stubs.push_back(entry.path());
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
    return pe::validateLayout(readWholeFile(file));
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
