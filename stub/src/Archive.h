// Finding and reading the one-entry ZIP archive at the end of the stub's
// own file. Plain C++ over an abstract reader, so the same code runs in the
// Windows stub and in host tests and fuzzers.
#pragma once

#include <stdint.h>

namespace stub {

// Random access to the stub's own file.
class Source {
  public:
    virtual bool readAt(uint64_t offset, void* buffer, uint32_t length) = 0;
    virtual uint64_t size() const = 0;

  protected:
    ~Source() = default;
};

// Receives the inflated package.
class Sink {
  public:
    virtual bool write(const void* data, uint32_t length) = 0;

  protected:
    ~Sink() = default;
};

// Longest entry name we accept, in bytes.
constexpr uint32_t kMaxNameBytes = 1024;

struct Entry {
    uint64_t dataOffset = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint32_t crc32 = 0;
    uint16_t flags = 0;
    uint16_t nameLength = 0;
    char name[kMaxNameBytes + 1] = {}; // raw bytes, zero-terminated (names holding zero are refused)
};

// Where the archive has to end: the end of the file, or the start of the
// Authenticode certificate table when the file has been signed since.
// False when the PE headers point the table somewhere impossible.
bool findArchiveEnd(Source& source, uint64_t& end);

// Locates the archive ending at `end` and checks that it is exactly one
// deflated entry whose local header agrees with the central directory and
// whose data lies between the two. Nothing else is accepted.
bool readEntry(Source& source, uint64_t end, Entry& entry);

// Both steps above; when signed, a few zero bytes of alignment padding may
// stand between the end record and the certificate table.
bool locateEntry(Source& source, Entry& entry);

enum class InflateResult { Ok, Damaged, ReadFailed, WriteFailed, OutOfMemory };

// Inflates the entry into the sink, checking that the deflate stream ends
// exactly at the end of the entry's data, and the size and CRC-32.
InflateResult inflateEntry(Source& source, const Entry& entry, Sink& sink);

// True when the name can be used as a file name as it stands: one plain
// component, no folder, no drive, no device name, nothing Windows refuses.
bool isPlainFileName(const char* utf8Name, uint32_t length);

} // namespace stub
