// Our encoder's output must decode to its input, the same output cut by a
// byte must be refused, and a whole container must load back, for any data.
#include "container/VxStreamCol.h"
#include "container/VxStreamRoutines.h"
#include "container/VxStreamWriter.h"
#include "core/Exceptions.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> input(data, data + size);
    const auto payload = pakforge::compressPayload(input);
    pakforge::MemoryStream source(payload), destination;
    pakforge::DecompressStream(source, destination);
    if (destination.vector() != input) std::abort();

    // The writer leaves no spare byte, so a cut stream always runs short.
    if (payload.size() > 4 && !input.empty()) {
        pakforge::MemoryStream cut(std::vector<std::uint8_t>(payload.begin(), payload.end() - 1));
        pakforge::MemoryStream ignored;
        try {
            pakforge::DecompressStream(cut, ignored);
            std::abort();
        } catch (const pakforge::ECorruptFile&) {
        }
    }

    if (size > 0 && data[0] % 4 == 0) {
        const std::u16string key = u"round trip";
        pakforge::TVxStreams streams;
        streams.Key = key;
        pakforge::MemoryStream file(pakforge::buildContainer({{u"exe", input}}, true, &key));
        streams.LoadFromStream(file);
        pakforge::MemoryStream out;
        streams.GetStream(u"exe", out);
        if (out.vector() != input) std::abort();
    }
    return 0;
}
