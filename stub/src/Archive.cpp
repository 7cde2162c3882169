#include "Archive.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

namespace stub {
namespace {

constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kLocalFixed = 30;
constexpr uint32_t kCentralFixed = 46;
constexpr uint32_t kEndSize = 22;
// Signing tools pad the file to a multiple of 8 before the certificate table.
constexpr uint32_t kMaxSignPadding = 7;
// Encrypted, data descriptor, patched data, strong encryption, masked header.
constexpr uint16_t kRefusedFlags = 0x0001 | 0x0008 | 0x0020 | 0x0040 | 0x2000;
constexpr uint32_t kChunk = 64 * 1024;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool readChecked(Source& source, uint64_t offset, void* buffer, uint32_t length) {
    const uint64_t size = source.size();
    if (offset > size || length > size - offset) return false;
    return source.readAt(offset, buffer, length);
}

// Frees what it holds on every way out.
class Buffer {
  public:
    explicit Buffer(uint32_t size) : data_(static_cast<uint8_t*>(malloc(size))) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { free(data_); }
    uint8_t* get() const { return data_; }

  private:
    uint8_t* data_;
};

} // namespace

bool findArchiveEnd(Source& source, uint64_t& end) {
    const uint64_t size = source.size();
    end = size;
    uint8_t dos[64];
    if (!readChecked(source, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return true;
    const uint64_t pe = le32(dos + 0x3C);
    uint8_t coff[24];
    if (!readChecked(source, pe, coff, sizeof coff) || le32(coff) != 0x00004550) return true;
    const uint16_t optionalSize = le16(coff + 20);
    uint8_t optional[240] = {};
    const uint32_t want = optionalSize < sizeof optional ? optionalSize : sizeof optional;
    if (want < 2 || !readChecked(source, pe + 24, optional, want)) return true;
    uint32_t countAt = 0;
    uint32_t dirsAt = 0;
    if (le16(optional) == 0x10B) {
        countAt = 92;
        dirsAt = 96;
    } else if (le16(optional) == 0x20B) {
        countAt = 108;
        dirsAt = 112;
    } else {
        return true;
    }
    const uint32_t certAt = dirsAt + 4 * 8;
    if (want < certAt + 8 || le32(optional + countAt) < 5) return true;
    const uint64_t certOffset = le32(optional + certAt);
    const uint64_t certSize = le32(optional + certAt + 4);
    if (certOffset == 0 && certSize == 0) return true;
    // The table holds a file offset; it must end the file exactly, anything
    // else means the file was tampered with after signing.
    if (certSize == 0 || certOffset + certSize != size || certOffset < kEndSize) return false;
    end = certOffset;
    return true;
}

bool readEntry(Source& source, uint64_t end, Entry& entry) {
    if (end < kEndSize || end > source.size()) return false;
    const uint64_t endRecord = end - kEndSize;
    uint8_t eocd[kEndSize];
    if (!readChecked(source, endRecord, eocd, kEndSize)) return false;
    if (le32(eocd) != kEndSignature || le16(eocd + 4) != 0 || le16(eocd + 6) != 0 || le16(eocd + 8) != 1 ||
        le16(eocd + 10) != 1 || le16(eocd + 20) != 0)
        return false;
    const uint64_t cdSize = le32(eocd + 12);
    const uint64_t cdOffset = le32(eocd + 16);
    if (cdOffset + cdSize != endRecord) return false;
    if (cdSize < kCentralFixed || cdSize > kCentralFixed + kMaxNameBytes) return false;

    uint8_t central[kCentralFixed + kMaxNameBytes];
    if (!readChecked(source, cdOffset, central, static_cast<uint32_t>(cdSize))) return false;
    if (le32(central) != kCentralSignature) return false;
    const uint16_t versionNeeded = le16(central + 6);
    const uint16_t flags = le16(central + 8);
    const uint16_t method = le16(central + 10);
    const uint32_t dosTime = le32(central + 12);
    const uint32_t crc = le32(central + 16);
    const uint32_t compressed = le32(central + 20);
    const uint32_t uncompressed = le32(central + 24);
    const uint16_t nameLength = le16(central + 28);
    const uint16_t extraLength = le16(central + 30);
    const uint16_t commentLength = le16(central + 32);
    const uint64_t localOffset = le32(central + 42);
    if ((versionNeeded & 0xFF) > 20 || (flags & kRefusedFlags) != 0 || method != 8) return false;
    if (le16(central + 34) != 0) return false; // disk number
    if (kCentralFixed + uint64_t{nameLength} + extraLength + commentLength != cdSize) return false;
    const uint8_t* name = central + kCentralFixed;
    if (memchr(name, 0, nameLength) != nullptr) return false;

    uint8_t local[kLocalFixed + kMaxNameBytes];
    if (localOffset + kLocalFixed + nameLength > cdOffset) return false;
    if (!readChecked(source, localOffset, local, kLocalFixed + nameLength)) return false;
    if (le32(local) != kLocalSignature || le16(local + 4) != versionNeeded || le16(local + 6) != flags ||
        le16(local + 8) != method || le32(local + 10) != dosTime || le32(local + 14) != crc ||
        le32(local + 18) != compressed || le32(local + 22) != uncompressed || le16(local + 26) != nameLength)
        return false;
    if (memcmp(local + kLocalFixed, name, nameLength) != 0) return false;
    const uint64_t dataOffset = localOffset + kLocalFixed + nameLength + le16(local + 28);
    // The data fills the whole gap up to the central directory.
    if (dataOffset + compressed != cdOffset) return false;

    entry.dataOffset = dataOffset;
    entry.compressedSize = compressed;
    entry.uncompressedSize = uncompressed;
    entry.crc32 = crc;
    entry.flags = flags;
    entry.nameLength = nameLength;
    memcpy(entry.name, name, nameLength);
    entry.name[nameLength] = 0;
    return true;
}

bool locateEntry(Source& source, Entry& entry) {
    uint64_t end = 0;
    if (!findArchiveEnd(source, end)) return false;
    if (end == source.size()) return readEntry(source, end, entry);
    uint8_t tail[kMaxSignPadding] = {};
    for (uint32_t pad = 0; pad <= kMaxSignPadding && pad + kEndSize <= end; ++pad) {
        if (pad > 0) {
            if (!readChecked(source, end - pad, tail, 1) || tail[0] != 0) return false;
        }
        if (readEntry(source, end - pad, entry)) return true;
    }
    return false;
}

InflateResult inflateEntry(Source& source, const Entry& entry, Sink& sink) {
    Buffer input(kChunk);
    Buffer output(kChunk);
    if (!input.get() || !output.get()) return InflateResult::OutOfMemory;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return InflateResult::OutOfMemory;

    InflateResult result = InflateResult::Damaged;
    uint64_t offset = entry.dataOffset;
    uint32_t remaining = entry.compressedSize;
    uint32_t written = 0;
    uLong crc = crc32(0, nullptr, 0);
    for (;;) {
        if (stream.avail_in == 0 && remaining > 0) {
            const uint32_t n = remaining < kChunk ? remaining : kChunk;
            if (!readChecked(source, offset, input.get(), n)) {
                result = InflateResult::ReadFailed;
                break;
            }
            offset += n;
            remaining -= n;
            stream.next_in = input.get();
            stream.avail_in = n;
        }
        stream.next_out = output.get();
        stream.avail_out = kChunk;
        const int rc = inflate(&stream, Z_NO_FLUSH);
        const uint32_t produced = kChunk - stream.avail_out;
        if (produced > entry.uncompressedSize - written) break; // longer than declared
        if (produced > 0) {
            crc = crc32(crc, output.get(), produced);
            written += produced;
            if (!sink.write(output.get(), produced)) {
                result = InflateResult::WriteFailed;
                break;
            }
        }
        if (rc == Z_STREAM_END) {
            // Nothing may follow the stream inside the entry's data.
            if (stream.avail_in == 0 && remaining == 0 && written == entry.uncompressedSize &&
                crc == entry.crc32)
                result = InflateResult::Ok;
            break;
        }
        if (rc == Z_MEM_ERROR) {
            result = InflateResult::OutOfMemory;
            break;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
        // No progress possible: input used up before the stream's end.
        if (rc == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0) break;
    }
    inflateEnd(&stream);
    return result;
}

bool isPlainFileName(const char* utf8Name, uint32_t length) {
    const auto* p = reinterpret_cast<const uint8_t*>(utf8Name);
    if (length == 0 || length > 200) return false;
    if (p[length - 1] == '.' || p[length - 1] == ' ') return false;
    for (uint32_t i = 0; i < length;) {
        const uint8_t c = p[i];
        if (c < 0x20 || c == 0x7F || strchr("<>:\"/\\|?*", c) != nullptr) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        // Well-formed UTF-8 only: no overlong forms, no surrogates.
        uint32_t extra = 0;
        uint32_t code = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (length - i <= extra) return false;
        for (uint32_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    // Device names, with or without an extension, are never files.
    uint32_t stem = 0;
    while (stem < length && p[stem] != '.') ++stem;
    while (stem > 0 && p[stem - 1] == ' ') --stem;
    auto stemIs = [&](const char* word) {
        const uint32_t n = static_cast<uint32_t>(strlen(word));
        if (stem != n) return false;
        for (uint32_t i = 0; i < n; ++i) {
            uint8_t c = p[i];
            if (c >= 'a' && c <= 'z') c = static_cast<uint8_t>(c - 'a' + 'A');
            if (c != static_cast<uint8_t>(word[i])) return false;
        }
        return true;
    };
    if (stemIs("CON") || stemIs("PRN") || stemIs("AUX") || stemIs("NUL") || stemIs("CONIN$") ||
        stemIs("CONOUT$"))
        return false;
    if (stem == 4 || stem == 5) {
        uint8_t head[3];
        for (int i = 0; i < 3; ++i)
            head[i] = static_cast<uint8_t>(p[i] >= 'a' && p[i] <= 'z' ? p[i] - 32 : p[i]);
        const bool com = head[0] == 'C' && head[1] == 'O' && head[2] == 'M';
        const bool lpt = head[0] == 'L' && head[1] == 'P' && head[2] == 'T';
        if (com || lpt) {
            // COM1..COM9, and the superscript digits Windows also treats as ports.
            if (stem == 4 && p[3] >= '0' && p[3] <= '9') return false;
            if (stem == 5 && p[3] == 0xC2 && (p[4] == 0xB9 || p[4] == 0xB2 || p[4] == 0xB3)) return false;
        }
    }
    return true;
}

} // namespace stub
