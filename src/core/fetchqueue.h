// Bookkeeping of the first-in-first-out fetch queue: at most one fetch runs,
// the finished head stays until the queue timer removes it.
//
// THTMLQueue: one request of the queue (any web fetch: a catalogue or a build
// archive), fetched by the background getter.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace core {

// What a request fetches; the values are those of the queue's 8-bit kind.
enum class FetchKind : uint8_t {
    None = 0,
    LegacyCatalogue = 1,
    LegacyBuild = 2,
    DevelopCatalogue = 3,
    DevelopBuild = 4,
};

struct THTMLQueue {
    std::string url;
    std::string localFile;
    std::string postData;
    bool binary = false;
    bool toFile = true;
    FetchKind kind = FetchKind::None;
    std::string statusText;
    std::string sha256;  // digest the fetched file must have; "" for none
};

class FetchQueue {
public:
    void Insert(const THTMLQueue& request) { items_.push_back(request); }
    size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    FetchKind ActiveKind() const { return activeKind_; }
    const THTMLQueue& Head() const { return items_.front(); }
    // True when a request of this kind waits or runs (a finished head that
    // waits for its removal does not count).
    bool Holds(FetchKind kind) const;

    // The head to start now, or nullptr: the queue is empty, a fetch is
    // running, or the head has finished and waits for its removal (it must
    // never be fetched twice).
    const THTMLQueue* StartHead();
    // The running fetch has ended; its request stays at the head.
    void FinishActive();
    // Removes the head request (the finished one).
    void RemoveHead();

private:
    std::deque<THTMLQueue> items_;
    FetchKind activeKind_ = FetchKind::None;
    bool headFinished_ = false;
};

// received * 100 / total, truncated; 0 when total is not positive.
int ProgressPercent(long long received, long long total);

// received / 1048576 rounded to at most two significant digits.
double DownloadedMegabytes(long long received);

}  // namespace core
