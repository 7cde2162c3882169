#include "resources/pe/PeImage.h"

#include "core/ByteIO.h"
#include "core/Utf16.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

namespace pakforge::pe {

namespace {

constexpr std::uint32_t kMaxSections = 4096;
constexpr int kResourceLevels = 3; // type, name, language

bool isPowerOfTwo(std::uint32_t v) {
    return v && !(v & (v - 1));
}

// Reads the file through ByteReader and turns running off its end into a clear refusal.
template <class F> auto guarded(const char* what, F&& f) {
    try {
        return f();
    } catch (const ETruncatedData&) {
        throw EBadImage(std::string(what) + " runs past the end of the file");
    }
}

} // namespace

EBadImage::EBadImage(const std::string& reason)
    : EOSError("System Error.  Code: " + std::to_string(kBadExeFormat) +
                   ".\r\nThe file is not a valid Win32 application: " + reason + ".",
               kBadExeFormat),
      reason_(reason) {}

std::string SectionHeader::nameText() const {
    std::string text;
    for (std::uint8_t c : name) {
        if (!c) break;
        text.push_back(static_cast<char>(c));
    }
    return text;
}

int PeHeaders::sectionOfRva(std::uint64_t rva) const {
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const auto& s = sections[i];
        std::uint64_t end = std::uint64_t{s.virtualAddress} + std::max(s.virtualSize, s.sizeOfRawData);
        // Raw data past the virtual size can run into the next section's
        // addresses; the loader maps them to that section.
        if (i + 1 < sections.size() && sections[i + 1].virtualAddress > s.virtualAddress)
            end = std::min<std::uint64_t>(end, sections[i + 1].virtualAddress);
        if (rva >= s.virtualAddress && rva < end) return static_cast<int>(i);
    }
    return -1;
}

int PeHeaders::rawSectionOfRva(std::uint64_t rva) const {
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const auto& s = sections[i];
        if (rva >= s.virtualAddress && rva < std::uint64_t{s.virtualAddress} + s.sizeOfRawData)
            return static_cast<int>(i);
    }
    return -1;
}

