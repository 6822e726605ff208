#include "ParallelDeflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace zipdll {

namespace {
constexpr size_t kDictSize = 32768;
}

struct ParallelDeflate::Job {
    int level = 9;
    std::vector<uint8_t> in;
    size_t inLen = 0;
    std::vector<uint8_t> dict;
    std::vector<uint8_t> out;
    size_t outLen = 0;
    uint32_t crc = 0;
    bool done = false;
    bool failed = false;
};

ParallelDeflate::ParallelDeflate(unsigned threads, size_t blockSize)
    : threads_(threads), blockSize_(blockSize)
{
    if (threads_ == 0)
        threads_ = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

ParallelDeflate::~ParallelDeflate()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
    }
    todo_.notify_all();
    for (auto &t : workers_)
        t.join();
}

void ParallelDeflate::start()
{
    // Threads start with the first large file, not for every small one.
    if (workers_.empty())
        for (unsigned i = 0; i < threads_; ++i)
            workers_.emplace_back([this] { worker(); });
}

ParallelDeflate::Job *ParallelDeflate::takeJob()
{
    if (!idle_.empty()) {
        Job *j = idle_.back();
        idle_.pop_back();
        return j;
    }
    jobs_.push_back(std::make_unique<Job>());
    return jobs_.back().get();
}

void ParallelDeflate::worker()
{
    z_stream zs{};
    int zsLevel = -1;
    for (;;) {
        Job *job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            todo_.wait(lock, [this] { return shutdown_ || !queue_.empty(); });
            if (queue_.empty())
                break;
            job = queue_.front();
            queue_.pop_front();
        }
        bool ok = true;
        if (zsLevel != job->level) {
            if (zsLevel >= 0)
                deflateEnd(&zs);
            zs = z_stream{};
            ok = deflateInit2(&zs, job->level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
            zsLevel = ok ? job->level : -1;
        } else {
            ok = deflateReset(&zs) == Z_OK;
        }
        // Level 9 keeps its lazy matching but stops the hash-chain walk at
        // level 8's 1024 links: on save-file data the longer walk costs a
        // third more time for about 0.01% of output.
        if (ok && job->level == 9)
            ok = deflateTune(&zs, 32, 258, 258, 1024) == Z_OK;
        if (ok && !job->dict.empty())
            ok = deflateSetDictionary(&zs, job->dict.data(), static_cast<uInt>(job->dict.size())) == Z_OK;
        if (ok) {
            size_t need = deflateBound(&zs, job->inLen) + 64;
            if (job->out.size() < need)
                job->out.resize(need);
            zs.next_in = job->in.data();
            zs.avail_in = static_cast<uInt>(job->inLen);
            zs.next_out = job->out.data();
            zs.avail_out = static_cast<uInt>(job->out.size());
            int rc = deflate(&zs, Z_SYNC_FLUSH);
            // The bound covers the whole block plus the flush marker, so one
            // call must consume everything and leave room to spare.
            ok = rc == Z_OK && zs.avail_in == 0 && zs.avail_out > 0;
            job->outLen = job->out.size() - zs.avail_out;
            job->crc = static_cast<uint32_t>(crc32(0, job->in.data(), static_cast<uInt>(job->inLen)));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->failed = !ok;
            job->done = true;
        }
        finished_.notify_all();
    }
    if (zsLevel >= 0)
        deflateEnd(&zs);
}

ParallelDeflate::Status ParallelDeflate::compress(int level, const ReadFn &read, const WriteFn &write,
                                                  const ProgressFn &progress, Result &result)
{
    start();
    result = Result{};
    level = std::clamp(level, 1, 9);
    const size_t maxInFlight = threads_ * 2 + 1;
    std::deque<Job *> inFlight;
    std::vector<uint8_t> tail; // last 32 KiB of input: the next block's dictionary
    tail.reserve(kDictSize * 2);
    Status status = Ok;
    bool eof = false;
    uLong crc = crc32(0, nullptr, 0);

    for (;;) {
        while (status == Ok && !eof && inFlight.size() < maxInFlight) {
            Job *job = takeJob();
            job->in.resize(blockSize_);
            size_t n = 0;
            while (n < blockSize_) {
                long r = read(job->in.data() + n, blockSize_ - n);
                if (r < 0) {
                    status = ReadError;
                    break;
                }
                if (r == 0) {
                    eof = true;
                    break;
                }
                n += static_cast<size_t>(r);
            }
            if (status != Ok || n == 0) {
                idle_.push_back(job);
                break;
            }
            job->level = level;
            job->inLen = n;
            job->dict = tail;
            job->done = job->failed = false;
            if (n >= kDictSize) {
                tail.assign(job->in.begin() + static_cast<long>(n - kDictSize), job->in.begin() + static_cast<long>(n));
            } else {
                tail.insert(tail.end(), job->in.begin(), job->in.begin() + static_cast<long>(n));
                if (tail.size() > kDictSize)
                    tail.erase(tail.begin(), tail.end() - kDictSize);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                queue_.push_back(job);
            }
            todo_.notify_one();
            inFlight.push_back(job);
        }
        if (inFlight.empty())
            break;
        Job *job = inFlight.front();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            finished_.wait(lock, [job] { return job->done; });
        }
        inFlight.pop_front();
        if (status == Ok) {
            if (job->failed)
                status = ZlibError;
            else if (!write(job->out.data(), job->outLen))
                status = WriteError;
            else {
                crc = crc32_combine(crc, job->crc, static_cast<z_off_t>(job->inLen));
                result.bytesIn += job->inLen;
                result.bytesOut += job->outLen;
                if (!progress(job->inLen))
                    status = Aborted;
            }
        }
        idle_.push_back(job);
    }
    if (status != Ok)
        return status;
    // Every block ended with a sync flush; an empty final fixed block closes
    // the stream.
    uint8_t last[2] = {0x03, 0x00};
    if (!write(last, sizeof last))
        return WriteError;
    result.bytesOut += sizeof last;
    result.crc = static_cast<uint32_t>(crc);
    return Ok;
}

} // namespace zipdll
