#include "resources/pe/ResourceWriter.h"

#include "core/ByteIO.h"
#include "resources/pe/PeImage.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace pakforge::pe {

namespace {

constexpr std::uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr std::uint32_t kNameFlag = 0x80000000u;
constexpr std::size_t kDataAlignment = 8;
constexpr std::size_t kDebugEntrySize = 28;

} // namespace

ResourceList listOf(const ResourceTree& tree) {
    ResourceList list;
    for (const auto& [type, names] : tree)
        for (const auto& [name, languages] : names)
            for (const auto& [language, bytes] : languages) list.push_back({&type, &name, language, bytes});
    return list;
}

std::vector<std::uint8_t> buildResourceSection(const ResourceTree& tree, std::uint32_t baseRva) {
    return buildResourceSectionFromList(listOf(tree), baseRva);
}

namespace {

// One directory table as a run of the sorted list (grouped by address, see
// ResourceList): a type's table covers a run of name tables, a name's table a
// run of leaves. The identifier is copied so the writer touches the list's
// ResIds only for names.
struct Table {
    const ResId* id;
    bool named;
    std::uint16_t number;
    std::uint32_t first, count, namedCount;
};

// Where everything of a resource section goes, relative to its start: the
// tables (root, every name table, every language table), the data entries,
// the names, then the data, each item aligned.
struct SectionLayout {
    std::vector<Table> types, names;
    std::size_t namedTypes = 0;
    std::uint64_t nameTablesOffset = 0;
    std::uint64_t languageTablesOffset = 0;
    std::uint64_t dataEntriesOffset = 0;
    std::uint64_t namesOffset = 0;
    std::uint64_t dataOffset = 0;
    std::uint64_t size = 0;
};

SectionLayout planResourceSection(std::span<const ResourceRef> leaves, std::uint32_t baseRva) {
    // Each data entry takes 16 bytes of a section under 2 GB.
    if (leaves.size() > 0x7FFFFFFFu / 16) throw EBadImage("the resources are too large for a PE image");
    SectionLayout plan;
    auto& types = plan.types;
    auto& names = plan.names;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        const ResourceRef& l = leaves[i];
        const bool newType = i == 0 || l.type != leaves[i - 1].type;
        if (newType)
            types.push_back(
                {l.type, l.type->isName(), l.type->id(), static_cast<std::uint32_t>(names.size()), 0, 0});
        if (newType || l.name != leaves[i - 1].name) {
            Table& t = types.back();
            const bool named = l.name->isName();
            ++t.count;
            if (named) ++t.namedCount;
            names.push_back({l.name, named, l.name->id(), static_cast<std::uint32_t>(i), 0, 0});
        }
        ++names.back().count;
    }
    for (const auto& t : types)
        if (t.named) ++plan.namedTypes;
    if (types.size() > 0xFFFF) throw EBadImage("too many resource types");
    for (const auto& t : types)
        if (t.count > 0xFFFF) throw EBadImage("too many resource names under one type");
    for (const auto& n : names)
        if (n.count > 0xFFFF) throw EBadImage("too many languages under one resource");

    plan.nameTablesOffset = 16 + 8 * std::uint64_t{types.size()};
    plan.languageTablesOffset = plan.nameTablesOffset + 16 * std::uint64_t{types.size()} + 8 * names.size();
    plan.dataEntriesOffset = plan.languageTablesOffset + 16 * std::uint64_t{names.size()} + 8 * leaves.size();
    plan.namesOffset = plan.dataEntriesOffset + 16 * std::uint64_t{leaves.size()};
    std::uint64_t offset = plan.namesOffset;
    for (const auto& t : types)
        if (t.named) offset += 2 + 2 * std::uint64_t{t.id->name().size()};
    for (const auto& n : names)
        if (n.named) offset += 2 + 2 * std::uint64_t{n.id->name().size()};
    plan.dataOffset = alignUp(alignUp(offset, 4), kDataAlignment);
    plan.size = plan.dataOffset;
    for (const auto& l : leaves) plan.size = alignUp(plan.size + l.data.size(), kDataAlignment);
    if (plan.size + baseRva > 0x7FFFFFFFu) throw EBadImage("the resources are too large for a PE image");
    return plan;
}