namespace {

void readDosHeader(ByteReader& r, PeHeaders& h) {
    guarded("the DOS header", [&] {
        if (r.u16() != 0x5A4D) throw EBadImage("no MZ signature");
        r.seek(0x3C);
        h.peOffset = r.u32();
        r.seek(h.peOffset);
        if (r.u32() != 0x00004550) throw EBadImage("no PE signature");
        return 0;
    });
    h.coffOffset = h.peOffset + 4;
}

void readCoffHeader(ByteReader& r, PeHeaders& h) {
    guarded("the COFF header", [&] {
        h.machine = r.u16();
        h.numberOfSections = r.u16();
        r.skip(4);
        h.pointerToSymbolTable = r.u32();
        h.numberOfSymbols = r.u32();
        h.sizeOfOptionalHeader = r.u16();
        r.skip(2);
        return 0;
    });
    h.optionalOffset = h.coffOffset + 20;
    if (h.numberOfSections == 0) throw EBadImage("the image has no sections");
    if (h.numberOfSections > kMaxSections) throw EBadImage("too many sections");
}

void readDataDirectories(ByteReader& opt, PeHeaders& h) {
    const std::uint32_t countOffset = h.pe32Plus ? 108 : 92;
    opt.seek(countOffset);
    h.numberOfRvaAndSizes = opt.u32();
    h.dataDirectoryOffset = h.optionalOffset + countOffset + 4;
    // Entries past the 16 defined ones mean nothing to the loader.
    const std::uint32_t count = std::min<std::uint32_t>(h.numberOfRvaAndSizes, 16);
    if (!opt.canRead(std::uint64_t{count} * 8))
        throw EBadImage("the data directories do not fit the optional header");
    for (std::uint32_t i = 0; i < count; ++i) {
        DataDirectory d;
        d.rva = opt.u32();
        d.size = opt.u32();
        h.directories.push_back(d);
    }
}

void readOptionalHeader(ByteReader& r, PeHeaders& h) {
    guarded("the optional header", [&] {
        ByteReader opt(r.bytes(h.sizeOfOptionalHeader));
        const std::uint16_t magic = opt.u16();
        if (magic == 0x10B)
            h.pe32Plus = false;
        else if (magic == 0x20B)
            h.pe32Plus = true;
        else
            throw EBadImage("unknown optional header magic");
        opt.seek(8);
        h.sizeOfInitializedData = opt.u32();
        opt.seek(32);
        h.sectionAlignment = opt.u32();
        h.fileAlignment = opt.u32();
        opt.seek(56);
        h.sizeOfImage = opt.u32();
        h.sizeOfHeaders = opt.u32();
        h.checkSum = opt.u32();
        readDataDirectories(opt, h);
        return 0;
    });
    if (!isPowerOfTwo(h.fileAlignment) || !isPowerOfTwo(h.sectionAlignment) ||
        h.sectionAlignment < h.fileAlignment)
        throw EBadImage("impossible section or file alignment");
}

void readSectionTable(ByteReader& r, PeHeaders& h) {
    h.sectionTableOffset = h.optionalOffset + h.sizeOfOptionalHeader;
    guarded("the section table", [&] {
        r.seek(h.sectionTableOffset);
        if (!r.canRead(std::uint64_t{h.numberOfSections} * kSectionHeaderSize)) throw ETruncatedData();
        h.sections.reserve(h.numberOfSections);
        for (std::uint32_t i = 0; i < h.numberOfSections; ++i) {
            SectionHeader s;
            const auto name = r.bytes(8);
            std::copy(name.begin(), name.end(), s.name);
            s.virtualSize = r.u32();
            s.virtualAddress = r.u32();
            s.sizeOfRawData = r.u32();
            s.pointerToRawData = r.u32();
            s.pointerToRelocations = r.u32();
            s.pointerToLinenumbers = r.u32();
            s.numberOfRelocations = r.u16();
            s.numberOfLinenumbers = r.u16();
            s.characteristics = r.u32();
            h.sections.push_back(s);
        }
        return 0;
    });
}

} // namespace

PeHeaders parseHeaders(std::span<const std::uint8_t> file) {
    PeHeaders h;
    ByteReader r(file);
    readDosHeader(r, h);
    readCoffHeader(r, h);
    readOptionalHeader(r, h);
    readSectionTable(r, h);
    return h;
}

namespace {

class DirectoryWalker {
  public:
    DirectoryWalker(std::span<const std::uint8_t> file, const PeHeaders& headers,
                    std::span<const std::uint8_t> region,
                    const std::function<void(const ResourceEntry&)>& callback)
        : file_(file), headers_(headers), region_(region), callback_(callback),
          dataBudget_(std::uint64_t{file.size()} * 4 + (16u << 20)),
          // One bit per offset where the tables can be (a bit set is a fraction
          // of a hash set's memory and has no node per table); a set for the
          // rare offsets past what the bits cover.
          visitedBits_((std::min<std::size_t>(region.size(), kBitmapOffsets) + 63) / 64, 0) {}

    void walk() {
        ResourceEntry entry;
        table(0, 1, entry);
    }

  private:
    static constexpr std::size_t kBitmapOffsets = std::size_t{1} << 26;

    // Whether the table at offset was read before; marks it read.
    bool seen(std::uint32_t offset) {
        if (offset < visitedBits_.size() * 64) {
            std::uint64_t& word = visitedBits_[offset / 64];
            const std::uint64_t bit = std::uint64_t{1} << (offset % 64);
            const bool was = (word & bit) != 0;
            word |= bit;
            return was;
        }
        return !visitedFar_.insert(offset).second;
    }

