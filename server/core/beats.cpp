#include "core/beats.h"

#include "service_limits.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <tuple>

namespace belfry {

namespace {

std::atomic<int64_t> nextDiskFullLine {0};

}  // namespace

int64_t wallClock()
{
    return int64_t(std::time(nullptr));
}

void noteDiskFull()
{
    const int64_t at = wallClock();
    int64_t due = nextDiskFullLine.load();
    if (at >= due && nextDiskFullLine.compare_exchange_strong(due, at + DiskFullLogSeconds))
        std::fprintf(stderr,
            "belfry-service: the service's disk is full: uploads and pairings are refused, beats are "
            "answered from what is stored, until there is room again\n");
}

Beats::Beats(Storage &storage, int64_t keepSeconds, int64_t newPcsPerDay, Clock clock)
    : storage(storage)
    , keepSeconds(keepSeconds)
    , clock(std::move(clock))
    , newPcs(addressBudget(storage, "new-pcs", newPcsPerDay, DaySeconds, newPcsPerDay * NewPcsCeilingTimes))
    , misses(addressBudget(storage, "misses", MissesPerHour, HourSeconds))
{ }

Verdict Beats::beat(Beat &beat, BeatAnswer &got)
{
    beat.now = now();
    beat.mayCreate = false;
    expire();
    Result r = storage.beat(beat, got);
    // Only a PC not seen before costs its address: a known one's beat never counts.
    if (r == Result::NotFound) {
        // A budget the full disk cannot count is no reason to refuse: the
        // beat could not create its PC anyway, and is answered as below.
        const Allowance counted = newPcs->take(beat.address, beat.now);
        if (counted == Allowance::Full) {
            r = Result::Full;
        } else {
            if (counted != Allowance::Yes)
                return verdict(counted, *newPcs);
            beat.mayCreate = true;
            r = storage.beat(beat, got);
        }
    }
    // Fetching is what frees the space: a full disk must not stop the PCs.
    if (r == Result::Full) {
        noteDiskFull();
        confirmWhileFull(beat);
        r = storage.peekBeat(beat, got);
        if (r == Result::Ok)
            listedWhileFull(got.waiting, beat.address, beat.now);
    }
    deliveries.hide(got.waiting);
    return {r};
}

// What a PC confirms while nothing can be written is kept in memory, its
// own ringtones only, and written once there is room.
void Beats::confirmWhileFull(const Beat &beat)
{
    for (int64_t id : beat.got) {
        RingtoneInfo info;
        if (storage.ringtone(id, info) == Result::Ok && info.pcid == beat.pcid && !info.delivered
            && !deliveries.isUnrecorded(id) && deliveries.unrecorded(id))
            std::fprintf(stderr, "ringtone %lld was confirmed; the delivery is not recorded yet (the disk is full): it is kept in memory and tried again\n", (long long)id);
    }
}

Verdict Beats::mayLookUp(const std::string &address)
{
    // Past the limit nothing is looked up, hits included: a guesser learns nothing more.
    return verdict(misses->left(address, now()), *misses);
}

Result Beats::lookup(int64_t id, const std::string &address, RingtoneInfo &info)
{
    const int64_t at = now();
    const Result r = storage.ringtone(id, info);
    if (r != Result::Ok && r != Result::NotFound)
        return r;
    lastListed(info);
    // A delivered ringtone is gone for good: its file is not served again.
    // The program's lookup carries no client id: a ringtone is only handed to
    // where a beat that listed it came from, and only for a while. To anyone
    // else it does not exist.
    const bool listedHere = r == Result::Ok && info.announcedTo == address;
    if (!listedHere || info.delivered || deliveries.isUnrecorded(id) || at - info.announcedAt > AnnouncementSeconds) {
        // A PC asking again for what it fetched a moment ago is no guesser.
        if (!listedHere)
            misses->take(address, at);
        return Result::NotFound;
    }
    return Result::Ok;
}

Result Beats::file(const std::string &fileKey, RingtoneInfo &info)
{
    const Result r = storage.ringtoneByFileKey(fileKey, info);
    if (r == Result::Ok && (info.delivered || deliveries.isUnrecorded(info.id)))
        return Result::NotFound;
    return r;
}

std::function<std::string()> Beats::onClose(const RingtoneInfo &info)
{
    if (info.receipts)
        return {};
    return [this, id = info.id, held = deliveries.sending(info.id)] {
        return delivered(id);
    };
}

// What the log says of it.
std::string Beats::delivered(int64_t id)
{
    const Result r = storage.markDelivered(id, now());
    if (r == Result::Ok || r == Result::NotFound)
        return "delivered";
    if (r == Result::Full)
        noteDiskFull();
    if (!deliveries.unrecorded(id))
        return "delivered; not recorded, and too many others wait to be: it may be listed again";
    return "delivered; not recorded yet (the store cannot write): kept in memory and tried again";
}

void Beats::expire()
{
    const int64_t at = now();
    retryDeliveries(at);
    int64_t due = nextExpiry.load();
    if (at < due
        || !nextExpiry.compare_exchange_strong(due, at + std::min(ExpiryIntervalSeconds, keepSeconds)))
        return;
    int64_t removed = 0;
    if (storage.expireRingtones(at - keepSeconds, removed) == Result::Ok && removed > 0)
        std::fprintf(stderr, "expired %lld ringtones that waited longer than %lld s\n", (long long)removed,
            (long long)keepSeconds);
    storage.expireAnonymous(at - EventKeepSeconds, at - UnpairedPcKeepSeconds);
}

// Deliveries the store could not write go in once it can.
void Beats::retryDeliveries(int64_t at)
{
    int64_t due = nextRetry.load();
    if (at < due || !nextRetry.compare_exchange_strong(due, at + DeliveryRetrySeconds))
        return;
    for (int64_t id : deliveries.unrecordedIds()) {
        const Result r = storage.markDelivered(id, at);
        if (r != Result::Ok && r != Result::NotFound)
            return;
        deliveries.recorded(id);
        std::fprintf(stderr, "the delivery of ringtone %lld is recorded\n", (long long)id);
    }
}

void Beats::listedWhileFull(const std::vector<int64_t> &ids, const std::string &address, int64_t at)
{
    std::lock_guard<std::mutex> lock(listedMutex);
    if (listed.size() + ids.size() > MaxTrackedAddresses)
        listed.clear();
    for (int64_t id : ids)
        listed[id] = {address, at};
}

void Beats::lastListed(RingtoneInfo &info)
{
    std::lock_guard<std::mutex> lock(listedMutex);
    const auto it = listed.find(info.id);
    if (it != listed.end() && it->second.second > info.announcedAt)
        std::tie(info.announcedTo, info.announcedAt) = it->second;
}

}  // namespace belfry
