// The state of one running fetch of THTTPGet, shared by the component (on
// its owner's thread, httpget.cpp) and the worker (httpgetrun.cpp).
#pragma once

#include "net/httpget.h"

#include "core/digest.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace flintor::net {

inline int ClampInt(qint64 v)
{
    return static_cast<int>(std::clamp<qint64>(v, INT_MIN, INT_MAX));
}

}  // namespace flintor::net

// One fetch. The worker thread and the owner's thread share it through a
// shared_ptr, so it outlives whichever side ends last. `owner` is the only
// way the worker reaches the component; it is cleared (under `m`) by the
// destructor, and the worker reads it only under `m`.
struct THTTPGet::Running {
    // Copies of the properties, taken when the fetch starts.
    std::string url, agent, accept, user, password, post, referer;
    QString fileName;
    bool binaryData = false, useCache = false, toFile = false;
    flintor::net::FetchLimits limits;
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
    qint64 received = 0;
    QByteArray result;
    std::string errorText;  // why the fetch failed; the first cause found wins

    // Worker-side transfer state.
    CURL* curl = nullptr;
    bool headerChecked = false;
    bool contentLengthKnown = false;
    QFile part;
    core::Sha256 sha;
    qint64 handed = 0;                               // bytes whose progress events have been handed over
    std::chrono::steady_clock::time_point handedAt;  // when the last hand-over ended

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
