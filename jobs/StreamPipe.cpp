#include "jobs/StreamPipe.h"

#include <algorithm>
#include <cstring>

namespace jobs
{

StreamPipe::StreamPipe(std::size_t capacity) : ring_(std::max<std::size_t>(capacity, 1)) {}

bool StreamPipe::write(const void *data, std::size_t n)
{
    auto *p = static_cast<const char *>(data);
    std::unique_lock<std::mutex> lock(mutex_);
    while (n > 0) {
        changed_.wait(lock, [&] { return closed_ || ended_ || size_ < ring_.size(); });
        if (closed_ || ended_)
            return false;
        const std::size_t tail = (head_ + size_) % ring_.size();
        const std::size_t room = std::min(ring_.size() - size_, ring_.size() - tail);
        const std::size_t k = std::min(n, room);
        std::memcpy(ring_.data() + tail, p, k);
        size_ += k;
        written_ += static_cast<int64_t>(k);
        p += k;
        n -= k;
        changed_.notify_all();
    }
    return true;
}

void StreamPipe::finish(bool whole)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_)
        return;
    ended_ = true;
    whole_ = whole;
    changed_.notify_all();
}

long StreamPipe::read(void *buf, std::size_t max)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || size_ > 0 || ended_; });
    if (closed_ || (ended_ && !whole_))
        return -1;
    if (size_ == 0)
        return 0; // ended whole
    const std::size_t k = std::min({max, size_, ring_.size() - head_});
    std::memcpy(buf, ring_.data() + head_, k);
    head_ = (head_ + k) % ring_.size();
    size_ -= k;
    changed_.notify_all();
    return static_cast<long>(k);
}

void StreamPipe::close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool StreamPipe::consumerGone() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

bool StreamPipe::finished() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

bool StreamPipe::failed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && !whole_;
}

int64_t StreamPipe::bytesWritten() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

} // namespace jobs
