#pragma once
// One raw deflate stream made from blocks compressed in parallel (the pigz
// technique): each block is primed with the previous 32 KiB as a preset
// dictionary and ends with a sync flush on a byte boundary, so the blocks
// simply concatenate; the block CRCs are joined with crc32_combine. Memory
// stays bounded by the blocks in flight.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zipdll {

class ParallelDeflate {
public:
    enum Status { Ok, ReadError, WriteError, Aborted, ZlibError };
    struct Result {
        uint32_t crc = 0;
        uint64_t bytesIn = 0;
        uint64_t bytesOut = 0;
    };
    // Returns bytes read into the buffer, 0 at the end, negative on error.
    using ReadFn = std::function<long(uint8_t *, size_t)>;
    // Receives compressed bytes (may change them in place, e.g. to encrypt).
    using WriteFn = std::function<bool(uint8_t *, size_t)>;
    // Called with the input bytes finished; false stops the run.
    using ProgressFn = std::function<bool(uint64_t)>;

    explicit ParallelDeflate(unsigned threads = 0, size_t blockSize = 1 << 20);
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate &) = delete;
    ParallelDeflate &operator=(const ParallelDeflate &) = delete;

    Status compress(int level, const ReadFn &read, const WriteFn &write,
                    const ProgressFn &progress, Result &result);

private:
    struct Job;
    void worker();
    void start();
    Job *takeJob();

    unsigned threads_;
    size_t blockSize_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable todo_, finished_;
    std::deque<Job *> queue_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<Job *> idle_;
    bool shutdown_ = false;
};

} // namespace zipdll
