#include "container/VxStreamCol.h"

#include "container/VxStreamRoutines.h"
#include "core/ByteIO.h"
#include "core/Exceptions.h"
#include "core/Utf16.h"

#include <algorithm>
#include <cstring>

namespace pakforge {

TVxStreams::TVxStreams(void* owner) : owner_(owner) {}

TVxStreams::~TVxStreams() {
    Clear();
}

void TVxStreams::Clear() {
    Items.clear();
}

void TVxStreams::RaiseCorrupt() {
    if (OnCorrupt) OnCorrupt(this);
    throw ECorruptFile(kFileIsCorrupt);
}

void TVxStreams::CheckSignature(const MemoryStream& stream) {
    const auto bytes = stream.bytes();
    if (bytes.size() < sizeof kContainerSignature ||
        std::memcmp(bytes.data(), kContainerSignature, sizeof kContainerSignature) != 0)
        RaiseCorrupt();
}

void TVxStreams::LoadFromFile(const std::filesystem::path& fileName, FileStream::Share share) {
    FileStream file(fileName, FileStream::Mode::OpenRead, share);
    LoadFromStream(file);
}

void TVxStreams::LoadFromStream(Stream& source) {
    std::u16string password = Key;
    MemoryStream payload;
    MemoryStream body;

    source.setPosition(0);
    const std::int64_t size = source.size();
    std::uint8_t marks[2] = {0, 0};
    if (size < 2 || source.read(marks, 2) != 2) RaiseCorrupt();
    const bool compressed = marks[0] == kCompressedMark;
    const bool encrypted = marks[1] == kEncryptedMark;
    if (size > 2) payload.copyFrom(source, size - 2);
    payload.setPosition(0);

    if (encrypted) {
        if (OnAskForKey) password = OnAskForKey(this);
        bool failed = false;
        try {
            DecryptStream(payload, password);
        } catch (...) {
            failed = true;
        }
        if (failed) RaiseCorrupt();
    }

    if (!compressed) CheckSignature(payload);

    payload.setPosition(0);
    if (compressed) {
        bool failed = false;
        try {
            DecompressStream(payload, body, MaxBodySize);
        } catch (...) {
            failed = true;
        }
        if (failed) RaiseCorrupt();
        payload.clear();
    } else if (payload.size() > MaxBodySize) {
        RaiseCorrupt();
    }

    ReadItems(compressed ? body : payload);

    Key = std::move(password);
    Compressed = compressed;
    Encrypted = encrypted;
}

void TVxStreams::ReadItems(const MemoryStream& body) {
    CheckSignature(body);
    Clear();

    ByteReader reader(body.bytes());
    reader.seek(sizeof kContainerSignature);
    // A field cut off by the end of the body cannot come from a writer: the
    // file is corrupt. Item data that runs short is a read error.
    const auto field = [&](auto read) {
        try {
            return read();
        } catch (const ETruncatedData&) {
            RaiseCorrupt();
        }
    };
    const std::int32_t count = field([&] { return reader.i32(); });
    for (std::int32_t n = 0; n < count; ++n) {
        const std::uint16_t nameBytes = field([&] { return reader.u16(); });
        std::u16string name = field([&] {
            std::u16string text = reader.utf16(nameBytes / 2);
            reader.skip(nameBytes % 2);
            return text;
        });
        const std::int32_t dataSize = field([&] { return reader.i32(); });
        if (dataSize < 0) RaiseCorrupt();
        auto data = std::make_unique<MemoryStream>();
        if (dataSize != 0) {
            if (!reader.canRead(static_cast<std::uint64_t>(dataSize))) throw EReadError(kStreamReadError);
            data->writeBytes(reader.bytes(static_cast<std::uint64_t>(dataSize)));
            data->setPosition(0);
        }
        AddItem(std::move(name), std::move(data));
    }
}

std::ptrdiff_t TVxStreams::Find(std::u16string_view name) const {
    const auto it =
        std::lower_bound(Items.begin(), Items.end(), name, [](const Entry& e, std::u16string_view n) {
            return compareTextIgnoreCase(e.first, n) < 0;
        });
    if (it == Items.end() || compareTextIgnoreCase(it->first, name) != 0) return -1;
    return it - Items.begin();
}

void TVxStreams::AddItem(std::u16string name, std::unique_ptr<MemoryStream> data) {
    const auto it =
        std::lower_bound(Items.begin(), Items.end(), name, [](const Entry& e, const std::u16string& n) {
            return compareTextIgnoreCase(e.first, n) < 0;
        });
    if (it != Items.end() && compareTextIgnoreCase(it->first, name) == 0) return; // first one stays
    Items.emplace(it, std::move(name), std::move(data));
}

void TVxStreams::GetStream(std::u16string_view name, Stream& destination) const {
    if (name.empty()) return;
    const auto index = Find(name);
    if (index >= 0) {
        const auto bytes = Items[static_cast<std::size_t>(index)].second->bytes();
        destination.writeBuffer(bytes.data(), bytes.size());
    }
    destination.setPosition(0);
}

std::vector<TVxItemInfo> TVxStreams::ItemInfos() const {
    std::vector<TVxItemInfo> infos;
    infos.reserve(Items.size());
    for (const auto& [name, data] : Items) infos.push_back({name, data->size()});
    return infos;
}

} // namespace pakforge
