// PE resource reader and writer: every input is read; readable ones are
// rewritten with their own resources plus one more, and the result must read
// back as exactly that set.
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
    (void)validateLayout(input);
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
    }
    return 0;
}
