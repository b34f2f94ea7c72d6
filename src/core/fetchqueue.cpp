#include "core/fetchqueue.h"

#include <cmath>

namespace core {

const THTMLQueue* FetchQueue::StartHead()
{
    if (items_.empty() || activeKind_ != FetchKind::None || headFinished_)
        return nullptr;
    activeKind_ = items_.front().kind;
    return &items_.front();
}

void FetchQueue::FinishActive()
{
    if (activeKind_ != FetchKind::None && !items_.empty())
        headFinished_ = true;
    activeKind_ = FetchKind::None;
}

bool FetchQueue::Holds(FetchKind kind) const
{
    for (size_t i = headFinished_ ? 1 : 0; i < items_.size(); ++i)
        if (items_[i].kind == kind)
            return true;
    return false;
}

void FetchQueue::RemoveHead()
{
    if (!items_.empty())
        items_.pop_front();
    headFinished_ = false;
}

int ProgressPercent(long long received, long long total)
{
    if (total <= 0)
        return 0;
    return static_cast<int>(received * 100 / total);
}

double DownloadedMegabytes(long long received)
{
    const double mb = static_cast<double>(received) / 1048576.0;
    if (mb <= 0)
        return 0;
    const double magnitude = std::pow(10.0, std::floor(std::log10(mb)) - 1);
    return std::round(mb / magnitude) * magnitude;
}

}  // namespace core
