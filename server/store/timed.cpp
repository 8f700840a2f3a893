#include "store/timed.h"

#include <chrono>

namespace belfry {

namespace {

class TimedStorage final : public Storage
{
public:
    TimedStorage(Storage &inner, Metrics &metrics) : inner(inner), metrics(metrics) { }

    Result beat(const Beat &b, BeatAnswer &a) override { return timed(StoreOp::Beat, [&] { return inner.beat(b, a); }); }
    // Read only, and what a beat gets while the disk is full.
    Result peekBeat(const Beat &b, BeatAnswer &a) override
    {
        return timed(StoreOp::Read, [&] { return inner.peekBeat(b, a); });
    }
    Result unpair(const std::string &pcid, const std::vector<std::string> &ids) override
    {
        return timed(StoreOp::Write, [&] { return inner.unpair(pcid, ids); });
    }
    Result conf(const std::string &pcid, std::map<std::string, std::string> &values) override
    {
        return timed(StoreOp::Read, [&] { return inner.conf(pcid, values); });
    }
    Result latestUpdate(Update &u) override { return timed(StoreOp::Read, [&] { return inner.latestUpdate(u); }); }
    Result ringtone(int64_t id, RingtoneInfo &info) override
    {
        return timed(StoreOp::Read, [&] { return inner.ringtone(id, info); });
    }
    Result ringtoneByFileKey(const std::string &key, RingtoneInfo &info) override
    {
        return timed(StoreOp::Read, [&] { return inner.ringtoneByFileKey(key, info); });
    }
    Result ringtoneFilePart(const RingtoneInfo &info, int64_t offset, size_t length, std::string &bytes) override
    {
        return timed(StoreOp::File, [&] { return inner.ringtoneFilePart(info, offset, length, bytes); });
    }
    Result markDelivered(int64_t id, int64_t now) override
    {
        return timed(StoreOp::Write, [&] { return inner.markDelivered(id, now); });
    }
    Result recordEvent(const std::string &pcid, const std::string &event, int64_t now) override
    {
        return timed(StoreOp::Write, [&] { return inner.recordEvent(pcid, event, now); });
    }
    Result pair(const std::string &pcid, const Device &d, const std::string &token, int64_t now) override
    {
        return timed(StoreOp::Write, [&] { return inner.pair(pcid, d, token, now); });
    }
    Result removePairing(const std::string &pcid, const std::string &device, const std::string &token) override
    {
        return timed(StoreOp::Write, [&] { return inner.removePairing(pcid, device, token); });
    }
    Result checkPairing(const std::string &pcid, const std::string &device, const std::string &token) override
    {
        return timed(StoreOp::Read, [&] { return inner.checkPairing(pcid, device, token); });
    }
    Result waitingLoad(const std::string &pcid, Load &load) override
    {
        return timed(StoreOp::Read, [&] { return inner.waitingLoad(pcid, load); });
    }
    Result addRingtone(const NewRingtone &r, const std::string &bytes) override
    {
        return timed(StoreOp::Write, [&] { return inner.addRingtone(r, bytes); });
    }
    Result sentRingtones(const std::string &pcid, const std::string &device, const std::string &token, size_t limit,
        std::vector<SentRingtone> &out) override
    {
        return timed(StoreOp::Read, [&] { return inner.sentRingtones(pcid, device, token, limit, out); });
    }
    Result withdrawRingtone(const std::string &pcid, const std::string &device, const std::string &token,
        int64_t id) override
    {
        return timed(StoreOp::Write, [&] { return inner.withdrawRingtone(pcid, device, token, id); });
    }
    Result expireRingtones(int64_t before, int64_t &removed) override
    {
        return timed(StoreOp::Write, [&] { return inner.expireRingtones(before, removed); });
    }
    Result expireAnonymous(int64_t events, int64_t pcs) override
    {
        return timed(StoreOp::Write, [&] { return inner.expireAnonymous(events, pcs); });
    }
    Result publishUpdate(const Update &u) override { return timed(StoreOp::Write, [&] { return inner.publishUpdate(u); }); }
    Result setConf(const std::string &pcid, const std::string &key, const std::string &value) override
    {
        return timed(StoreOp::Write, [&] { return inner.setConf(pcid, key, value); });
    }
    Result stats(int64_t now, Stats &s) override { return timed(StoreOp::Read, [&] { return inner.stats(now, s); }); }
    std::unique_ptr<AddressBudget> sharedBudget(const std::string &limit, int64_t capacity, int64_t period) override
    {
        return inner.sharedBudget(limit, capacity, period);
    }

private:
    // A beat writes unless the disk is full; a write that went through says
    // there is room again.
    template<typename Call> Result timed(StoreOp op, Call call)
    {
        const auto started = std::chrono::steady_clock::now();
        const Result r = call();
        metrics.storeSeconds[size_t(op)].observe(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        if (r == Result::Full)
            metrics.diskFull.store(true, std::memory_order_relaxed);
        else if (r == Result::Ok && (op == StoreOp::Write || op == StoreOp::Beat))
            metrics.diskFull.store(false, std::memory_order_relaxed);
        return r;
    }

    Storage &inner;
    Metrics &metrics;
};

}  // namespace

std::unique_ptr<Storage> timedStorage(Storage &inner, Metrics &metrics)
{
    return std::make_unique<TimedStorage>(inner, metrics);
}

}  // namespace belfry
