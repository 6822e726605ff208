// The bounded buffer between a transfer and the zip library: the producer
// waits while it is full, the consumer sees a clean end only for data the
// producer called whole, and a consumer that goes never leaves the
// producer waiting.
#include "jobs/StreamPipe.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <thread>
#include <vector>

using jobs::StreamPipe;

namespace
{

// Everything the consumer gets until the end: the bytes and the last answer.
std::pair<std::string, long> drain(StreamPipe &pipe)
{
    std::string got;
    char buf[1000];
    long n;
    while ((n = pipe.read(buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    return {got, n};
}

TEST(StreamPipe, MovesEveryByteInOrderThroughASmallBufferAndEndsAsTheProducerSays)
{
    std::string data(300000, '\0');
    std::iota(data.begin(), data.end(), '\0');
    for (const bool whole : {true, false}) {
        StreamPipe pipe(4096); // far smaller than the data: both sides wait
        std::thread producer([&] {
            for (size_t at = 0; at < data.size(); at += 7777)
                ASSERT_TRUE(pipe.write(data.data() + at, std::min<size_t>(7777, data.size() - at)));
            pipe.finish(whole);
            pipe.finish(!whole); // only the first verdict counts
        });
        const auto [got, last] = drain(pipe);
        producer.join();
        if (whole) {
            EXPECT_EQ(got, data);
            EXPECT_EQ(last, 0);
        } else {
            EXPECT_EQ(last, -1); // no clean end, whatever arrived before
        }
        EXPECT_EQ(pipe.bytesWritten(), static_cast<int64_t>(data.size()));
    }
}

TEST(StreamPipe, AConsumerThatGoesReleasesAWaitingProducer)
{
    StreamPipe pipe(1024);
    bool accepted = true;
    std::thread producer([&] {
        const std::string block(4096, 'x'); // more than fits: waits for room
        accepted = pipe.write(block.data(), block.size());
    });
    char buf[100];
    EXPECT_EQ(pipe.read(buf, sizeof buf), 100);
    pipe.close();
    producer.join();
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(pipe.consumerGone());
    EXPECT_FALSE(pipe.write("y", 1));
    EXPECT_EQ(pipe.read(buf, sizeof buf), -1);
}

} // namespace
