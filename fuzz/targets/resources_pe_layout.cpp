// PE writer against the layout validator: the input bytes describe a PE image
// (alignments, sections and their raw and virtual sizes, where the resources
// and relocations sit, a debug directory, an overlay, room for headers) and
// a change to its resources. Every image built that the validator accepts,
// and the same image with its resource section's SizeOfRawData cut to an
// unaligned size, must come out of the writer as an image the validator
// accepts holding exactly the new resources, or be refused with an exception.
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <span>
#include <string>
#include <vector>

using namespace pakforge;
using namespace pakforge::pe;

namespace {

// The fuzz input read as numbers; zeros once it runs out.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Section {
    enum Kind { Plain, Resources, Relocations } kind = Plain;
    std::uint32_t virtualSize = 0;
    std::uint32_t extraRaw = 0; // FileAlignment units of raw data past alignUp(VirtualSize)
    bool noRaw = false;         // uninitialized data
    bool halfRaw = false;       // raw data for half the virtual size
    std::uint32_t characteristics = 0;
    std::vector<std::uint8_t> content;
};

struct Shape {
    bool pe32Plus = false, checkSum = false, debug = false, cutResources = false;
    std::uint32_t fileAlignment = 0x200, sectionAlignment = 0x1000, headerRoom = 0;
    std::vector<Section> sections;
    std::vector<std::uint8_t> overlay;
    ResourceTree resources;
};

ResId typeFrom(std::uint8_t v) {
    return v >= 0xF0 ? ResId::named(u"T" + std::u16string(1, static_cast<char16_t>(u'A' + (v & 15))))
                     : ResId::number(v % 24 + 1);
}
ResId nameFrom(std::uint16_t v) {
    return (v & 0x8000) ? ResId::named(u"N" + std::u16string(1, static_cast<char16_t>(u'A' + (v & 31))))
                        : ResId::number(v & 0x7FFF);
}
std::vector<std::uint8_t> bytesOf(Input& in) {
    const std::uint16_t v = in.u16();
    // Mostly small; the top bit asks for a large one that moves what follows.
    const std::size_t size = (v & 0x8000) ? (v & 0x7FFF) * 8u : (v & 0x7FF);
    return std::vector<std::uint8_t>(size, static_cast<std::uint8_t>(v));
}

Shape readShape(Input& in) {
    Shape s;
    const std::uint8_t flags = in.u8();
    s.pe32Plus = flags & 1;
    s.checkSum = flags & 2;
    s.debug = flags & 8;
    s.cutResources = flags & 16;
    const bool hasRelocations = flags & 64, hasResources = flags & 128;
    const std::uint8_t alignments = in.u8();
    s.fileAlignment = 0x200u << (alignments & 3);
    s.sectionAlignment = std::max(s.fileAlignment, 0x1000u << (((alignments >> 2) & 3) % 3));
    s.headerRoom = (flags & 4) ? (alignments >> 4) : 0;
    const int plain = 1 + in.u8() % 6;
    for (int i = 0; i < plain; ++i) {
        Section p;
        p.virtualSize = 1 + in.u16();
        const std::uint8_t kind = in.u8();
        p.noRaw = (kind & 3) == 1 && i > 0;
        p.extraRaw = (kind & 3) == 2 ? 1 + ((kind >> 2) & 7) : 0;
        p.halfRaw = (kind & 3) == 3;
        p.characteristics = i == 0 ? 0x60000020 : (p.noRaw ? 0xC0000080 : 0xC0000040);
        if (kind & 0x40) p.characteristics |= kScnMemDiscardable;
        p.content.assign(p.noRaw ? 0 : p.virtualSize, static_cast<std::uint8_t>(kind));
        s.sections.push_back(p);
    }
    const int count = in.u8() % 12;
    for (int i = 0; i < count; ++i) {
        const ResId type = typeFrom(in.u8());
        const ResId name = nameFrom(in.u16());
        const std::uint16_t language = in.u8();
        s.resources[type][name][language] = bytesOf(in);
    }
    if (hasResources) {
        Section r;
        r.kind = Section::Resources;
        r.characteristics = kScnInitializedData | kScnMemRead;
        const std::size_t at = 1 + in.u8() % s.sections.size();
        s.sections.insert(s.sections.begin() + static_cast<std::ptrdiff_t>(at), r);
    }
    if (hasRelocations) {
        Section r;
        r.kind = Section::Relocations;
        r.characteristics = 0x42000040;
        s.sections.push_back(r);
    }
    if (flags & 32) s.overlay.assign(in.u16() % 5000, 0xAB);
    return s;
}