// Appends the section laid out by plan to out.
void writeResourceSection(const SectionLayout& plan, std::span<const ResourceRef> leaves,
                          std::uint32_t baseRva, std::vector<std::uint8_t>& out) {
    const std::size_t base = out.size();
    ByteWriter w(out);
    // Alignment counts from the section's start, wherever it sits in out.
    auto alignTo = [&](std::size_t alignment) {
        const std::size_t at = out.size() - base;
        if (at % alignment) w.zeros(alignment - at % alignment);
    };
    std::uint64_t nextName = plan.namesOffset;
    auto tableHeader = [&](std::size_t named, std::size_t count) {
        w.u32(0); // characteristics
        w.u32(0); // time stamp
        w.u32(0); // version
        w.u16(static_cast<std::uint16_t>(named));
        w.u16(static_cast<std::uint16_t>(count - named));
    };
    auto nameField = [&](const Table& t) -> std::uint32_t {
        if (!t.named) return t.number;
        const std::uint64_t at = nextName;
        nextName += 2 + 2 * std::uint64_t{t.id->name().size()};
        return kNameFlag | static_cast<std::uint32_t>(at);
    };

    // Root, then the name tables: their names follow the type names.
    tableHeader(plan.namedTypes, plan.types.size());
    std::uint64_t table = plan.nameTablesOffset;
    for (const auto& t : plan.types) {
        w.u32(nameField(t));
        w.u32(kSubdirectoryFlag | static_cast<std::uint32_t>(table));
        table += 16 + 8 * std::uint64_t{t.count};
    }
    table = plan.languageTablesOffset;
    for (const auto& t : plan.types) {
        tableHeader(t.namedCount, t.count);
        for (std::size_t i = t.first; i < t.first + t.count; ++i) {
            w.u32(nameField(plan.names[i]));
            w.u32(kSubdirectoryFlag | static_cast<std::uint32_t>(table));
            table += 16 + 8 * std::uint64_t{plan.names[i].count};
        }
    }
    for (const auto& n : plan.names) {
        tableHeader(0, n.count);
        for (std::size_t i = n.first; i < n.first + n.count; ++i) {
            w.u32(leaves[i].language);
            w.u32(static_cast<std::uint32_t>(plan.dataEntriesOffset + 16 * i));
        }
    }
    std::uint64_t at = plan.dataOffset;
    for (const auto& l : leaves) {
        w.u32(static_cast<std::uint32_t>(baseRva + at));
        w.u32(static_cast<std::uint32_t>(l.data.size()));
        w.u32(0); // code page
        w.u32(0);
        at = alignUp(at + l.data.size(), kDataAlignment);
    }
    // Names, in the order nameField handed out their offsets.
    auto putName = [&](const Table& t) {
        if (!t.named) return;
        w.u16(static_cast<std::uint16_t>(t.id->name().size()));
        w.utf16(t.id->name());
    };
    for (const auto& t : plan.types) putName(t);
    for (const auto& n : plan.names) putName(n);
    alignTo(4);
    w.zeros(static_cast<std::size_t>(plan.dataOffset - (out.size() - base)));
    for (const auto& l : leaves) {
        w.bytes(l.data);
        alignTo(kDataAlignment);
    }
}

// Appends prefix and then the section (see buildResourceSectionFromList) to
// out, reserving room for extra bytes more: a rewrite builds the section
// straight into the new file instead of copying it there.
void appendResourceSection(std::span<const ResourceRef> leaves, std::uint32_t baseRva,
                           std::span<const std::uint8_t> prefix, std::size_t extra,
                           std::vector<std::uint8_t>& out) {
    const SectionLayout plan = planResourceSection(leaves, baseRva);
    out.reserve(out.size() + prefix.size() + static_cast<std::size_t>(plan.size) + extra);
    out.insert(out.end(), prefix.begin(), prefix.end());
    const std::size_t base = out.size();
    writeResourceSection(plan, leaves, baseRva, out);
    if (out.size() - base != plan.size)
        throw EBadImage("the resource section came out different from its plan");
}

} // namespace

std::vector<std::uint8_t> buildResourceSectionFromList(std::span<const ResourceRef> leaves,
                                                       std::uint32_t baseRva) {
    std::vector<std::uint8_t> out;
    appendResourceSection(leaves, baseRva, {}, 0, out);
    return out;
}

