// A library call on a thread of its own while the caller's work runs beside
// it: the save file is zipped while it downloads, or inflated while it
// uploads. The library reports from its thread; the reports are queued and
// handed to the event handlers on the calling thread, so the handlers and
// the user interface never run on two threads.

#include "zip/ZipBuilder.h"
#include "zip/ZipBuilderInternal.h"
#include "zip/ZipMessages.h"

#include "platform/Pump.h"

#include <QCoreApplication>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

using namespace zipmsg;

struct TZipBuilder::StreamRun {
    TZipBuilder &zb;
    const std::thread::id owner = std::this_thread::get_id();
    std::mutex mutex;
    std::deque<ZCallBackStruct> queue;
    bool posted = false;
    bool done = false;
    std::exception_ptr fault;
    std::atomic<bool> cancel{false};
    QObject context; // posted deliveries die with it
    std::thread worker;

    explicit StreamRun(TZipBuilder &z) : zb(z) {}

    int32_t take(ZCallBackStruct *rec)
    {
        switch (rec->ActionCode) {
        case zacMessage:
        case zacFileStart:
        case zacBytesDone:
        case zacBatchEnd:
        case zacFileCount:
        case zacTotalBytes:
        case zacSkipped:
            push(*rec);
            break;
        // Questions are answered as if nobody were there to ask.
        case zacPassword:
            rec->ErrorCode = 0;
            rec->FileSize = 0;
            break;
        case zacCrcError:
            rec->ErrorCode = zcaNoHandler;
            break;
        case zacNewName:
        case zacFileComment:
            rec->ErrorCode = 0;
            break;
        default:
            break;
        }
        return cancel ? 1 : 0;
    }

    void push(const ZCallBackStruct &rec)
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(rec);
        wake();
    }

    // Called with the mutex held.
    void wake()
    {
        if (posted)
            return;
        posted = true;
        QMetaObject::invokeMethod(
            &context, [this] { deliver(); }, Qt::QueuedConnection);
    }

    void deliver()
    {
        for (;;) {
            ZCallBackStruct rec;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (queue.empty()) {
                    posted = false;
                    return;
                }
                rec = queue.front();
                queue.pop_front();
            }
            try {
                zb.dispatch(&rec);
            } catch (...) {
                zb.callbackFailed_ = true;
            }
            if (zb.CancelRequested || zb.callbackFailed_)
                cancel = true;
        }
    }

    void start(const std::function<void()> &call)
    {
        worker = std::thread([this, call] {
            try {
                call();
            } catch (...) {
                fault = std::current_exception();
            }
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
            wake(); // ends the caller's wait at once
        });
    }

    // `call` on the library's thread and `beside` here; what `beside` threw
    // comes back once both have ended. False when the library call threw.
    bool runBeside(const std::function<void()> &call, const std::function<void()> &beside,
                   std::exception_ptr &besideError)
    {
        start(call);
        try {
            beside();
        } catch (...) {
            besideError = std::current_exception();
            cancel = true;
        }
        finish();
        return !fault;
    }

    // Waits for the library while handing its reports over.
    void finish()
    {
        for (;;) {
            deliver();
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (done)
                    break;
            }
            if (QCoreApplication::instance())
                platform::WaitForEvents(20);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        worker.join();
        deliver();
    }
};

bool TZipBuilder::queueFromLibraryThread(TZipBuilder *zb, ZCallBackStruct *rec, int32_t &result)
{
    StreamRun *run = zb->streamRun_;
    if (!run || std::this_thread::get_id() == run->owner)
        return false;
    result = run->take(rec);
    return true;
}

namespace
{

int32_t readStream(void *context, void *buf, int32_t n)
{
    try {
        const long got = (*static_cast<const TZipBuilder::StreamIn *>(context))
                             .read(static_cast<uint8_t *>(buf), static_cast<size_t>(n));
        return static_cast<int32_t>(std::clamp<long>(got, -1, n));
    } catch (...) {
        return -1;
    }
}

int32_t writeStream(void *context, const void *data, int32_t n)
{
    try {
        return (*static_cast<const TZipBuilder::StreamOut *>(context))
                       .write(static_cast<const uint8_t *>(data), static_cast<size_t>(n))
                   ? 0
                   : 1;
    } catch (...) {
        return 1;
    }
}

void endStream(void *context, int32_t whole)
{
    try {
        (*static_cast<const TZipBuilder::StreamOut *>(context)).end(whole != 0);
    } catch (...) {
    }
}

} // namespace

