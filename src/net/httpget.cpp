#include "net/httpget.h"

#include "net/curlsetup.h"

#include "core/digest.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace flintor::net;

namespace {

// Largest piece handed on at once; each piece gets its own progress event.
constexpr size_t kChunk = 1025;
// Most bytes whose events are handed to the owner's thread together: one
// socket read with the receive buffer below.
constexpr qint64 kBlock = 65536;

int ClampInt(qint64 v)
{
    return static_cast<int>(std::clamp<qint64>(v, INT_MIN, INT_MAX));
}

}  // namespace

// One fetch. The worker thread and the owner's thread share it through a
// shared_ptr, so it outlives whichever side ends last. `owner` is the only
// way the worker reaches the component; it is cleared (under `m`) by the
// destructor, and the worker reads it only under `m`.
struct THTTPGet::Running {
    // Copies of the properties, taken when the fetch starts.
    std::string url, agent, accept, user, password, post, referer;
    QString fileName;
    bool binaryData = false, useCache = false, toFile = false;
    long timeoutMs = 90000;
    std::string expectedSha256;  // lower case, or "" for no check

    std::atomic<bool> stop{false};

    std::mutex m;
    std::condition_variable cv;
    THTTPGet* owner = nullptr;        // guarded by m; null once the component is gone
    bool progressPending = false;     // guarded by m; progress events await their handler
    int progressTotal = 0;            // guarded by m
    std::vector<int> progressReaded;  // guarded by m; bytes received after each piece

    std::thread thread;

    // Written by the worker only; read by the owner after the worker ended.
    bool succeeded = false;
    qint64 fileSize = 0;
    qint64 readed = 0;
    QByteArray result;
    std::string errorText;  // why the fetch failed; the first cause found wins

    // Worker-side transfer state.
    CURL* curl = nullptr;
    bool headerChecked = false;
    bool contentLengthKnown = false;
    QFile part;
    core::Sha256 sha;

    void fail(const std::string& why)
    {
        if (errorText.empty())
            errorText = why;
    }

    void work(std::shared_ptr<Running> self);
    bool checkResponse();
    qint64 handed = 0;  // bytes whose progress events have been handed over
    bool handOn(const std::shared_ptr<Running>& self, const char* data, size_t n);
    bool flush(const std::shared_ptr<Running>& self);
    bool sendProgress(const std::shared_ptr<Running>& self, std::vector<int> steps);
    void postCompletion(const std::shared_ptr<Running>& self);
};

namespace {

struct WriteContext {
    THTTPGet::Running* run;
    std::shared_ptr<THTTPGet::Running> self;
};

size_t OnBody(char* data, size_t size, size_t count, void* userp)
{
    auto* ctx = static_cast<WriteContext*>(userp);
    const size_t total = size * count;
    if (!ctx->run->checkResponse())
        return 0;
    if (!ctx->run->handOn(ctx->self, data, total))
        return 0;  // libcurl ends the transfer with a write error
    return total;
}

// libcurl calls this after each pass of its transfer loop, that is after each
// socket read: the read's pieces are handed over here.
int OnTick(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* ctx = static_cast<WriteContext*>(clientp);
    if (ctx->run->stop.load())
        return 1;
    return ctx->run->flush(ctx->self) ? 0 : 1;
}

}  // namespace

// Looks at the final answer's head once, before its first body byte:
// a status other than 2xx fails the fetch, and with BinaryData an answer
// without Content-Length is not read at all.
bool THTTPGet::Running::checkResponse()
{
    if (headerChecked)
        return true;
    headerChecked = true;
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (!IsSuccessStatus(code)) {
        fail(DescribeFailure(CURLE_OK, code, nullptr));
        return false;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    contentLengthKnown = length >= 0;
    fileSize = contentLengthKnown ? length : 0;
    if (!contentLengthKnown && binaryData) {
        fail("answer without Content-Length");
        return false;
    }
    if (toFile) {
        part.setFileName(fileName + QStringLiteral(".part"));
        // Unbuffered: each block goes to the file in one write, without a copy.
        if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            fail("cannot write " + part.fileName().toStdString());
            return false;
        }
    }
    return true;
}

// Stores what the transfer delivered. libcurl hands a socket read (up to
// 64 KiB) to this hook in slices of at most 16 KiB; the progress of the
// whole read is handed over once, by flush(), when libcurl has finished the
// read. One hand-over per read instead of one per piece keeps the two
// threads from switching for every kilobyte.
bool THTTPGet::Running::handOn(const std::shared_ptr<Running>& self, const char* data, size_t n)
{
    if (stop.load())
        return false;
    // Never more than one block unreported.
    if (readed > handed && readed - handed + static_cast<qint64>(n) > kBlock && !flush(self))
        return false;
    if (toFile) {
        if (part.write(data, static_cast<qint64>(n)) != static_cast<qint64>(n)) {
            fail("cannot write " + part.fileName().toStdString());
            return false;
        }
    } else {
        result.append(data, static_cast<qsizetype>(n));
    }
    if (!expectedSha256.empty())
        sha.Update(data, n);
    readed += static_cast<qint64>(n);
    return true;
}