namespace {

// The image being edited: its bytes and the header values to write back.
struct Image {
    // Read from the caller's bytes until the first change; then from the
    // copy, made once (a rewrite in place builds its own file instead).
    std::span<const std::uint8_t> source;
    std::vector<std::uint8_t> file;
    bool copied = false;
    PeHeaders h;

    std::span<const std::uint8_t> bytes() const {
        return copied ? std::span<const std::uint8_t>(file) : source;
    }
    std::vector<std::uint8_t>& edit() {
        if (!copied) file.assign(source.begin(), source.end());
        copied = true;
        return file;
    }
    std::vector<std::uint8_t> take() {
        edit();
        return std::move(file);
    }
};

void put32(std::vector<std::uint8_t>& file, std::uint64_t at, std::uint32_t v) {
    storeLE32(file.data() + at, v);
}
void put16(std::vector<std::uint8_t>& file, std::uint64_t at, std::uint16_t v) {
    storeLE16(file.data() + at, v);
}

void writeHeaders(Image& img) {
    auto& f = img.edit();
    const auto& h = img.h;
    put16(f, h.coffOffset + 2, h.numberOfSections);
    put32(f, h.coffOffset + 8, h.pointerToSymbolTable);
    put32(f, h.sizeOfInitializedDataOffset(), h.sizeOfInitializedData);
    put32(f, h.sizeOfImageOffset(), h.sizeOfImage);
    put32(f, h.sizeOfHeadersOffset(), h.sizeOfHeaders);
    for (std::size_t i = 0; i < h.directories.size(); ++i) {
        put32(f, h.dataDirectoryOffset + 8 * i, h.directories[i].rva);
        put32(f, h.dataDirectoryOffset + 8 * i + 4, h.directories[i].size);
    }
    for (std::size_t i = 0; i < h.sections.size(); ++i) {
        const auto& s = h.sections[i];
        const std::uint64_t at = h.sectionTableOffset + kSectionHeaderSize * i;
        std::memcpy(f.data() + at, s.name, 8);
        put32(f, at + 8, s.virtualSize);
        put32(f, at + 12, s.virtualAddress);
        put32(f, at + 16, s.sizeOfRawData);
        put32(f, at + 20, s.pointerToRawData);
        put32(f, at + 24, s.pointerToRelocations);
        put32(f, at + 28, s.pointerToLinenumbers);
        put16(f, at + 32, s.numberOfRelocations);
        put16(f, at + 34, s.numberOfLinenumbers);
        put32(f, at + 36, s.characteristics);
    }
}

// File offset of rva within raw data, if the whole range is there.
std::optional<std::uint64_t> fileOffsetOf(const PeHeaders& h, std::uint64_t rva, std::uint64_t size,
                                          std::uint64_t fileSize) {
    const int index = h.sectionOfRva(rva);
    if (index < 0) return std::nullopt;
    const auto& s = h.sections[static_cast<std::size_t>(index)];
    const std::uint64_t in = rva - s.virtualAddress;
    if (in + size > s.sizeOfRawData || s.pointerToRawData + in + size > fileSize) return std::nullopt;
    return s.pointerToRawData + in;
}

bool directoryIsInHeaders(const PeHeaders& h, std::uint32_t index) {
    const DataDirectory d = h.directory(index);
    return index == kDirBoundImport && d.rva && d.rva < h.sizeOfHeaders;
}

// Debug directory entries: where they are (as an RVA) and the raw data they name.
struct DebugEntry {
    std::uint64_t rva;
    std::uint32_t addressOfRawData;
    std::uint32_t pointerToRawData;
};

std::vector<DebugEntry> readDebugEntries(const Image& img) {
    std::vector<DebugEntry> entries;
    const DataDirectory d = img.h.directory(kDirDebug);
    if (!d.rva || !d.size) return entries;
    const std::uint64_t count = std::min<std::uint64_t>(d.size / kDebugEntrySize, 4096);
    const auto at = fileOffsetOf(img.h, d.rva, count * kDebugEntrySize, img.bytes().size());
    if (!at) return entries;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* p = img.bytes().data() + *at + i * kDebugEntrySize;
        entries.push_back({d.rva + i * kDebugEntrySize, loadLE32(p + 20), loadLE32(p + 24)});
    }
    return entries;
}

