#include "compiler/ParallelDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pakforge {

namespace {

// A chunk whose first bytes shrink less than this at level 1 is taken for
// already-compressed data and stored. On cabinets of compressed files this
// keeps most of what deflate would save for a fraction of its time.
constexpr std::size_t kProbeBytes = 16 * 1024;
constexpr double kProbeRatio = 0.98;

class ZStream {
  public:
    explicit ZStream(int level) {
        const int rc = deflateInit2(&z_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        if (rc != Z_OK) fail(rc);
        ready_ = true;
    }
    ZStream(const ZStream&) = delete;
    ZStream& operator=(const ZStream&) = delete;
    ~ZStream() {
        if (ready_) deflateEnd(&z_);
    }

    // Compresses `data` (primed with `dict`) onto the end of out, ending
    // with a sync flush, or with the final block when `last`.
    void run(const std::uint8_t* dict, std::size_t dictSize, const std::uint8_t* data, std::size_t size,
             bool last, std::vector<std::uint8_t>& out) {
        int rc = deflateReset(&z_);
        if (rc != Z_OK) fail(rc);
        if (dictSize > 0) {
            rc = deflateSetDictionary(&z_, dict, static_cast<uInt>(dictSize));
            if (rc != Z_OK) fail(rc);
        }
        const std::size_t start = out.size();
        // Room for the worst case plus the flush's empty stored block.
        out.resize(start + deflateBound(&z_, static_cast<uLong>(size)) + 16);
        z_.next_in = const_cast<std::uint8_t*>(data);
        z_.avail_in = static_cast<uInt>(size);
        const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
        std::size_t used = start;
        for (;;) {
            z_.next_out = out.data() + used;
            z_.avail_out = static_cast<uInt>(out.size() - used);
            rc = deflate(&z_, flush);
            used = out.size() - z_.avail_out;
            if (rc == Z_STREAM_ERROR) fail(rc);
            if (last ? rc == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out > 0)) break;
            if (z_.avail_out == 0)
                out.resize(out.size() + 4096);
            else if (rc != Z_OK && rc != Z_BUF_ERROR)
                fail(rc);
        }
        out.resize(used);
    }

  private:
    [[noreturn]] void fail(int rc) const { throw EZCompressionError(z_.msg ? z_.msg : zError(rc)); }
    z_stream z_{};
    bool ready_ = false;
};

struct Slot {
    std::vector<std::uint8_t> in; // the dictionary, then the chunk
    std::size_t dictSize = 0;
    bool last = false;
    std::vector<std::uint8_t> out;
    uLong crc = 0;
    std::exception_ptr error;
    bool done = false;

    std::size_t size() const { return in.size() - dictSize; }
};

// One thread's zlib streams, made on first use: under 1 MiB together.
class ChunkCompressor {
  public:
    explicit ChunkCompressor(const DeflateOptions& options) : options_(options) {}

    void compress(Slot& slot) {
        const std::uint8_t* data = slot.in.data() + slot.dictSize;
        const std::size_t size = slot.size();
        slot.crc = crc32(crc32(0, nullptr, 0), data, static_cast<uInt>(size));
        slot.out.clear();
        if (options_.adaptive && !worthDeflating(data, size)) {
            stored().run(nullptr, 0, data, size, slot.last, slot.out);
            return;
        }
        if (!deflater_) deflater_ = std::make_unique<ZStream>(options_.level);
        deflater_->run(slot.in.data(), slot.dictSize, data, size, slot.last, slot.out);
        // Stored blocks cost 5 bytes per 64 KiB; the sync flush 5 more.
        if (options_.adaptive && slot.out.size() > size + 5 * (size / 65535 + 2)) {
            slot.out.clear();
            stored().run(nullptr, 0, data, size, slot.last, slot.out);
        }
    }

  private:
    ZStream& stored() {
        if (!stored_) stored_ = std::make_unique<ZStream>(0);
        return *stored_;
    }

    bool worthDeflating(const std::uint8_t* data, std::size_t size) {
        const std::size_t sample = std::min(size, kProbeBytes);
        if (sample < 64) return true;
        if (!probe_) probe_ = std::make_unique<ZStream>(1);
        probeOut_.clear();
        probe_->run(nullptr, 0, data, sample, true, probeOut_);
        return static_cast<double>(probeOut_.size()) < kProbeRatio * static_cast<double>(sample);
    }