// Hands the owner's thread the progress of each piece of at most kChunk bytes
// received since the last hand-over, in one go, and waits until the handler
// has raised all their events.
bool THTTPGet::Running::flush(const std::shared_ptr<Running>& self)
{
    if (readed == handed)
        return !stop.load();
    std::vector<int> steps;
    steps.reserve(static_cast<size_t>((readed - handed) / static_cast<qint64>(kChunk) + 1));
    while (handed < readed) {
        handed += std::min(static_cast<qint64>(kChunk), readed - handed);
        steps.push_back(ClampInt(handed));
    }
    return sendProgress(self, std::move(steps));
}

// Hands progress events to the owner's thread and waits until its handler
// has run them all, or until the component is destroyed or the fetch
// cancelled. The wait is on our own condition variable, not a blocking
// queued connection, so a destructor that joins this thread can always wake it.
bool THTTPGet::Running::sendProgress(const std::shared_ptr<Running>& self, std::vector<int> steps)
{
    std::unique_lock lock(m);
    if (!owner || stop.load())
        return false;
    progressPending = true;
    progressTotal = ClampInt(fileSize);
    progressReaded = std::move(steps);
    THTTPGet* target = owner;
    QMetaObject::invokeMethod(
        target, [target, self] { target->deliverProgress(self); }, Qt::QueuedConnection);
    cv.wait(lock, [this] { return !progressPending || !owner || stop.load(); });
    return owner && !stop.load();
}

void THTTPGet::Running::postCompletion(const std::shared_ptr<Running>& self)
{
    std::lock_guard lock(m);
    if (!owner)
        return;
    THTTPGet* target = owner;
    QMetaObject::invokeMethod(
        target, [target, self] { target->finish(self); }, Qt::QueuedConnection);
}

void THTTPGet::Running::work(std::shared_ptr<Running> self)
{
    curl = curl_easy_init();
    if (curl && !stop.load()) {
        RedirectGuard guard;
        ApplyCommonOptions(curl, url, &guard, timeoutMs);
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
        // Read in large blocks (fewer system calls and fewer hand-overs to
        // the owner's thread); each block's pieces of at most kChunk bytes
        // get one progress event each.
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 65536L);
        char errbuf[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
        if (!agent.empty())
            curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
        if (!referer.empty())
            curl_easy_setopt(curl, CURLOPT_REFERER, referer.c_str());
        if (!user.empty() || !password.empty()) {
            curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
        }
        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, ("Accept: " + accept).c_str());
        if (!useCache) {
            headers = curl_slist_append(headers, "Cache-Control: no-cache");
            headers = curl_slist_append(headers, "Pragma: no-cache");
        }
        if (!post.empty()) {
            headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.size()));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post.data());
        } else {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

        WriteContext ctx{this, self};
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnTick);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &ctx);

        const CURLcode rc = curl_easy_perform(curl);
        // The last read's events, should libcurl have ended without another pass.
        if (rc == CURLE_OK && !stop.load())
            flush(self);
        if (stop.load())
            fail("cancelled");
        else if (rc != CURLE_OK)
            fail(guard.refused ? "redirect from https to http refused" : DescribeFailure(rc, 0, errbuf));
        // An answer with an empty body never reaches the write hook.
        bool ok = rc == CURLE_OK && !stop.load() && checkResponse();
        if (ok) {
            if (toFile) {
                // Complete exactly when the announced length arrived; without
                // a Content-Length only an empty body counts as complete.
                ok = contentLengthKnown ? readed == fileSize : readed == 0;
                if (!ok)
                    fail("incomplete answer (" + std::to_string(readed) + " of " + std::to_string(fileSize) +
                         " bytes)");
                if (ok && part.isOpen() && !part.flush()) {
                    ok = false;
                    fail("cannot write " + part.fileName().toStdString());
                }
                if (ok && !expectedSha256.empty() && sha.FinalHex() != expectedSha256) {
                    ok = false;
                    fail("SHA-256 digest does not match");
                }
            } else {
                ok = readed != 0;
                if (!ok)
                    fail("empty answer");
            }
        }
        if (toFile) {
            if (part.isOpen())
                part.close();
            if (ok) {
                // Rename over any older file in one step, so FileName is
                // either the old file or the complete new one.
                const QByteArray from = QFile::encodeName(part.fileName());
                const QByteArray to = QFile::encodeName(fileName);
                ok = std::rename(from.constData(), to.constData()) == 0;
                if (!ok)
                    fail("cannot write " + fileName.toStdString());
            }
            if (!ok && !part.fileName().isEmpty())
                QFile::remove(part.fileName());
        }
        succeeded = ok;
        curl_slist_free_all(headers);
    }
    if (curl)
        curl_easy_cleanup(curl);
    curl = nullptr;
    postCompletion(self);
}

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
    run->timeoutMs = TimeoutMs;
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
