#include "zip/ZipShellFormat.h"

#include "zip/ZipBuilder.h"

#include "platform/Dialogs.h"
#include "platform/Pump.h"
#include "platform/Volumes.h"

#include <system_error>

namespace {
// The component being formatted; a second format at the same time is refused.
std::atomic<TZipBuilder *> formatting{nullptr};
} // namespace

TSHFormatThread::TSHFormatThread(TZipBuilder *owner, TSHFormatJob &job) : owner_(owner), job_(job)
{
    TZipBuilder *expected = nullptr;
    terminated_ = !formatting.compare_exchange_strong(expected, owner_);
    try {
        thread_ = std::thread([this] { Execute(); });
    } catch (const std::system_error &) {
        if (!terminated_)
            formatting = nullptr;
    }
}

TSHFormatThread::~TSHFormatThread()
{
    if (thread_.joinable())
        thread_.join();
}

void TSHFormatThread::Execute()
{
    if (terminated_) {
        job_.result = -1;
    } else {
        platform::Volumes &v = platform::volumes();
        job_.result = v.erase(job_.root) && v.setLabel(job_.root, job_.label) ? 0 : -1;
        formatting = nullptr;
    }
    job_.state = 2;
}

int TZipBuilder::ZipFormat()
{
    // Erasing needs the operator's consent unless told to go ahead.
    if (ConfirmErase) {
        const std::string q = "All files on the disk in drive " + drive_ + " will be erased and the disk labelled \"" +
                              formatLabel_ + "\".\nErase the disk?";
        if (platform::dialogs().messageBox(q, "Quellon", platform::Buttons::OkCancel, platform::Icon::Warning) !=
            platform::mrOk)
            return -2;
    }
    TSHFormatJob job;
    job.root = drive_;
    job.label = formatLabel_;
    TSHFormatThread thread(this, job);
    if (!thread.started())
        return -3;
    while (job.state.load() == 0)
        platform::WaitForEvents(2);
    return job.result.load();
}
