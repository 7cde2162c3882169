// PE resource reader and writer: every input is read; readable ones are
// rewritten with their own resources plus one more, and the result must read
// back as exactly that set. An input the layout validator accepts must give
// an output it accepts (low-alignment images aside: the writer does not lay
// those out, and the save refuses what comes out of them).
#include "core/Exceptions.h"
#include "resources/pe/PeImage.h"
#include "resources/pe/ResourceWriter.h"

#include <cstdint>
#include <cstdlib>
#include <span>

using namespace pakforge::pe;

namespace {

ResourceTree readTree(std::span<const std::uint8_t> file) {
    const PeHeaders headers = parseHeaders(file);
    ResourceTree tree;
    forEachResource(file, headers, [&](const ResourceEntry& e) {
        tree[e.type][e.name][e.language].assign(e.data.begin(), e.data.end());
    });
    return tree;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    const std::span<const std::uint8_t> input(data, size);
    const bool loaderValid = validateLayout(input).empty();
    ResourceTree tree;
    try {
        tree = readTree(input);
    } catch (const pakforge::Exception&) {
        return 0;
    }
    for (bool grow : {false, true}) {
        if (grow) tree[ResId::named(u"FUZZ")][ResId::number(1)][0].assign(3000, 0x5A);
        std::vector<std::uint8_t> out;
        try {
            out = replaceResources(input, tree);
        } catch (const pakforge::Exception&) {
            continue; // refusing to edit is fine
        }
        // What we wrote we must be able to read, and it must be what we meant.
        if (readTree(out) != tree) std::abort();
        if (loaderValid && parseHeaders(input).sectionAlignment >= 4096 && !validateLayout(out).empty())
            std::abort();
    }
    return 0;
}