    void table(std::uint32_t offset, int level, ResourceEntry& entry) {
        // Each table is read once: a table reached twice is a loop (or a shared
        // table, which no linker writes and which would multiply the work).
        if (seen(offset)) throw EBadImage("the resource directory refers to itself");
        const auto [first, count] = guarded("the resource directory", [&] {
            ByteReader r(region_);
            r.seek(offset);
            r.skip(12);
            const std::uint32_t entries = std::uint32_t{r.u16()} + r.u16();
            if (!r.canRead(std::uint64_t{entries} * 8)) throw ETruncatedData();
            return std::pair<std::size_t, std::uint32_t>(std::size_t{offset} + 16, entries);
        });
        // Entries are read in place (checked to lie in the region above): no
        // copy of the table per table.
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* raw = region_.data() + first + std::size_t{8} * i;
            const std::uint32_t nameField = loadLE32(raw);
            const std::uint32_t offsetField = loadLE32(raw + 4);
            ResId id = identifier(nameField);
            const bool isDirectory = (offsetField & 0x80000000u) != 0;
            const std::uint32_t target = offsetField & 0x7FFFFFFFu;
            if (level < kResourceLevels) {
                if (!isDirectory) throw EBadImage("a resource directory entry lacks its subdirectory");
                (level == 1 ? entry.type : entry.name) = std::move(id);
                table(target, level + 1, entry);
            } else {
                if (isDirectory) throw EBadImage("the resource directory is deeper than three levels");
                if (id.isName()) throw EBadImage("a resource language is given as a name");
                entry.language = id.id();
                dataEntry(target, entry);
                callback_(entry);
            }
        }
    }

    ResId identifier(std::uint32_t nameField) const {
        if (!(nameField & 0x80000000u)) {
            if (nameField > 0xFFFF) throw EBadImage("a resource identifier exceeds 16 bits");
            return ResId::number(static_cast<std::uint16_t>(nameField));
        }
        return guarded("a resource name", [&] {
            ByteReader r(region_);
            r.seek(nameField & 0x7FFFFFFFu);
            const std::uint16_t length = r.u16();
            return ResId::named(r.utf16(length));
        });
    }

    void dataEntry(std::uint32_t offset, ResourceEntry& entry) {
        std::uint32_t rva = 0, size = 0;
        guarded("a resource data entry", [&] {
            ByteReader r(region_);
            r.seek(offset);
            rva = r.u32();
            size = r.u32();
            entry.codePage = r.u32();
            return 0;
        });
        if (size == 0) {
            entry.data = {};
            return;
        }
        if (size > dataBudget_) throw EBadImage("the resources are larger than the file can hold");
        dataBudget_ -= size;
        const int index = headers_.sectionOfRva(rva);
        if (index < 0) throw EBadImage("resource data lies outside every section");
        const SectionHeader& s = headers_.sections[static_cast<std::size_t>(index)];
        const std::uint64_t inSection = std::uint64_t{rva} - s.virtualAddress;
        const std::uint64_t start = std::uint64_t{s.pointerToRawData} + inSection;
        if (inSection + size > s.sizeOfRawData || start + size > file_.size())
            throw EBadImage("resource data lies outside the file");
        entry.data = file_.subspan(static_cast<std::size_t>(start), size);
    }

    std::span<const std::uint8_t> file_;
    const PeHeaders& headers_;
    std::span<const std::uint8_t> region_;
    const std::function<void(const ResourceEntry&)>& callback_;
    std::uint64_t dataBudget_;
    std::vector<std::uint64_t> visitedBits_;
    std::unordered_set<std::uint32_t> visitedFar_;
};

} // namespace

void forEachResource(std::span<const std::uint8_t> file, const PeHeaders& headers,
                     const std::function<void(const ResourceEntry&)>& callback) {
    const DataDirectory dir = headers.directory(kDirResource);
    if (dir.rva == 0) return;
    const int index = headers.sectionOfRva(dir.rva);
    if (index < 0) throw EBadImage("the resource directory lies outside every section");
    const SectionHeader& s = headers.sections[static_cast<std::size_t>(index)];
    const std::uint64_t inSection = std::uint64_t{dir.rva} - s.virtualAddress;
    const std::uint64_t start = std::uint64_t{s.pointerToRawData} + inSection;
    const std::uint64_t end = std::uint64_t{s.pointerToRawData} + s.sizeOfRawData;
    if (inSection >= s.sizeOfRawData || end > file.size())
        throw EBadImage("the resource section lies outside the file");
    const auto region = file.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
    DirectoryWalker(file, headers, region, callback).walk();
}

