// The PostgreSQL backend's housekeeping and administration: expiry, updates,
// settings, statistics, and the budgets per address that all instances share.

#include "store/pg_db.h"

#include <algorithm>

namespace belfry::pg {

namespace {

// What one event adds to a bucket, in whole milliseconds, so that
// `capacity` events at once fit exactly.
int64_t event(const AddressBudget &budget)
{
    return std::max<int64_t>(1, budget.period * 1000 / budget.capacity);
}

// A bucket is kept in units of its budget's events, so it is shared by the
// instances that run the same limit, and one set otherwise counts apart.
class PgBudget : public AddressBudget
{
public:
    PgBudget(PgStorage &store, const std::string &limit, int64_t capacity, int64_t period)
        : AddressBudget(capacity, period)
        , store(store)
        , limit(limit + "/" + std::to_string(capacity) + "/" + std::to_string(period))
    { }
    Allowance left(const std::string &address, int64_t now) override
    {
        return store.spend(limit, *this, address, now, false);
    }
    Allowance take(const std::string &address, int64_t now) override
    {
        return store.spend(limit, *this, address, now, true);
    }
    void give(const std::string &address, int64_t) override { store.giveBack(limit, event(*this), address); }

private:
    PgStorage &store;
    const std::string limit;
};

}  // namespace

// A sweep deletes in batches of SweepBatchRows, one statement each: the
// beats' connections and the log of changes never carry a whole sweep at once.
// `removed` counts what went, also when a later batch fails.
Result PgStorage::inBatches(const char *statement, int64_t before, bool durably, int64_t &removed)
{
    removed = 0;
    for (;;) {
        Rows rows;
        const Params params = Params().number(before).number(int64_t(SweepBatchRows));
        const Result r = durably ? durable(statement, params, rows) : run(statement, params, rows);
        if (r != Result::Ok)
            return r;
        removed += rows.affected();
        if (rows.affected() < int64_t(SweepBatchRows))
            return r;
    }
}

Result PgStorage::expireRingtones(int64_t createdBefore, int64_t &removed)
{
    return inBatches("expire", createdBefore, true, removed);
}

Result PgStorage::expireAnonymous(int64_t eventsBefore, int64_t pcsBefore)
{
    int64_t removed = 0;
    const Result r = inBatches("expire_events", eventsBefore / DaySeconds, false, removed);
    return r == Result::Ok ? inBatches("expire_pcs", pcsBefore, false, removed) : r;
}

Result PgStorage::publishUpdate(const Update &update)
{
    Rows rows;
    return durable("publish", Params().text(update.version).text(update.url).number(update.published), rows);
}

Result PgStorage::setConf(const std::string &pcid, const std::string &key, const std::string &value)
{
    Rows rows;
    return value.empty() ? durable("unset_conf", Params().text(pcid).text(key), rows)
                         : durable("set_conf", Params().text(pcid).text(key).text(value), rows);
}

Result PgStorage::stats(int64_t now, Stats &stats)
{
    stats = Stats();
    // One snapshot for both statements, so the figures agree with each other.
    return transaction(
        [&](Connection &c) {
            Rows rows;
            if (!exec(c, "stats", Params().number(now).number(OnlineGraceSeconds), rows))
                return Result::Failed;
            stats.pcs = rows.number(0, 0);
            stats.pcsOnline = rows.number(0, 1);
            stats.pairings = rows.number(0, 2);
            stats.ringtonesWaiting = rows.number(0, 3);
            stats.ringtonesDelivered = rows.number(0, 4);
            if (!exec(c, "event_counts", Params().number(MaxStatsEvents), rows))
                return Result::Failed;
            for (int i = 0; i < rows.count(); ++i)
                stats.events[rows.text(i, 0)] = rows.number(i, 1);
            return Result::Ok;
        },
        "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
}

std::unique_ptr<AddressBudget> PgStorage::sharedBudget(
    const std::string &limit, int64_t capacity, int64_t period)
{
    return std::make_unique<PgBudget>(*this, limit, capacity, period);
}

void PgStorage::giveBack(const std::string &limit, int64_t event, const std::string &address)
{
    write("budget_give", Params().text(limit).text(address).number(event));
}

Allowance PgStorage::spend(
    const std::string &limit, const AddressBudget &budget, const std::string &address, int64_t now, bool take)
{
    Rows rows;
    int64_t due = nextBudgetSweep.load();
    if (take && now >= due && nextBudgetSweep.compare_exchange_strong(due, now + BudgetSweepSeconds))
        run("budget_sweep", Params().number(now * 1000), rows);
    const Params params = Params().text(limit).text(address).number(now * 1000).number(event(budget)).number(
        event(budget) * budget.capacity);
    const Result r = run(take ? "budget_take" : "budget_left", params, rows);
    if (r != Result::Ok)
        return r == Result::Full ? Allowance::Full : r == Result::Away ? Allowance::Away : Allowance::Failed;
    return (rows.count() == 1) == take ? Allowance::Yes : Allowance::No;
}

}  // namespace belfry::pg
