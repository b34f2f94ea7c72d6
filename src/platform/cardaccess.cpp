#include "platform/cardaccess.h"

namespace platform {

namespace {
std::unique_ptr<CardAccess>& Current()
{
    static std::unique_ptr<CardAccess> current;
    return current;
}
}  // namespace

CardAccess& Cards()
{
    if (!Current())
        Current() = MakeAccess(BackendChoice::Auto, nullptr);
    return *Current();
}

void SetCards(std::unique_ptr<CardAccess> access)
{
    Current() = std::move(access);
}

}  // namespace platform
