// The stub's reader of its own appended archive: locating the end record
// (before a certificate table too), checking the entry, inflating it.
#include "Archive.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

class MemorySource final : public stub::Source {
  public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool readAt(uint64_t offset, void* buffer, uint32_t length) override {
        if (offset > size_ || length > size_ - offset) __builtin_trap(); // the reader must check first
        std::memcpy(buffer, data_ + offset, length);
        return true;
    }
    uint64_t size() const override { return size_; }

  private:
    const uint8_t* data_;
    size_t size_;
};

// Discards the output; stops runaway streams early.
class CountingSink final : public stub::Sink {
  public:
    bool write(const void*, uint32_t length) override {
        total_ += length;
        return total_ <= (16u << 20);
    }

  private:
    uint64_t total_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemorySource source(data, size);
    stub::Entry entry;
    if (!stub::locateEntry(source, entry)) return 0;
    stub::isPlainFileName(entry.name, entry.nameLength);
    CountingSink sink;
    stub::inflateEntry(source, entry, sink);
    return 0;
}
