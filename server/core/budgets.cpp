#include "core/budgets.h"

#include "service_limits.h"

#include <algorithm>
#include <iterator>

namespace belfry {

double AddressLimit::level(const std::string &address, int64_t now)
{
    const auto it = buckets.find(address);
    if (it == buckets.end())
        return 0;
    Bucket &b = it->second;
    recency.splice(recency.begin(), recency, b.used);
    b.level = std::max(
        0.0, b.level - double(std::max<int64_t>(0, now - b.at)) * double(capacity) / double(period));
    b.at = now;
    return b.level;
}

Allowance AddressLimit::left(const std::string &address, int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex);
    return level(address, now) + 1 > double(capacity) ? Allowance::No : Allowance::Yes;
}

void AddressLimit::give(const std::string &address, int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (level(address, now) > 0) {
        Bucket &b = buckets[address];
        b.level = std::max(0.0, b.level - 1);
    }
}

Allowance AddressLimit::take(const std::string &address, int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex);
    const double before = level(address, now);
    if (before + 1 > double(capacity))
        return Allowance::No;
    const auto it = buckets.find(address);
    if (it != buckets.end()) {
        it->second.level = before + 1;
        return Allowance::Yes;
    }
    if (buckets.size() >= MaxTrackedAddresses) {
        buckets.erase(recency.back());
        recency.pop_back();
    }
    recency.push_front(address);
    buckets[address] = {before + 1, now, recency.begin()};
    return Allowance::Yes;
}

Verdict verdict(Allowance got, const AddressBudget &budget)
{
    if (got == Allowance::Yes)
        return {};
    if (got == Allowance::No)
        return {Result::Ok, true, budget.wait()};
    return {got == Allowance::Full ? Result::Full : Result::Failed};
}

std::unique_ptr<AddressBudget> addressBudget(Storage &storage, const char *limit, int64_t capacity, int64_t period)
{
    std::unique_ptr<AddressBudget> shared = storage.sharedBudget(limit, capacity, period);
    return shared ? std::move(shared) : std::make_unique<AddressLimit>(capacity, period);
}

}  // namespace belfry
