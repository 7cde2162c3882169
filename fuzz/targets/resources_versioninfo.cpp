// Version blocks: parse, look up, write back, parse again.
#include "resources/unitResourceVersionInfo.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pakforge;
    try {
        const TVersionInfoBlock block(std::span<const std::uint8_t>(data, size));
        (void)block.Query(u"\\");
        (void)block.QueryString(u"\\StringFileInfo\\040904B0\\ProductVersion");
        (void)block.Translations();
        (void)block.StringTables();
        (void)block.StringValue(u"ProductVersion");
        try {
            (void)block.FixedFileInfo();
        } catch (const EVersionInfoError&) {
        }
        std::vector<std::uint8_t> written;
        try {
            written = WriteVersionBlock(block.Root);
        } catch (const EVersionInfoError&) {
            return 0;
        }
        // What we wrote must read back to the same tree.
        const TVersionInfoBlock again(written);
        if (WriteVersionBlock(again.Root) != written) std::abort();
    } catch (const EVersionInfoError&) {
    }
    return 0;
}
