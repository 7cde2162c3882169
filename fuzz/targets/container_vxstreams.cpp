// TVxStreams::LoadFromStream on arbitrary files. The first byte picks how the
// component is set up (no key, a key, or a key from OnAskForKey); the rest is
// the file.
#include "container/VxStreamCol.h"
#include "core/Exceptions.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    std::vector<std::uint8_t> file(data + 1, data + size);

    pakforge::TVxStreams streams;
    streams.MaxBodySize = 1 << 18; // keep noise sizes from exhausting memory
    int corrupt = 0;
    streams.OnCorrupt = [&](pakforge::TVxStreams*) { ++corrupt; };
    switch (mode % 3) {
    case 0:
        break;
    case 1:
        streams.Key = u"rqzvmtpxw4b7";
        break;
    case 2:
        streams.OnAskForKey = [](pakforge::TVxStreams*) { return std::u16string(u"fuzz"); };
        break;
    }
    pakforge::MemoryStream stream(std::move(file));
    try {
        streams.LoadFromStream(stream);
        for (const auto& info : streams.ItemInfos()) {
            pakforge::MemoryStream out;
            streams.GetStream(info.name, out);
            if (!info.name.empty() && out.size() != info.size) std::abort();
        }
    } catch (const pakforge::ECorruptFile&) {
        if (corrupt != 1) std::abort();
    } catch (const pakforge::EReadError&) {
        if (corrupt != 0) std::abort();
    }
    return 0;
}