// Moves applied to the image: RVAs at or above vaFrom by vaDelta, file offsets
// at or above each raw point by its delta.
struct Shifts {
    std::uint64_t vaFrom = std::numeric_limits<std::uint64_t>::max();
    std::int64_t vaDelta = 0;
    std::vector<std::pair<std::uint64_t, std::int64_t>> raw;

    std::uint64_t rva(std::uint64_t v) const { return v >= vaFrom ? v + vaDelta : v; }
    std::uint64_t offset(std::uint64_t v) const {
        std::int64_t delta = 0;
        for (const auto& [point, d] : raw)
            if (v >= point) delta += d;
        return v + delta;
    }
};

void fixDebugEntries(Image& img, const std::vector<DebugEntry>& before, const Shifts& shifts) {
    for (const DebugEntry& e : before) {
        const auto at = fileOffsetOf(img.h, shifts.rva(e.rva), kDebugEntrySize, img.bytes().size());
        if (!at) continue;
        if (e.addressOfRawData)
            put32(img.edit(), *at + 20, static_cast<std::uint32_t>(shifts.rva(e.addressOfRawData)));
        if (e.pointerToRawData)
            put32(img.edit(), *at + 24, static_cast<std::uint32_t>(shifts.offset(e.pointerToRawData)));
    }
}

std::uint64_t rawEnd(const SectionHeader& s) {
    return std::uint64_t{s.pointerToRawData} + s.sizeOfRawData;
}

void checkEditable(const Image& img) {
    checkImageEditable(img.bytes(), img.h);
}

} // namespace

void checkImageEditable(std::span<const std::uint8_t> file, const PeHeaders& h) {
    if (h.directories.size() <= kDirResource) throw EBadImage("the image has no resource data directory");
    if (h.sizeOfHeaders > file.size()) throw EBadImage("the headers run past the end of the file");
    // Raw data must sit after the section table and not overlap: the writer
    // inserts bytes between sections and must not cut into anything.
    const std::uint64_t tableEnd =
        h.sectionTableOffset + kSectionHeaderSize * std::uint64_t{h.sections.size()};
    if (tableEnd > h.sizeOfHeaders) throw EBadImage("SizeOfHeaders does not cover the section table");
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const auto& s : h.sections) {
        if (!s.sizeOfRawData) continue;
        if (s.pointerToRawData < tableEnd)
            throw EBadImage("section " + s.nameText() + " overlaps the headers");
        ranges.emplace_back(s.pointerToRawData, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
    }
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i)
        if (ranges[i].first < ranges[i - 1].second) throw EBadImage("two sections share raw data");
    std::uint64_t lastVa = 0;
    for (const auto& s : h.sections) {
        if (s.sizeOfRawData && std::uint64_t{s.pointerToRawData} + s.sizeOfRawData > file.size())
            throw EBadImage("section " + s.nameText() + " runs past the end of the file");
        if (s.virtualAddress < lastVa) throw EBadImage("the sections overlap or are out of order");
        lastVa = std::uint64_t{s.virtualAddress} + s.virtualExtent();
    }
}

