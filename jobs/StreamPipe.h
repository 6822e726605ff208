#pragma once
// The bytes of a save file handed between the transfer, on the job's thread,
// and the zip library, on its own: a bounded buffer, so memory stays small
// whatever the size and the faster side waits for the slower. The end is the
// producer's verdict: only data it calls whole ends with a clean end.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace jobs
{

class StreamPipe
{
public:
    explicit StreamPipe(std::size_t capacity = 4u << 20);

    // Producer: waits while the buffer is full. False once the consumer has
    // gone (it failed or stopped); nothing more is taken then.
    bool write(const void *data, std::size_t n);
    // The data ended, whole or not; the first verdict counts.
    void finish(bool whole);

    // Consumer: waits while the buffer is empty. The bytes given; 0 at the
    // end of whole data; -1 when the data was not whole or the pipe closed.
    long read(void *buf, std::size_t max);
    // The consumer is gone: the producer's writes fail from now on.
    void close();

    bool consumerGone() const;
    bool finished() const;
    // The producer called the data not whole.
    bool failed() const;
    int64_t bytesWritten() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<char> ring_;
    std::size_t head_ = 0, size_ = 0;
    int64_t written_ = 0;
    bool ended_ = false, whole_ = false, closed_ = false;
};

} // namespace jobs