// The image the shape describes, or empty if it cannot be built.
std::vector<std::uint8_t> build(Shape shape, bool cutResources) {
    const std::uint32_t fa = shape.fileAlignment, sa = shape.sectionAlignment;
    const std::uint32_t optSize = shape.pe32Plus ? 0xF0 : 0xE0;
    const std::size_t count = shape.sections.size();
    const std::uint64_t table = 0x40 + 4 + 20 + optSize;
    const std::uint64_t headers = alignUp(table + kSectionHeaderSize * (count + shape.headerRoom), fa);
    if (headers > sa) return {};
    std::vector<std::uint64_t> va(count), ptr(count), raw(count);
    std::uint64_t nextVa = alignUp(headers, sa), nextPtr = headers;
    for (std::size_t i = 0; i < count; ++i) {
        Section& s = shape.sections[i];
        va[i] = nextVa;
        if (s.kind == Section::Resources) {
            s.content = buildResourceSection(shape.resources, static_cast<std::uint32_t>(va[i]));
            s.virtualSize = static_cast<std::uint32_t>(s.content.size());
        } else if (s.kind == Section::Relocations) {
            // Two relocations in the first page of the first section.
            s.content = {0, 0, 0, 0, 12, 0, 0, 0, 4, 0x30, 8, 0x30};
            storeLE32(s.content.data(), static_cast<std::uint32_t>(va[0]));
            if (shape.pe32Plus) s.content[9] = s.content[11] = 0xA0;
            s.virtualSize = static_cast<std::uint32_t>(s.content.size());
        }
        raw[i] =
            s.noRaw ? 0 : alignUp(s.halfRaw ? s.virtualSize / 2 + 1 : s.virtualSize, fa) + s.extraRaw * fa;
        if (cutResources && s.kind == Section::Resources) raw[i] = s.virtualSize;
        ptr[i] = raw[i] ? nextPtr : 0;
        nextPtr = alignUp(nextPtr + raw[i], fa);
        nextVa = alignUp(va[i] + s.virtualSize, sa);
    }
    if (nextVa > 0x7FFFFFFF) return {};
    std::vector<std::uint8_t> out(static_cast<std::size_t>(headers), 0);
    auto put16 = [&](std::size_t at, std::uint64_t v) {
        storeLE16(out.data() + at, static_cast<std::uint16_t>(v));
    };
    auto put32 = [&](std::size_t at, std::uint64_t v) {
        storeLE32(out.data() + at, static_cast<std::uint32_t>(v));
    };
    out[0] = 'M', out[1] = 'Z';
    put32(0x3C, 0x40);
    put32(0x40, 0x00004550);
    const std::size_t coff = 0x44, opt = coff + 20;
    put16(coff, shape.pe32Plus ? 0x8664 : 0x14C);
    put16(coff + 2, count);
    put16(coff + 16, optSize);
    put16(coff + 18, shape.pe32Plus ? 0x0022 : 0x0102);
    put16(opt, shape.pe32Plus ? 0x20B : 0x10B);
    put32(opt + 16, va[0]);
    put32(opt + 32, sa);
    put32(opt + 36, fa);
    put16(opt + 40, 4), put16(opt + 48, 4);
    put32(opt + 56, nextVa);
    put32(opt + 60, headers);
    put16(opt + 68, 3);
    const std::size_t dirs = opt + (shape.pe32Plus ? 112 : 96);
    put32(dirs - 4, 16);
    for (std::size_t i = 0; i < count; ++i) {
        const Section& s = shape.sections[i];
        if (s.kind == Section::Resources) put32(dirs + 16, va[i]), put32(dirs + 20, s.virtualSize);
        if (s.kind == Section::Relocations) put32(dirs + 40, va[i]), put32(dirs + 44, s.virtualSize);
        const std::size_t at = table + kSectionHeaderSize * i;
        const std::string name = s.kind == Section::Resources     ? ".rsrc"
                                 : s.kind == Section::Relocations ? ".reloc"
                                                                  : ".s" + std::to_string(i);
        std::copy(name.begin(), name.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
        put32(at + 8, s.virtualSize), put32(at + 12, va[i]), put32(at + 16, raw[i]), put32(at + 20, ptr[i]);
        put32(at + 36, s.characteristics);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!raw[i]) continue;
        out.resize(static_cast<std::size_t>(ptr[i]), 0);
        const auto& c = shape.sections[i].content;
        out.insert(out.end(), c.begin(),
                   c.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(c.size(), raw[i])));
        out.resize(static_cast<std::size_t>(ptr[i] + raw[i]), 0);
    }
    out.resize(static_cast<std::size_t>(alignUp(out.size(), fa)), 0);
    // A debug entry in the first data section naming bytes of the last section.
    if (shape.debug && count > 1 && shape.sections[1].kind == Section::Plain && raw[1] >= 28 &&
        raw[count - 1] >= 16) {
        std::uint8_t* e = out.data() + ptr[1];
        std::fill(e, e + 28, 0);
        storeLE32(e + 12, 2), storeLE32(e + 16, 8);
        storeLE32(e + 20, static_cast<std::uint32_t>(va[count - 1] + 4));
        storeLE32(e + 24, static_cast<std::uint32_t>(ptr[count - 1] + 4));
        put32(dirs + 48, va[1]), put32(dirs + 52, 28);
    }
    out.insert(out.end(), shape.overlay.begin(), shape.overlay.end());
    if (shape.checkSum) put32(opt + 64, computeCheckSum(out, static_cast<std::uint32_t>(opt + 64)));
    return out;
}

