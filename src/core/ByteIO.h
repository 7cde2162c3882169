// Bounds-checked little-endian reading and writing of byte buffers. Every
// parser of outside bytes goes through ByteReader; it never reads past its
// span and raises ETruncatedData instead.
#pragma once

#include "core/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pakforge {

class ETruncatedData : public Exception {
  public:
    ETruncatedData() : Exception("Unexpected end of data") {}
    using Exception::Exception;
};

class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t size() const { return data_.size(); }
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return data_.size() - pos_; }
    bool canRead(std::uint64_t count) const { return count <= remaining(); }
    std::span<const std::uint8_t> data() const { return data_; }

    void seek(std::uint64_t offset) {
        if (offset > data_.size()) throw ETruncatedData();
        pos_ = static_cast<std::size_t>(offset);
    }
    void skip(std::uint64_t count) { take(count); }

    std::uint8_t u8() { return take(1)[0]; }
    std::uint16_t u16() {
        const auto b = take(2);
        return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    }
    std::uint32_t u32() {
        const auto b = take(4);
        return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
               (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }

    std::span<const std::uint8_t> bytes(std::uint64_t count) { return take(count); }
    // count UTF-16LE code units.
    std::u16string utf16(std::uint64_t codeUnits) {
        if (codeUnits > remaining() / 2) throw ETruncatedData();
        const auto b = take(codeUnits * 2);
        std::u16string text(static_cast<std::size_t>(codeUnits), u'\0');
        for (std::size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
        return text;
    }

  private:
    std::span<const std::uint8_t> take(std::uint64_t count) {
        if (count > remaining()) throw ETruncatedData();
        const auto result = data_.subspan(pos_, static_cast<std::size_t>(count));
        pos_ += static_cast<std::size_t>(count);
        return result;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

// Appends little-endian values to a byte vector it does not own.
class ByteWriter {
  public:
    explicit ByteWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    std::size_t position() const { return out_.size(); }

    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        out_.push_back(static_cast<std::uint8_t>(v));
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void utf16(std::u16string_view text) {
        for (char16_t c : text) u16(static_cast<std::uint16_t>(c));
    }
    void zeros(std::size_t count) { out_.resize(out_.size() + count, 0); }
    void alignTo(std::size_t alignment) {
        if (alignment > 1 && out_.size() % alignment) zeros(alignment - out_.size() % alignment);
    }

    // Overwrite a value written earlier.
    void patchU16(std::size_t at, std::uint16_t v) {
        check(at, 2);
        out_[at] = static_cast<std::uint8_t>(v);
        out_[at + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    void patchU32(std::size_t at, std::uint32_t v) {
        check(at, 4);
        for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }

  private:
    void check(std::size_t at, std::size_t n) const {
        if (at > out_.size() || n > out_.size() - at) throw ETruncatedData();
    }
    std::vector<std::uint8_t>& out_;
};

// Unaligned little-endian access to memory we own and have sized already.
inline std::uint16_t loadLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t loadLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void storeLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void storeLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace pakforge
