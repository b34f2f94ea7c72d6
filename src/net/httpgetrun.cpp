// The worker side of THTTPGet: the transfer on its own thread, and the
// hand-over of progress to the owner's thread.
#include "net/httpgetrun.h"

#include "net/curlsetup.h"

#include <QMetaObject>

#include <cstdio>
#include <new>

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

struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

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
    if (limits.maxBytes > 0 && size > limits.maxBytes - received) {
        fail(SizeLimitText(limits.maxBytes));
        return false;
    }
    // Never more than one block unreported.
    if (received > handed && received - handed + size > kBlock && !flush(self))
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
    received += size;
    return true;
}

// Hands the owner's thread the progress of each piece of at most kChunk bytes
// received since the last hand-over, in one go, and waits until the handler
// has raised all their events.
bool THTTPGet::Running::flush(const std::shared_ptr<Running>& self)
{
    if (received == handed)
        return !stop.load();
    std::vector<int> steps;
    steps.reserve(static_cast<size_t>((received - handed) / static_cast<qint64>(kChunk) + 1));
    while (handed < received) {
        handed += std::min(static_cast<qint64>(kChunk), received - handed);
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
        if (received == 0)
            fail("empty answer");
        return received != 0;
    }
    // Complete exactly when the announced length arrived; without a
    // Content-Length only an empty body counts as complete.
    if (contentLengthKnown ? received != fileSize : received != 0) {
        fail("incomplete answer (" + std::to_string(received) + " of " + std::to_string(fileSize) + " bytes)");
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