namespace {

// Where a and the bytes at b first differ, or a.size(). Block by block with
// memcmp: a byte loop over a large section costs several times more.
std::size_t firstDifference(std::span<const std::uint8_t> a, const std::uint8_t* b) {
    constexpr std::size_t kBlock = 4096;
    for (std::size_t at = 0; at < a.size(); at += kBlock) {
        const std::size_t n = std::min(kBlock, a.size() - at);
        if (std::memcmp(a.data() + at, b + at, n) == 0) continue;
        while (a[at] == b[at]) ++at;
        return at;
    }
    return a.size();
}

// The section that holds only the resource directory, or -1.
int resourceSectionOf(const PeHeaders& h) {
    const DataDirectory rd = h.directory(kDirResource);
    if (!rd.rva) return -1;
    const int index = h.sectionOfRva(rd.rva);
    if (index < 0) return -1;
    const auto& s = h.sections[static_cast<std::size_t>(index)];
    if (s.virtualAddress != rd.rva || !s.sizeOfRawData || !s.pointerToRawData) return -1;
    for (std::uint32_t i = 0; i < h.directories.size(); ++i) {
        if (i == kDirResource || i == kDirSecurity || directoryIsInHeaders(h, i)) continue;
        if (h.directories[i].rva && h.sectionOfRva(h.directories[i].rva) == index) return -1;
    }
    // Other sections' raw data must lie wholly before or after it.
    for (std::size_t j = 0; j < h.sections.size(); ++j) {
        const auto& o = h.sections[j];
        if (static_cast<int>(j) == index || !o.sizeOfRawData) continue;
        if (!(rawEnd(o) <= s.pointerToRawData || o.pointerToRawData >= rawEnd(s))) return -1;
    }
    return index;
}

// Whether the sections after `index` can move up in memory: relocations and
// discardable data nothing at run time refers to by address.
bool canMoveSectionsAfter(const Image& img, int index) {
    const auto& h = img.h;
    const std::size_t first = static_cast<std::size_t>(index) + 1;
    const std::uint64_t from = h.sections[first].virtualAddress;
    const DataDirectory reloc = h.directory(kDirBaseReloc);
    for (std::size_t j = first; j < h.sections.size(); ++j) {
        const bool holdsRelocs = reloc.rva && h.sectionOfRva(reloc.rva) == static_cast<int>(j);
        if (!holdsRelocs && !(h.sections[j].characteristics & kScnMemDiscardable)) return false;
    }
    for (std::uint32_t i = 0; i < h.directories.size(); ++i) {
        if (i == kDirBaseReloc || i == kDirDebug || i == kDirSecurity || directoryIsInHeaders(h, i)) continue;
        if (h.directories[i].rva >= from) return false;
    }
    // No relocation may patch the moving sections.
    if (reloc.rva && reloc.size) {
        const auto at = fileOffsetOf(h, reloc.rva, reloc.size, img.bytes().size());
        if (!at) return false;
        ByteReader r(img.bytes().subspan(static_cast<std::size_t>(*at), reloc.size));
        try {
            while (r.remaining() >= 8) {
                const std::uint32_t page = r.u32();
                const std::uint32_t blockSize = r.u32();
                if (blockSize < 8) return false;
                if (page + std::uint64_t{4096} > from) return false;
                r.skip(blockSize - 8);
            }
        } catch (const ETruncatedData&) {
            return false;
        }
    }
    return true;
}

// VirtualSize for the resource section: the data's size, or up to the next
// section when the data alone would leave a gap (the loader wants sections
// contiguous).
std::uint32_t resourceVirtualSize(const PeHeaders& h, std::size_t index, std::uint64_t dataSize) {
    const auto& s = h.sections[index];
    if (index + 1 >= h.sections.size()) return static_cast<std::uint32_t>(dataSize);
    const std::uint64_t nextVa = h.sections[index + 1].virtualAddress;
    if (alignUp(s.virtualAddress + dataSize, h.sectionAlignment) >= nextVa)
        return static_cast<std::uint32_t>(dataSize);
    return static_cast<std::uint32_t>(nextVa - s.virtualAddress);
}

void finish(Image& img, std::uint32_t oldCheckSum) {
    auto& h = img.h;
    std::uint64_t end = 0;
    for (const auto& s : h.sections) end = std::max(end, std::uint64_t{s.virtualAddress} + s.virtualExtent());
    h.sizeOfImage = static_cast<std::uint32_t>(alignUp(end, h.sectionAlignment));
    writeHeaders(img);
    if (oldCheckSum) put32(img.edit(), h.checkSumOffset(), computeCheckSum(img.bytes(), h.checkSumOffset()));
}

// The move, in whole FileAlignment units, of the bytes after a section
// whose raw size goes from oldRaw to newRaw: the smallest that makes room.
std::int64_t alignedDelta(std::uint64_t newRaw, std::uint64_t oldRaw, std::uint64_t fa) {
    if (newRaw >= oldRaw) return static_cast<std::int64_t>(alignUp(newRaw - oldRaw, fa));
    return -static_cast<std::int64_t>((oldRaw - newRaw) / fa * fa);
}

void insertBytes(std::vector<std::uint8_t>& file, std::uint64_t at, std::span<const std::uint8_t> bytes) {
    file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
}

// Grows or shrinks the resource section in place, moving what follows.
// built: the file up to the section's raw data, then the new section.
bool rewriteInPlace(Image& img, int index, std::vector<std::uint8_t>& built) {
    auto& h = img.h;
    const std::size_t si = static_cast<std::size_t>(index);
    SectionHeader& s = h.sections[si];
    const std::span<const std::uint8_t> blob =
        std::span<const std::uint8_t>(built).subspan(s.pointerToRawData);
    const std::uint64_t newRaw = alignUp(blob.size(), h.fileAlignment);

    Shifts shifts;
    if (si + 1 < h.sections.size()) {
        const std::uint64_t nextVa = h.sections[si + 1].virtualAddress;
        const std::uint64_t needed =
            alignUp(std::uint64_t{s.virtualAddress} + blob.size(), h.sectionAlignment);
        if (needed > nextVa) {
            if (!canMoveSectionsAfter(img, index)) return false;
            shifts.vaFrom = nextVa;
            shifts.vaDelta = static_cast<std::int64_t>(needed - nextVa);
            const std::uint64_t lastEnd =
                std::uint64_t{h.sections.back().virtualAddress} + h.sections.back().virtualExtent();
            if (lastEnd + shifts.vaDelta > 0xFFFFFFFFu) return false;
        }
    }
    // What follows moves by a whole number of FileAlignment units, so the
    // sections after stay aligned even when the old SizeOfRawData was not;
    // the gap this may leave after the new raw data is zeros.
    const std::uint64_t oldEnd = rawEnd(s);
    const std::int64_t rawDelta = alignedDelta(newRaw, s.sizeOfRawData, h.fileAlignment);
    shifts.raw.emplace_back(oldEnd, rawDelta);
    const auto debug = readDebugEntries(img);

    // Everything before the section is in built already (bytes a certificate
    // removal cannot have touched: it only cuts past the last section).
    const std::uint64_t blobSize = blob.size();
    const auto source = img.bytes();
    built.resize(static_cast<std::size_t>(static_cast<std::int64_t>(oldEnd) + rawDelta), 0);
    built.insert(built.end(), source.begin() + static_cast<std::ptrdiff_t>(oldEnd), source.end());
    img.file = std::move(built);
    img.copied = true;

    if (s.characteristics & kScnInitializedData)
        h.sizeOfInitializedData =
            static_cast<std::uint32_t>(h.sizeOfInitializedData + newRaw - s.sizeOfRawData);
    s.sizeOfRawData = static_cast<std::uint32_t>(newRaw);
    for (std::size_t j = 0; j < h.sections.size(); ++j) {
        if (j == si) continue;
        auto& o = h.sections[j];
        if (o.sizeOfRawData && o.pointerToRawData >= oldEnd)
            o.pointerToRawData = static_cast<std::uint32_t>(shifts.offset(o.pointerToRawData));
        if (j > si) o.virtualAddress = static_cast<std::uint32_t>(shifts.rva(o.virtualAddress));
    }
    if (h.pointerToSymbolTable)
        h.pointerToSymbolTable = static_cast<std::uint32_t>(shifts.offset(h.pointerToSymbolTable));
    for (std::uint32_t i = 0; i < h.directories.size(); ++i) {
        auto& d = h.directories[i];
        if (i == kDirResource) {
            d = {s.virtualAddress, static_cast<std::uint32_t>(blobSize)};
        } else if (d.rva && i != kDirSecurity && !directoryIsInHeaders(h, i)) {
            d.rva = static_cast<std::uint32_t>(shifts.rva(d.rva));
        }
    }
    s.virtualSize = resourceVirtualSize(h, si, blobSize);
    fixDebugEntries(img, debug, shifts);
    return true;
}

// The section the resources left keeps its bytes; an unaligned raw size is
// rounded up to FileAlignment, as the loader reads it, when the bytes that
// adds are there and no other section's. Done after the new section went in:
// a raw size rounded before would have put it inside bytes that follow.
void alignAbandonedSection(Image& img, std::size_t index) {
    auto& h = img.h;
    SectionHeader& s = h.sections[index];
    const std::uint64_t aligned = alignUp(s.sizeOfRawData, h.fileAlignment);
    if (aligned == s.sizeOfRawData) return;
    const std::uint64_t end = std::uint64_t{s.pointerToRawData} + aligned;
    if (end > img.bytes().size()) return;
    for (std::size_t j = 0; j < h.sections.size(); ++j) {
        const auto& o = h.sections[j];
        if (j != index && o.sizeOfRawData && o.pointerToRawData >= s.pointerToRawData &&
            o.pointerToRawData < end)
            return;
    }
    if (s.characteristics & kScnInitializedData)
        h.sizeOfInitializedData =
            static_cast<std::uint32_t>(h.sizeOfInitializedData + aligned - s.sizeOfRawData);
    s.sizeOfRawData = static_cast<std::uint32_t>(aligned);
}

// Puts the resources into a new last section.
void appendSection(Image& img, std::span<const ResourceRef> list) {
    auto& h = img.h;
    const std::uint64_t fa = h.fileAlignment;
    const auto debug = readDebugEntries(img);
    Shifts shifts;

    // Room for one more section header.
    const std::uint64_t tableEnd = h.sectionTableOffset + kSectionHeaderSize * h.sections.size();
    std::uint64_t firstRaw = img.bytes().size();
    std::uint64_t firstVa = std::numeric_limits<std::uint64_t>::max();
    for (const auto& s : h.sections) {
        if (s.sizeOfRawData) firstRaw = std::min<std::uint64_t>(firstRaw, s.pointerToRawData);
        firstVa = std::min<std::uint64_t>(firstVa, s.virtualAddress);
    }
    const std::uint64_t neededHeaders = alignUp(tableEnd + kSectionHeaderSize, fa);
    if (neededHeaders > firstVa) throw EBadImage("there is no room for another section header");
    if (directoryIsInHeaders(h, kDirBoundImport) &&
        h.directory(kDirBoundImport).rva < tableEnd + kSectionHeaderSize)
        h.directories[kDirBoundImport] = {}; // stale once the headers change; the loader does without
    if (neededHeaders > firstRaw) {
        const std::uint64_t grow = alignUp(neededHeaders - firstRaw, fa);
        const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(grow), 0);
        insertBytes(img.edit(), firstRaw, zeros);
        shifts.raw.emplace_back(firstRaw, static_cast<std::int64_t>(grow));
        for (auto& s : h.sections)
            if (s.sizeOfRawData) s.pointerToRawData = static_cast<std::uint32_t>(s.pointerToRawData + grow);
    }
    h.sizeOfHeaders = static_cast<std::uint32_t>(std::max<std::uint64_t>(h.sizeOfHeaders, neededHeaders));
    std::fill(img.edit().begin() + static_cast<std::ptrdiff_t>(tableEnd),
              img.edit().begin() + static_cast<std::ptrdiff_t>(tableEnd + kSectionHeaderSize), 0);