bool TZipBuilder::AddStreamed(const StreamIn &in, const std::function<void()> &beside)
{
    LastErrorCode = 0;
    ProcessedCount = 0;
    LastMessage.clear();
    const bool spanning = AddOptions.has(AddDiskSpan) || AddOptions.has(AddDiskSpanErase);
    if (spanning || upperExtension(zipFileName_) == ".EXE" || FSpecArgs.empty() || zipFileName_.empty() ||
        ZipCallActive)
        return false;
    const bool loadHere = !zipDll().handle;
    if (loadHere)
        Load_Zip_Dll();
    if (!zipDll().handle || GetZipVers() < 160)
        return false;
    TemporaryLoad unloadAtEnd(loadHere, &TZipBuilder::Unload_Zip_Dll);

    ZipStreamSource source{in.path.c_str(), const_cast<StreamIn *>(&in), in.size, in.mode, &readStream};
    StreamRun run(*this);
    struct Busy {
        TZipBuilder &z;
        ~Busy()
        {
            z.FSpecArgs.clear();
            z.FSpecArgsExcl.clear();
            z.CancelRequested = false;
            z.ZipCallActive = false;
            z.streamRun_ = nullptr;
            z.zipStream_ = nullptr;
        }
    } busy{*this};
    CancelRequested = false;
    callbackFailed_ = false;
    ZipCallActive = true;
    zipStream_ = &source;
    streamRun_ = &run;
    const std::string archive = zipFileName_;
    std::exception_ptr besideError;
    int processed = 0;
    const auto call = [&] {
        struct Closed {
            const StreamIn &in;
            ~Closed()
            {
                if (in.closed)
                    in.closed();
            }
        } closed{in};
        processed = ExecZipDll(archive, 160, false);
    };
    const bool ran = run.runBeside(call, beside, besideError);
    streamRun_ = nullptr;
    ProcessedCount = processed;
    if (!ran || callbackFailed_)
        ShowZipMessage(GE_FatalZip);
    if (ProcessedCount > 0)
        List();
    if (besideError)
        std::rethrow_exception(besideError);
    return true;
}

bool TZipBuilder::ExtractStreamed(const StreamOut &out, const std::function<void()> &beside)
{
    LastErrorCode = 0;
    ProcessedCount = 0;
    LastMessage.clear();
    if (diskNr_ != 0 || !isRegularFile(zipFileName_) || UnzipCallActive)
        return false;
    const bool loadHere = !unzDll().handle;
    if (loadHere)
        Load_Unz_Dll();
    if (!unzDll().handle || GetUnzVers() < 160)
        return false;
    TemporaryLoad unloadAtEnd(loadHere, &TZipBuilder::Unload_Unz_Dll);

    UnzStreamTarget target{out.member.c_str(), const_cast<StreamOut *>(&out), &writeStream, &endStream};
    StreamRun run(*this);
    struct Busy {
        TZipBuilder &z;
        ~Busy()
        {
            z.FSpecArgs.clear();
            z.CancelRequested = false;
            z.UnzipCallActive = false;
            z.streamRun_ = nullptr;
            z.unzStream_ = nullptr;
        }
    } busy{*this};
    FSpecArgs = {out.member};
    CancelRequested = false;
    callbackFailed_ = false;
    UnzipCallActive = true;
    unzStream_ = &target;
    streamRun_ = &run;
    const std::string archive = zipFileName_;
    std::exception_ptr besideError;
    int processed = 0;
    // The producer side learns the end once, even from a library that
    // never reached the member.
    bool ended = false;
    StreamOut once = out;
    once.end = [&](bool whole) {
        if (!ended && out.end)
            out.end(whole);
        ended = true;
    };
    target.Context = &once;
    const auto call = [&] {
        processed = ExecUnzDll(archive, 160, false);
        once.end(false);
    };
    const bool ran = run.runBeside(call, beside, besideError);
    streamRun_ = nullptr;
    ProcessedCount = processed;
    if (!ran || callbackFailed_)
        ShowZipMessage(EX_FatalUnZip);
    if (besideError)
        std::rethrow_exception(besideError);
    return true;
}
