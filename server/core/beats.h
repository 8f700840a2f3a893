#pragma once

// What a PC is told and what it may fetch: the budget for PCs not seen
// before, answers from what is stored while the disk is full, which address
// was told of which ringtone, receipts and deliveries, and the removal of
// what waited too long.

#include "core/budgets.h"
#include "core/deliveries.h"
#include "store/storage.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

namespace belfry {

// Seconds since the epoch; the rule tests turn their own.
using Clock = std::function<int64_t()>;
int64_t wallClock();

// While the disk stays full every write says so: the log says it at most
// once a minute.
void noteDiskFull();

class Beats
{
public:
    Beats(Storage &storage, int64_t keepSeconds, int64_t newPcsPerDay, Clock clock = wallClock);

    // Records a PC's beat and fills `got` with what it is told; on a full
    // disk answers from what is stored. A PC not seen before costs its
    // address a unit of the new-PC budget.
    Verdict beat(Beat &beat, BeatAnswer &got);
    // Whether `address` may look a ringtone up at all: lookups of what was
    // never listed there spend its budget.
    Verdict mayLookUp(const std::string &address);
    // The ringtone `id` as `address` may look it up: NotFound unless a beat
    // from there listed it lately and it is still waiting.
    Result lookup(int64_t id, const std::string &address, RingtoneInfo &info);
    // The ringtone whose file is `fileKey`, while it may still be fetched.
    Result file(const std::string &fileKey, RingtoneInfo &info);
    // What the close after the file's last byte does: for a PC that does
    // not confirm, records the delivery and says what the log says of it;
    // for one that does, nothing (empty): it says itself what it stored.
    // No beat lists the ringtone while this is held.
    std::function<std::string()> onClose(const RingtoneInfo &info);
    // Removes what waited too long, at most once in a while, and writes the
    // deliveries the store could not take before.
    void expire();
    int64_t now() const { return clock(); }

private:
    void confirmWhileFull(const Beat &beat);
    std::string delivered(int64_t id);
    void retryDeliveries(int64_t now);
    // A beat whose write failed still lists its ringtones: where and when is
    // kept here until the store can say it again.
    void listedWhileFull(const std::vector<int64_t> &ids, const std::string &address, int64_t at);
    void lastListed(RingtoneInfo &info);

    Storage &storage;
    const int64_t keepSeconds;
    const Clock clock;
    // Per source address: PCs not seen before, lookups of ringtones never listed to it.
    std::unique_ptr<AddressBudget> newPcs, misses;
    std::atomic<int64_t> nextExpiry {0};
    std::atomic<int64_t> nextRetry {0};
    std::mutex listedMutex;
    std::unordered_map<int64_t, std::pair<std::string, int64_t>> listed;
    Deliveries deliveries;
};

}  // namespace belfry