    // The loader wants the new section right where the last one ends in
    // memory, and its raw data after every byte the file has.
    std::uint64_t va = 0, lastRaw = h.sizeOfHeaders;
    for (const auto& s : h.sections) {
        va = std::max(va, alignUp(std::uint64_t{s.virtualAddress} + s.virtualExtent(), h.sectionAlignment));
        if (s.sizeOfRawData) lastRaw = std::max(lastRaw, rawEnd(s));
    }
    // Raw data past a section's virtual size is never mapped, but a reader
    // that goes by the raw size would take the new section's addresses for
    // that section's: its raw size ends where the new section begins. The
    // bytes stay in the file, before the new raw data.
    for (auto& s : h.sections) {
        if (std::uint64_t{s.virtualAddress} + s.sizeOfRawData <= va) continue;
        const std::uint64_t kept = va - s.virtualAddress;
        const std::uint64_t cut = s.sizeOfRawData - kept;
        if ((s.characteristics & kScnInitializedData) && cut <= h.sizeOfInitializedData)
            h.sizeOfInitializedData = static_cast<std::uint32_t>(h.sizeOfInitializedData - cut);
        s.sizeOfRawData = static_cast<std::uint32_t>(kept);
    }
    const std::vector<std::uint8_t> blob = buildResourceSectionFromList(list, static_cast<std::uint32_t>(va));
    const std::uint64_t raw = alignUp(blob.size(), fa);
    const std::uint64_t pointer = alignUp(lastRaw, fa);
    if (va + blob.size() > 0xFFFFFFFFu || pointer + raw > 0xFFFFFFFFu)
        throw EBadImage("the image would grow too large");

