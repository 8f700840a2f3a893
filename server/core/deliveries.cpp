#include "core/deliveries.h"

#include "service_limits.h"

#include <algorithm>

namespace belfry {

std::shared_ptr<void> Deliveries::sending(int64_t id)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++inFlight[id];
    return std::shared_ptr<void>(nullptr, [this, id](void *) {
        std::lock_guard<std::mutex> lock(mutex);
        if (--inFlight[id] == 0)
            inFlight.erase(id);
    });
}

bool Deliveries::unrecorded(int64_t id)
{
    std::lock_guard<std::mutex> lock(mutex);
    return unwritten.size() < MaxUnrecordedDeliveries && unwritten.insert(id).second;
}

bool Deliveries::isUnrecorded(int64_t id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return unwritten.count(id) > 0;
}

void Deliveries::hide(std::vector<int64_t> &waiting) const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (inFlight.empty() && unwritten.empty())
        return;
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                      [this](int64_t id) {
                          return inFlight.count(id) || unwritten.count(id);
                      }),
        waiting.end());
}

std::vector<int64_t> Deliveries::unrecordedIds() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return {unwritten.begin(), unwritten.end()};
}

void Deliveries::recorded(int64_t id)
{
    std::lock_guard<std::mutex> lock(mutex);
    unwritten.erase(id);
}

}  // namespace belfry
