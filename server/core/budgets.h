#pragma once

// The budgets per source address: how many of a thing an address may do in
// a period, counted in the store when instances share one, else in memory.

#include "store/storage.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace belfry {

// A budget counted in memory, so each instance behind a balancer counts for
// itself: for a store that serves one instance.
class AddressLimit : public AddressBudget
{
public:
    using AddressBudget::AddressBudget;
    Allowance left(const std::string &address, int64_t now) override;
    Allowance take(const std::string &address, int64_t now) override;
    void give(const std::string &address, int64_t now) override;

private:
    double level(const std::string &address, int64_t now);

    struct Bucket
    {
        double level = 0;
        int64_t at = 0;
        std::list<std::string>::iterator used;
    };
    std::mutex mutex;
    std::unordered_map<std::string, Bucket> buckets;
    // The addresses, the one asked of last first: when the table is full
    // the least recently seen goes, never one that keeps asking.
    std::list<std::string> recency;
};

// A budget of an address and of the networks around it (BudgetNestings),
// and, with a ceiling, of all addresses together: an event counts in each,
// and is refused when any has none left.
class NestedBudget : public AddressBudget
{
public:
    NestedBudget(Storage &storage, const char *limit, int64_t capacity, int64_t period, int64_t ceiling);
    Allowance left(const std::string &address, int64_t now) override;
    Allowance take(const std::string &address, int64_t now) override;
    void give(const std::string &address, int64_t now) override;

private:
    // The budgets `address` counts in, each with the key it counts under.
    std::vector<std::pair<AddressBudget *, std::string>> levels(const std::string &address) const;

    // The address's, each nesting's, then the ceiling's if there is one.
    std::vector<std::unique_ptr<AddressBudget>> budgets;
};

// What a rule decided: the store's result, or, with `spent`, a budget of the
// address that has nothing left for `wait` seconds.
struct Verdict
{
    Result result = Result::Ok;
    bool spent = false;
    int64_t wait = 0;
    bool ok() const { return result == Result::Ok && !spent; }
};

// Yes as Ok; No as spent, with the budget's wait; a count the store could
// not take as its failure, so that nobody goes uncounted and nobody is
// refused once the store is back.
Verdict verdict(Allowance got, const AddressBudget &budget);

// `capacity` per `period` seconds for each address under the name `limit`,
// nested (see NestedBudget), with `ceiling` for all addresses when not 0:
// several instances on one store count in it, a single one in memory.
std::unique_ptr<AddressBudget> addressBudget(
    Storage &storage, const char *limit, int64_t capacity, int64_t period, int64_t ceiling = 0);

}  // namespace belfry