    std::vector<std::uint8_t> insert(static_cast<std::size_t>(pointer - lastRaw), 0);
    insert.insert(insert.end(), blob.begin(), blob.end());
    insert.resize(static_cast<std::size_t>(pointer - lastRaw + raw), 0);
    insertBytes(img.edit(), lastRaw, insert);
    // Offsets recorded before the header growth are compared in those coordinates.
    const std::uint64_t lastRawBefore = lastRaw - (shifts.raw.empty() ? 0 : shifts.raw.front().second);
    shifts.raw.emplace_back(lastRawBefore, static_cast<std::int64_t>(insert.size()));

    SectionHeader s;
    std::memcpy(s.name, ".rsrc\0\0", 8);
    s.virtualSize = static_cast<std::uint32_t>(blob.size());
    s.virtualAddress = static_cast<std::uint32_t>(va);
    s.sizeOfRawData = static_cast<std::uint32_t>(raw);
    s.pointerToRawData = static_cast<std::uint32_t>(pointer);
    s.characteristics = kScnInitializedData | kScnMemRead;
    h.sections.push_back(s);
    h.numberOfSections = static_cast<std::uint16_t>(h.sections.size());
    h.sizeOfInitializedData = static_cast<std::uint32_t>(h.sizeOfInitializedData + raw);
    h.directories[kDirResource] = {s.virtualAddress, s.virtualSize};
    if (h.pointerToSymbolTable)
        h.pointerToSymbolTable = static_cast<std::uint32_t>(shifts.offset(h.pointerToSymbolTable));
    fixDebugEntries(img, debug, shifts);
}

} // namespace

