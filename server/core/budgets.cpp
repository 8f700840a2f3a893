#include "core/budgets.h"

#include "rules/networks.h"
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
    return {got == Allowance::Full ? Result::Full : got == Allowance::Away ? Result::Away : Result::Failed};
}

namespace {

std::unique_ptr<AddressBudget> oneBudget(
    Storage &storage, const std::string &limit, int64_t capacity, int64_t period)
{
    std::unique_ptr<AddressBudget> shared = storage.sharedBudget(limit, capacity, period);
    return shared ? std::move(shared) : std::make_unique<AddressLimit>(capacity, period);
}

const std::string Everyone = "*";

}  // namespace

NestedBudget::NestedBudget(Storage &storage, const char *limit, int64_t capacity, int64_t period, int64_t ceiling)
    : AddressBudget(capacity, period)
{
    budgets.push_back(oneBudget(storage, limit, capacity, period));
    for (const Nesting &n : BudgetNestings)
        budgets.push_back(oneBudget(storage, std::string(limit) + "/" + std::to_string(n.bits) + (n.v6 ? "v6" : ""),
            capacity * n.times, period));
    if (ceiling > 0)
        budgets.push_back(oneBudget(storage, std::string(limit) + "/all", ceiling, period));
}

std::vector<std::pair<AddressBudget *, std::string>> NestedBudget::levels(const std::string &address) const
{
    const std::vector<std::string> keys = networksOf(address);
    std::vector<std::pair<AddressBudget *, std::string>> out;
    for (size_t i = 0; i < budgets.size(); ++i) {
        const std::string &key = i < keys.size() ? keys[i] : Everyone;
        if (!key.empty())
            out.emplace_back(budgets[i].get(), key);
    }
    return out;
}

Allowance NestedBudget::left(const std::string &address, int64_t now)
{
    for (const auto &[budget, key] : levels(address))
        if (const Allowance a = budget->left(key, now); a != Allowance::Yes)
            return a;
    return Allowance::Yes;
}

// Looked at first, so that a network with nothing left costs the address
// nothing; one taken meanwhile by another request is given back.
Allowance NestedBudget::take(const std::string &address, int64_t now)
{
    if (const Allowance a = left(address, now); a != Allowance::Yes)
        return a;
    const auto all = levels(address);
    for (size_t i = 0; i < all.size(); ++i) {
        const Allowance a = all[i].first->take(all[i].second, now);
        if (a == Allowance::Yes)
            continue;
        while (i-- > 0)
            all[i].first->give(all[i].second, now);
        return a;
    }
    return Allowance::Yes;
}

void NestedBudget::give(const std::string &address, int64_t now)
{
    for (const auto &[budget, key] : levels(address))
        budget->give(key, now);
}

std::unique_ptr<AddressBudget> addressBudget(
    Storage &storage, const char *limit, int64_t capacity, int64_t period, int64_t ceiling)
{
    return std::make_unique<NestedBudget>(storage, limit, capacity, period, ceiling);
}

}  // namespace belfry
