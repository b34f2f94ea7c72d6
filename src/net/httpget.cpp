#include "net/httpget.h"

#include "net/curlsetup.h"

#include "core/digest.h"

#include <QCoreApplication>
#include <QFile>
#include <QPointer>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

using namespace flintor::net;

namespace {

using Clock = std::chrono::steady_clock;

// Largest piece handed on at once; each piece gets its own progress event.
constexpr size_t kChunk = 1025;
// Most bytes whose events are handed to the owner's thread together, and the
// receive buffer: each hand-over wakes the owner's thread and waits for it,
// so few large ones cost far less than many small ones.
constexpr qint64 kBlock = 1024 * 1024;
// Longest time received bytes wait before their events are handed over, so a
// slow transfer still moves the progress bar.
constexpr auto kHandOverInterval = std::chrono::milliseconds(100);

int ClampInt(qint64 v)
{
    return static_cast<int>(std::clamp<qint64>(v, INT_MIN, INT_MAX));
}

struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

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
    FetchLimits limits;
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
    qint64 handed = 0;           // bytes whose progress events have been handed over
    Clock::time_point handedAt;  // when the last hand-over ended

    void fail(const std::string& why)
    {
        if (errorText.empty())
            errorText = why;
    }

    void work(const std::shared_ptr<Running>& self);
    bool transfer(const std::shared_ptr<Running>& self);
    bool finishFile(bool ok);
    bool checkResponse();
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

// What an exception caught in a libcurl callback or the worker says.
std::string Caught()
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& e) {
        return std::string("internal error: ") + e.what();
    } catch (...) {
        return "internal error";
    }
}

// libcurl's callbacks are C: nothing may be thrown through them. A failure
// inside returns the value that ends the transfer.
size_t OnBody(char* data, size_t size, size_t count, void* userp)
{
    auto* ctx = static_cast<WriteContext*>(userp);
    try {
        const size_t total = size * count;
        if (!ctx->run->checkResponse() || !ctx->run->handOn(ctx->self, data, total))
            return 0;  // libcurl ends the transfer with a write error
        return total;
    } catch (...) {
        ctx->run->fail(Caught());
        return 0;
    }
}

// libcurl calls this after each pass of its transfer loop, that is after each
// socket read, and about once a second while nothing arrives.
int OnTick(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* ctx = static_cast<WriteContext*>(clientp);
    try {
        if (ctx->run->stop.load())
            return 1;
        if (Clock::now() - ctx->run->handedAt < kHandOverInterval)
            return 0;
        return ctx->run->flush(ctx->self) ? 0 : 1;
    } catch (...) {
        ctx->run->fail(Caught());
        return 1;
    }
}

}  // namespace

// Looks at the final answer's head once, before its first body byte:
// a status other than 2xx fails the fetch, and so does an announced length
// above the size cap; with BinaryData an answer without Content-Length is
// not read at all.
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
    if (contentLengthKnown && limits.maxBytes > 0 && length > limits.maxBytes) {
        fail(SizeLimitText(limits.maxBytes));
        return false;
    }
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

// Stores what the transfer delivered (libcurl hands it over in slices of at
// most 16 KiB). The progress of what arrived is handed over by flush(): when
// a block is full, from OnTick when the interval has passed, and at the end.
bool THTTPGet::Running::handOn(const std::shared_ptr<Running>& self, const char* data, size_t n)
{
    if (stop.load())
        return false;
    const auto size = static_cast<qint64>(n);
    if (limits.maxBytes > 0 && size > limits.maxBytes - readed) {
        fail(SizeLimitText(limits.maxBytes));
        return false;
    }
    // Never more than one block unreported.
    if (readed > handed && readed - handed + size > kBlock && !flush(self))
        return false;
    if (toFile) {
        if (part.write(data, size) != size) {
            fail("cannot write " + part.fileName().toStdString());
            return false;
        }
    } else {
        result.append(data, static_cast<qsizetype>(n));
    }
    if (!expectedSha256.empty())
        sha.Update(data, n);
    readed += size;
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
    const bool ok = sendProgress(self, std::move(steps));
    handedAt = Clock::now();
    return ok;
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

// Runs the transfer; true when the whole answer arrived and passed its checks.
bool THTTPGet::Running::transfer(const std::shared_ptr<Running>& self)
{
    RedirectGuard guard;
    ApplyCommonOptions(curl, url, &guard, limits);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(kBlock));
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
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    const auto add = [&headers](const std::string& line) {
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (!grown)
            throw std::bad_alloc();
        (void)headers.release();
        headers.reset(grown);
    };
    add("Accept: " + accept);
    if (!useCache) {
        add("Cache-Control: no-cache");
        add("Pragma: no-cache");
    }
    if (!post.empty()) {
        add("Content-Type: application/x-www-form-urlencoded");
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post.data());
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

    WriteContext ctx{this, self};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnTick);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &ctx);

    const Clock::time_point start = Clock::now();
    handedAt = start;
    const CURLcode rc = curl_easy_perform(curl);
    const long elapsedMs =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    // The last events, should libcurl have ended without another pass.
    if (rc == CURLE_OK && !stop.load())
        flush(self);
    if (stop.load())
        fail("cancelled");
    else if (guard.refused)
        fail("redirect from https to http refused");
    else if (rc == CURLE_OPERATION_TIMEDOUT)
        fail(TimeLimitText(limits, elapsedMs));
    else if (rc != CURLE_OK)
        fail(DescribeFailure(rc, 0, errbuf));
    // An answer with an empty body never reaches the write hook.
    if (rc != CURLE_OK || stop.load() || !checkResponse())
        return false;
    if (!toFile) {
        if (readed == 0)
            fail("empty answer");
        return readed != 0;
    }
    // Complete exactly when the announced length arrived; without a
    // Content-Length only an empty body counts as complete.
    if (contentLengthKnown ? readed != fileSize : readed != 0) {
        fail("incomplete answer (" + std::to_string(readed) + " of " + std::to_string(fileSize) + " bytes)");
        return false;
    }
    if (part.isOpen() && !part.flush()) {
        fail("cannot write " + part.fileName().toStdString());
        return false;
    }
    if (!expectedSha256.empty() && sha.FinalHex() != expectedSha256) {
        fail("SHA-256 digest does not match");
        return false;
    }
    return true;
}

// Puts a complete file in place, or removes what a failed one left.
bool THTTPGet::Running::finishFile(bool ok)
{
    if (part.isOpen())
        part.close();
    if (ok) {
        // Rename over any older file in one step, so FileName is either the
        // old file or the complete new one.
        const QByteArray from = QFile::encodeName(part.fileName());
        const QByteArray to = QFile::encodeName(fileName);
        ok = std::rename(from.constData(), to.constData()) == 0;
        if (!ok)
            fail("cannot write " + fileName.toStdString());
    }
    if (!ok && !part.fileName().isEmpty())
        QFile::remove(part.fileName());
    return ok;
}

void THTTPGet::Running::work(const std::shared_ptr<Running>& self)
{
    bool ok = false;
    curl = curl_easy_init();
    if (!curl)
        fail("cannot start a transfer");
    try {
        if (curl && !stop.load())
            ok = transfer(self);
    } catch (...) {
        fail(Caught());
        ok = false;
    }
    if (toFile)
        ok = finishFile(ok);
    succeeded = ok;
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