std::vector<std::uint8_t> replaceResources(std::span<const std::uint8_t> input, const ResourceTree& tree) {
    return replaceResourcesFromList(input, listOf(tree));
}

std::vector<std::uint8_t> replaceResourcesFromList(std::span<const std::uint8_t> input,
                                                   std::span<const ResourceRef> list,
                                                   std::uint64_t* changedAt) {
    Image img{input, {}, false, parseHeaders(input)};
    checkEditable(img);
    const std::uint32_t oldCheckSum = img.h.checkSum;

    // The section of the resources, if it holds nothing else, and their new
    // bytes for the section's address.
    const int index = resourceSectionOf(img.h);
    std::vector<std::uint8_t> built; // the file up to the section, then the new section
    std::span<const std::uint8_t> blob;
    if (index >= 0) {
        const auto& s = img.h.sections[static_cast<std::size_t>(index)];
        const auto source = img.bytes();
        appendResourceSection(list, s.virtualAddress, source.first(s.pointerToRawData),
                              static_cast<std::size_t>(source.size() - rawEnd(s) + img.h.fileAlignment),
                              built);
        blob = std::span<const std::uint8_t>(built).subspan(s.pointerToRawData);
    }

    // Unchanged resources leave the file alone (a signature stays valid).
    {
        if (index >= 0) {
            const auto& s = img.h.sections[static_cast<std::size_t>(index)];
            if (img.h.directory(kDirResource).size == blob.size() &&
                s.virtualSize == resourceVirtualSize(img.h, static_cast<std::size_t>(index), blob.size()) &&
                s.sizeOfRawData == alignUp(blob.size(), img.h.fileAlignment)) {
                const std::size_t differs = firstDifference(blob, img.bytes().data() + s.pointerToRawData);
                if (differs == blob.size()) return img.take();
                if (changedAt) *changedAt = s.pointerToRawData + std::uint64_t{differs};
            }
        } else if (list.empty() && !img.h.directory(kDirResource).rva) {
            return img.take();
        }
    }

    // A certificate table cannot stay valid: remove it and its bytes.
    const DataDirectory cert = img.h.directory(kDirSecurity);
    if (cert.rva || cert.size) {
        std::uint64_t lastRaw = img.h.sizeOfHeaders;
        for (const auto& s : img.h.sections)
            if (s.sizeOfRawData) lastRaw = std::max(lastRaw, rawEnd(s));
        const std::uint64_t start = cert.rva, end = start + cert.size;
        if (start >= lastRaw && end <= img.bytes().size())
            img.edit().erase(img.edit().begin() + static_cast<std::ptrdiff_t>(start),
                             img.edit().begin() + static_cast<std::ptrdiff_t>(end));
        img.h.directories[kDirSecurity] = {};
    }

    if (index < 0 && list.empty()) {
        img.h.directories[kDirResource] = {};
    } else if (index < 0 || !rewriteInPlace(img, index, built)) {
        appendSection(img, list);
        if (index >= 0) alignAbandonedSection(img, static_cast<std::size_t>(index));
    }
    finish(img, oldCheckSum);
    return img.take();
}

} // namespace pakforge::pe