    DeflateOptions options_;
    std::unique_ptr<ZStream> deflater_, stored_, probe_;
    std::vector<std::uint8_t> probeOut_;
};

// Worker threads taking slots in order; the destructor stops and joins them.
class WorkerPool {
  public:
    WorkerPool(int threads, const DeflateOptions& options) {
        threads_.reserve(static_cast<std::size_t>(threads));
        try {
            for (int i = 0; i < threads; ++i) threads_.emplace_back([this, options] { work(options); });
        } catch (...) {
            // No destructor runs for a half-made pool; joinable threads
            // left behind would end the program.
            stopAndJoin();
            throw;
        }
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { stopAndJoin(); }

    void submit(Slot& slot) {
        {
            std::lock_guard lock(mutex_);
            slot.done = false;
            queue_.push_back(&slot);
        }
        wake_.notify_one();
    }

    void wait(Slot& slot) {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return slot.done; });
    }

  private:
    void stopAndJoin() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }

    void work(const DeflateOptions& options) {
        ChunkCompressor compressor(options);
        for (;;) {
            Slot* slot = nullptr;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                if (stop_) return;
                slot = queue_.front();
                queue_.pop_front();
            }
            try {
                compressor.compress(*slot);
            } catch (...) {
                slot->error = std::current_exception();
            }
            {
                std::lock_guard lock(mutex_);
                slot->done = true;
            }
            finished_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::deque<Slot*> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

} // namespace

int deflateJobs(int jobs) {
    if (jobs > 0) return std::min(jobs, kMaxDeflateJobs);
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : static_cast<int>(std::min<unsigned>(processors, kMaxDeflateJobs));
}

std::uint64_t chunkedDeflateBound(std::uint64_t size) {
    // Per chunk: zlib's bound for the stored case (5 bytes a 64 KiB block,
    // which also covers its other levels' bounds within 0.1 %), the sync
    // flush, and slack.
    const std::uint64_t chunks = size / kDeflateChunk + 1;
    return size + size / 1000 + chunks * 32;
}

std::uint32_t chunkedDeflate(Stream& source, std::uint64_t total, Stream& out, const DeflateOptions& options,
                             const std::function<void(std::uint64_t done)>& progress) {
    if (options.level < -1 || options.level > 9) throw EZCompressionError("invalid compression level");
    const std::uint64_t chunks = total / kDeflateChunk + 1;
    const int threads = static_cast<int>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(deflateJobs(options.jobs)), chunks));

    // Two slots a thread keep every worker busy while the oldest chunk is
    // written; declared before the pool so that they outlive its threads.
    std::vector<Slot> ring(threads > 1 ? static_cast<std::size_t>(threads) * 2 : 1);
    std::unique_ptr<WorkerPool> pool;
    std::unique_ptr<ChunkCompressor> inline_;
    if (threads > 1)
        pool = std::make_unique<WorkerPool>(threads, options);
    else
        inline_ = std::make_unique<ChunkCompressor>(options);

    std::vector<std::uint8_t> window; // the last bytes read, up to 32 KiB
    window.reserve(kDeflateWindow);
    std::uint64_t read = 0, written = 0;
    bool allQueued = false;
    std::size_t head = 0, tail = 0, inFlight = 0;
    uLong crc = crc32(0, nullptr, 0);

    for (;;) {
        while (!allQueued && inFlight < ring.size()) {
            Slot& slot = ring[tail];
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(kDeflateChunk, total - read));
            slot.dictSize = window.size();
            slot.in.resize(slot.dictSize + size);
            if (!window.empty()) std::memcpy(slot.in.data(), window.data(), window.size());
            source.readBuffer(slot.in.data() + slot.dictSize, size);
            read += size;
            slot.last = read == total;
            slot.error = nullptr;
            allQueued = slot.last;
            const std::size_t keep = std::min(kDeflateWindow, slot.in.size());
            window.assign(slot.in.end() - static_cast<std::ptrdiff_t>(keep), slot.in.end());
            if (pool) {
                pool->submit(slot);
            } else {
                try {
                    inline_->compress(slot);
                } catch (...) {
                    slot.error = std::current_exception();
                }
            }
            tail = (tail + 1) % ring.size();
            ++inFlight;
        }
        if (inFlight == 0) break;
        Slot& slot = ring[head];
        if (pool) pool->wait(slot);
        if (slot.error) std::rethrow_exception(slot.error);
        out.writeBuffer(slot.out.data(), slot.out.size());
        crc = crc32_combine(crc, slot.crc, static_cast<z_off_t>(slot.size()));
        written += slot.size();
        head = (head + 1) % ring.size();
        --inFlight;
        if (progress && slot.size() > 0) progress(written);
    }
    return static_cast<std::uint32_t>(crc);
}

} // namespace pakforge
