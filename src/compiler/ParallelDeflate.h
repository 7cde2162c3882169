// Deflate in fixed-size chunks on several threads, joined into one raw
// stream that any inflater reads as a single entry. Each chunk is primed
// with the 32 KiB before it and ends on a byte boundary (a sync flush), so
// the bytes depend on the level and the chunk size only, never on how many
// threads made them.
#pragma once

#include "core/Exceptions.h"
#include "core/Streams.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace pakforge {

// zlib refused to compress; carries zlib's own message.
class EZCompressionError : public Exception {
  public:
    using Exception::Exception;
};

inline constexpr std::size_t kDeflateChunk = 128 * 1024;
inline constexpr std::size_t kDeflateWindow = 32 * 1024;
inline constexpr int kMaxDeflateJobs = 256;

struct DeflateOptions {
    // False: one zlib stream at the default level, as every build made
    // before the options existed. The other fields then do not count.
    bool chunked = false;
    int level = -1; // zlib's: -1 (its default, 6) or 0..9
    int jobs = 0;   // threads; 0 = the number of processors
    // Store the chunks that do not compress and deflate the rest.
    bool adaptive = false;
};

// The number of threads `jobs` stands for.
int deflateJobs(int jobs);

// Reads `total` bytes from source's position and writes them to out as one
// raw deflate stream; returns their CRC-32. `progress(done)` runs on the
// calling thread after each chunk is written; what it throws stops the
// workers and leaves from here.
std::uint32_t chunkedDeflate(Stream& source, std::uint64_t total, Stream& out, const DeflateOptions& options,
                             const std::function<void(std::uint64_t done)>& progress = {});

// The most chunkedDeflate can write for `size` bytes.
std::uint64_t chunkedDeflateBound(std::uint64_t size);

} // namespace pakforge
