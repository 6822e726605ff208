#pragma once
// The format step of volume writing, done off the GUI thread: empties the
// removable volume and gives it its set label. Only one runs at a time.

#include <atomic>
#include <string>
#include <thread>

class TZipBuilder;

// What the GUI thread and the format thread share. The thread writes
// `result` before it sets `state` to 2; the GUI thread reads both after.
struct TSHFormatJob {
    std::string root;
    std::string label;
    std::atomic<int> state{0};   // 0 running, 2 done
    std::atomic<int> result{-3}; // 0 done, -1 error
};

class TSHFormatThread {
public:
    TSHFormatThread(TZipBuilder *owner, TSHFormatJob &job);
    ~TSHFormatThread(); // waits for the thread
    TSHFormatThread(const TSHFormatThread &) = delete;
    TSHFormatThread &operator=(const TSHFormatThread &) = delete;
    bool started() const { return thread_.joinable(); }

private:
    void Execute();
    TZipBuilder *owner_;
    TSHFormatJob &job_;
    bool terminated_ = false; // another component is formatting already
    std::thread thread_;
};
