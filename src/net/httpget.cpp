#include "net/httpget.h"

#include "net/curlsetup.h"
#include "net/httpgetrun.h"

#include <QCoreApplication>
#include <QPointer>

using namespace flintor::net;

THTTPGet::THTTPGet(QObject* owner) : QObject(owner)
{
    EnsureCurlReady();
}

THTTPGet::~THTTPGet()
{
    if (!running_)
        return;
    {
        std::lock_guard lock(running_->m);
        running_->owner = nullptr;
        running_->stop = true;
    }
    running_->cv.notify_all();
    if (running_->thread.joinable())
        running_->thread.join();
}

void THTTPGet::FetchFile()
{
    start(true);
}

void THTTPGet::FetchString()
{
    start(false);
}

bool THTTPGet::Busy() const
{
    return running_ != nullptr;
}

void THTTPGet::Cancel()
{
    if (!running_)
        return;
    running_->stop = true;
    running_->cv.notify_all();
}

void THTTPGet::start(bool toFile)
{
    if (running_)
        return;
    auto run = std::make_shared<Running>();
    run->url = URL.toStdString();
    run->agent = Agent.toStdString();
    run->accept = AcceptTypes.toStdString();
    run->user = UserName.toStdString();
    run->password = Password.toStdString();
    run->post = PostQuery.toStdString();
    run->referer = Referer.toStdString();
    run->fileName = FileName;
    run->binaryData = BinaryData;
    run->useCache = UseCache;
    run->toFile = toFile;
    run->limits = Limits;
    run->expectedSha256 = core::NormalizeSha256Hex(ExpectedSha256.toStdString());
    if (!ExpectedSha256.isEmpty() && run->expectedSha256.empty())
        run->expectedSha256 = "not a digest";  // matches no body: the fetch fails
    run->owner = this;
    running_ = run;
    run->thread = std::thread([run] { run->work(run); });

    if (WaitThread) {
        QPointer<THTTPGet> self(this);
        while (self && self->running_ == run)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

void THTTPGet::deliverProgress(const std::shared_ptr<Running>& run)
{
    int total = 0;
    std::vector<int> steps;
    {
        std::lock_guard lock(run->m);
        if (!run->progressPending || run->owner != this)
            return;
        total = run->progressTotal;
        steps.swap(run->progressReaded);
    }
    // Emitted without the lock held: a handler may cancel or destroy us, and
    // then the rest of the block's events are dropped.
    QPointer<THTTPGet> self(this);
    for (size_t i = 0; i < steps.size(); ++i) {
        if (!self || run->stop.load())
            break;
        emit OnProgress(this, total, steps[i]);
        // A handler that let go of us with deleteLater() ends the block
        // here, as it would if every piece came in an event of its own.
        if (i + 1 < steps.size() && self)
            QCoreApplication::sendPostedEvents(this, QEvent::DeferredDelete);
    }
    {
        std::lock_guard lock(run->m);
        run->progressPending = false;
    }
    run->cv.notify_all();
}

void THTTPGet::finish(const std::shared_ptr<Running>& run)
{
    if (running_ != run)
        return;
    // The worker posted this as its last act; joining waits only for it to
    // return from its run function.
    if (run->thread.joinable())
        run->thread.join();

    bool ok = run->succeeded;
    if (ok && run->stop.load()) {
        // Cancelled after the transfer had already completed: a cancel always
        // ends with OnError and leaves nothing new under the file name.
        ok = false;
        run->errorText = "cancelled";
        if (run->toFile)
            QFile::remove(run->fileName);
    }
    lastSucceeded_ = ok;
    errorText_ = ok ? QString() : QString::fromStdString(run->errorText.empty() ? "failed" : run->errorText);

    // The component stays busy while the completion handler runs, so a fetch
    // started from inside the handler is ignored.
    QPointer<THTTPGet> self(this);
    if (ok && run->toFile)
        emit OnDoneFile(this, run->fileName, ClampInt(run->fileSize));
    else if (ok)
        emit OnDoneString(this, run->result);
    else
        emit OnError(this);
    if (self && self->running_ == run)
        self->running_.reset();
}