ResourceTree readTree(std::span<const std::uint8_t> file) {
    ResourceTree tree;
    forEachResource(file, parseHeaders(file), [&](const ResourceEntry& e) {
        tree[e.type][e.name][e.language].assign(e.data.begin(), e.data.end());
    });
    return tree;
}

// The change: add, remove or resize a few resources.
ResourceTree changed(ResourceTree tree, Input& in) {
    const int ops = in.u8() % 6;
    for (int i = 0; i < ops; ++i) {
        const std::uint8_t op = in.u8();
        const ResId type = typeFrom(in.u8());
        const ResId name = nameFrom(in.u16());
        const std::uint16_t language = in.u8();
        if (op % 2 == 0 || tree.empty()) {
            tree[type][name][language] = bytesOf(in);
        } else {
            // Remove or resize the first resource of some type.
            auto it = tree.begin();
            std::advance(it, in.u8() % tree.size());
            auto& names = it->second;
            auto& languages = names.begin()->second;
            if (op % 4 == 1) {
                languages.erase(languages.begin());
                if (languages.empty()) names.erase(names.begin());
                if (names.empty()) tree.erase(it);
            } else {
                languages.begin()->second = bytesOf(in);
            }
        }
    }
    return tree;
}

[[noreturn]] void fail(const char* what, const std::vector<std::string>& problems) {
    std::fprintf(stderr, "%s\n", what);
    for (const auto& p : problems) std::fprintf(stderr, "  %s\n", p.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const Shape shape = readShape(in);
    const ResourceTree wanted = changed(shape.resources, in);
    const auto image = build(shape, false);
    if (image.empty() || !validateLayout(image).empty()) return 0; // not an image the loader takes
    const auto input = shape.cutResources ? build(shape, true) : image;
    if (shape.cutResources && input.empty()) return 0;

    std::vector<std::uint8_t> out;
    try {
        out = replaceResources(input, wanted);
    } catch (const Exception&) {
        return 0; // refusing to edit is fine
    }
    if (const auto problems = validateLayout(out); !problems.empty())
        fail("the writer made an image the loader would refuse:", problems);
    if (readTree(out) != wanted) fail("the image does not hold the resources written", {});
    return 0;
}