std::uint32_t computeCheckSum(std::span<const std::uint8_t> file, std::uint32_t checkSumOffset) {
    std::uint64_t sum = 0;
    const std::size_t size = file.size();
    for (std::size_t i = 0; i < size; i += 2) {
        if (i == checkSumOffset || i == std::size_t{checkSumOffset} + 2) continue;
        std::uint32_t word = file[i];
        if (i + 1 < size) word |= std::uint32_t{file[i + 1]} << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + size);
}

namespace {

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

constexpr std::uint64_t kPageSize = 4096;

} // namespace

namespace {

using Problems = std::vector<std::string>;

void checkHeaders(const PeHeaders& h, std::uint64_t fileSize, Problems& problems) {
    const std::uint64_t fa = h.fileAlignment, sa = h.sectionAlignment;
    // Below a page the file is mapped as it is: file and memory layouts must agree.
    const bool flat = sa < kPageSize;
    if (flat && fa != sa)
        problems.push_back("SectionAlignment below the page size without a matching FileAlignment");
    if (!flat && fa < 512) problems.push_back("FileAlignment below 512");
    if (fa > 65536) problems.push_back("FileAlignment above 64 KB");
    const std::uint64_t tableEnd =
        std::uint64_t{h.sectionTableOffset} + h.sections.size() * kSectionHeaderSize;
    if (h.sizeOfHeaders < tableEnd) problems.push_back("SizeOfHeaders does not cover the section table");
    if (h.sizeOfHeaders % fa) problems.push_back("SizeOfHeaders is not a multiple of FileAlignment");
    if (h.sizeOfHeaders > fileSize) problems.push_back("SizeOfHeaders exceeds the file");
}

void checkRawData(const PeHeaders& h, const SectionHeader& s, const std::string& name, std::uint64_t fileSize,
                  Problems& problems) {
    const std::uint64_t fa = h.fileAlignment;
    if (s.pointerToRawData % fa) problems.push_back(name + ": PointerToRawData not aligned");
    if (s.sizeOfRawData % fa) problems.push_back(name + ": SizeOfRawData not aligned");
    if (h.sectionAlignment < kPageSize && s.pointerToRawData != s.virtualAddress)
        problems.push_back(name + ": PointerToRawData differs from VirtualAddress below page alignment");
    if (s.pointerToRawData < h.sizeOfHeaders) problems.push_back(name + ": raw data overlaps the headers");
    if (std::uint64_t{s.pointerToRawData} + s.sizeOfRawData > fileSize)
        problems.push_back(name + ": raw data runs past the end of the file");
}

// Each section starts where the one before ends in memory, rounded up to
// SectionAlignment; the first right after the headers. SizeOfImage ends
// where the last one does.
void checkSections(const PeHeaders& h, std::uint64_t fileSize, Problems& problems) {
    const std::uint64_t sa = h.sectionAlignment;
    std::uint64_t expectedVa = alignUp(h.sizeOfHeaders, sa);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rawRanges;
    for (std::size_t i = 0; i < h.sections.size(); ++i) {
        const auto& s = h.sections[i];
        const std::string name = "section " + std::to_string(i) + " (" + s.nameText() + ")";
        if (s.virtualAddress % sa)
            problems.push_back(name + ": VirtualAddress " + hex(s.virtualAddress) + " not aligned");
        if (s.virtualAddress != expectedVa)
            problems.push_back(name + ": sections are not contiguous (VirtualAddress " +
                               hex(s.virtualAddress) + ", expected " + hex(expectedVa) + ")");
        expectedVa = alignUp(std::uint64_t{s.virtualAddress} + s.virtualExtent(), sa);
        if (s.sizeOfRawData) {
            checkRawData(h, s, name, fileSize, problems);
            rawRanges.emplace_back(s.pointerToRawData, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
        }
    }
    std::sort(rawRanges.begin(), rawRanges.end());
    for (std::size_t i = 1; i < rawRanges.size(); ++i)
        if (rawRanges[i].first < rawRanges[i - 1].second)
            problems.push_back("raw data of two sections overlaps");
    if (h.sizeOfImage != expectedVa)
        problems.push_back("SizeOfImage " + hex(h.sizeOfImage) + " does not end at the last section (" +
                           hex(expectedVa) + ")");
}

void checkDataDirectory(const PeHeaders& h, std::uint32_t i, std::uint64_t fileSize, Problems& problems) {
    const DataDirectory d = h.directories[i];
    const std::string name = "data directory " + std::to_string(i);
    if (i == kDirSecurity) {
        if (std::uint64_t{d.rva} + d.size > fileSize)
            problems.push_back("certificate table runs past the end of the file");
        return;
    }
    if (i == kDirBoundImport && d.rva < h.sizeOfHeaders) return; // lives in the headers
    const int index = h.sectionOfRva(d.rva);
    if (index < 0) {
        problems.push_back(name + " lies outside every section");
        return;
    }
    const auto& s = h.sections[static_cast<std::size_t>(index)];
    const std::uint64_t end =
        std::uint64_t{s.virtualAddress} + alignUp(s.virtualExtent(), h.sectionAlignment);
    if (std::uint64_t{d.rva} + d.size > end) problems.push_back(name + " runs past its section");
    // Reading a file that is not mapped, the system finds a section by
    // its raw size: that must lead to the same section.
    const int byRaw = h.rawSectionOfRva(d.rva);
    if (byRaw >= 0 && byRaw != index)
        problems.push_back(name + " lies in section " + std::to_string(index) +
                           " but the raw data of section " + std::to_string(byRaw) + " covers its address");
}

void checkContents(std::span<const std::uint8_t> file, const PeHeaders& h, Problems& problems) {
    try {
        forEachResource(file, h, [](const ResourceEntry&) {});
    } catch (const Exception& e) {
        problems.push_back("resource directory: " + e.message());
    }
    if (h.checkSum && h.checkSum != computeCheckSum(file, h.checkSumOffset()))
        problems.push_back("CheckSum is wrong");
}

} // namespace

std::vector<std::string> validateLayout(std::span<const std::uint8_t> file) {
    Problems problems;
    PeHeaders h;
    try {
        h = parseHeaders(file);
    } catch (const Exception& e) {
        problems.push_back(e.message());
        return problems;
    }
    checkHeaders(h, file.size(), problems);
    checkSections(h, file.size(), problems);
    for (std::uint32_t i = 0; i < h.directories.size(); ++i)
        if (h.directories[i].rva || h.directories[i].size) checkDataDirectory(h, i, file.size(), problems);
    checkContents(file, h, problems);
    return problems;
}

namespace {

std::string layoutRejectedMessage(const std::filesystem::path& file, const std::vector<std::string>& problems,
                                  bool brokenBefore) {
    std::string rules;
    for (const auto& p : problems) rules += (rules.empty() ? "" : "; ") + p;
    std::string text = "System Error.  Code: " + std::to_string(kBadExeFormat) + ".\r\nThe resources of \"" +
                       pathToUtf8(file) +
                       "\" were not saved: the rewritten file would break the Windows loader's rules (" +
                       rules + "). The file is unchanged.";
    if (brokenBefore)
        text += " The original already breaks the loader's rules; relink it with a standard linker.";
    return text;
}

} // namespace

ELayoutRejected::ELayoutRejected(const std::filesystem::path& file, const std::vector<std::string>& problems,
                                 bool brokenBefore)
    : EOSError(layoutRejectedMessage(file, problems, brokenBefore), kBadExeFormat) {}

} // namespace pakforge::pe
