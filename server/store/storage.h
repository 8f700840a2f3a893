#pragma once

#include "service_limits.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Everything the service keeps between requests goes through this interface,
// so one service binary can run on a local SQLite file or on a PostgreSQL
// cluster shared by several service machines.
//
// Rules every backend follows:
// - Every method may be called concurrently from the HTTP worker threads.
// - Every method that changes something does it in one transaction: it either
//   happens completely or not at all, also when the process dies meanwhile.
// - Times are whole seconds since the Unix epoch, passed in by the caller, so
//   the backends never read the clock themselves.
// - Inputs arrive already checked by the service (forms, lengths, sizes).
// - On Result::Failed the backend has written one diagnostic line to stderr
//   (prefixed with "storage: "); the service answers 500 and goes on.
// - On Result::Full it has written nothing to stderr: while its disk stays
//   full every write says so, and the service logs it once in a while.
// - Ringtone files are kept by the backend, next to its rows, so that a row is
//   never visible without its complete file and no file outlives its row
//   longer than until the next start.
namespace belfry {

enum class Result {
    Ok,
    NotFound,  // no such row (unknown ringtone, unknown pairing, no update)
    Denied,  // the pairing or its token does not match
    Conflict,  // a unique value is taken (ringtone id or file key): pick another
    OverQuota,  // the PC has too many ringtones waiting: nothing was stored
    Full,  // the store's disk is full: nothing was written
    Failed,  // the database failed; already logged
    Away,  // the database cannot be reached (or no connection came free): try again shortly
};

// A heartbeat of one PC.
struct Beat
{
    std::string pcid;
    std::string version;
    int64_t expire = 0;  // seconds until the PC's next beat; 1 when it quits
    int64_t now = 0;
    // A farewell beat only records the PC: it takes nothing that must be
    // reported once (new pairings, the lost pairing) because the program is
    // about to end and could not keep it.
    bool farewell = false;
    // Where the beat came from. Every waiting ringtone the beat lists is
    // recorded as announced to this address at `now` (the latest wins).
    std::string address = {};
    // False: a PC not seen before is not recorded, and the beat is NotFound.
    bool mayCreate = true;
    // The PC confirms what it stored: its ringtones count as delivered only
    // once a beat names them in `got`, never when a file was sent. Kept per
    // PC, as its latest beat says.
    bool receipts = false;
    // Ringtones the PC says it stored. Ids that are not this PC's, or were
    // delivered already, are ignored.
    std::vector<int64_t> got = {};
};

struct Device
{
    std::string id;
    std::string name;
};

// What a beat takes from the store. `newPairings` and `pairingLost` are
// reported once: the same call marks them as taken.
struct BeatAnswer
{
    bool pairingLost = false;  // the phone removed the PC's last pairing
    std::vector<Device> newPairings;  // paired since the last (non-farewell) beat, oldest first
    std::vector<int64_t> waiting;  // ringtones not yet delivered to this PC, oldest first
    bool created = false;  // the beat recorded a PC not seen before
};

// What one PC may have waiting at a time, over all its devices.
struct Quota
{
    int64_t maxWaiting = DefaultMaxWaiting;
    int64_t maxWaitingBytes = DefaultMaxWaitingBytes;
};

// What one PC has waiting now.
struct Load
{
    int64_t count = 0;
    int64_t bytes = 0;
};

// Whether one more ringtone of `bytes` fits within the quota.
inline bool roomFor(const Load &load, const Quota &quota, int64_t bytes)
{
    return load.count + 1 <= quota.maxWaiting && load.bytes + bytes <= quota.maxWaitingBytes;
}

// A ringtone sent by a paired device. The service picks `id` (a positive
// 31-bit number, random, so ids cannot be walked) and `fileKey` (a random
// token that names the file in its download address).
struct NewRingtone
{
    int64_t id = 0;
    std::string fileKey;
    std::string pcid;
    std::string deviceId;
    std::string deviceToken;  // checked against the pairing in the same transaction
    std::string name;
    int64_t now = 0;
    Quota quota = {};
};

struct RingtoneInfo
{
    int64_t id = 0;
    std::string fileKey;
    std::string pcid;
    std::string name;
    int64_t size = 0;
    bool delivered = false;
    int64_t created = 0;
    std::string announcedTo;  // the address of the last beat that listed it; empty: none yet
    int64_t announcedAt = 0;
    bool receipts = false;  // its PC confirms what it stored (see Beat)
};

// A ringtone as its sender sees it.
struct SentRingtone
{
    int64_t id = 0;
    std::string name;
    int64_t size = 0;
    int64_t created = 0;
    bool delivered = false;
};

struct Update
{
    std::string version;
    std::string url;
    int64_t published = 0;
};

struct Stats
{
    int64_t pcs = 0;  // PCs that ever beat
    int64_t pcsOnline = 0;  // PCs whose last beat plus its "expire" (plus a grace) is not past
    int64_t pairings = 0;
    int64_t ringtonesWaiting = 0;
    int64_t ringtonesDelivered = 0;
    std::map<std::string, int64_t> events;  // feedback event name -> count, the most counted names only
};

// Whether a source address may do one thing more. Failed and Full as in
// Result: its count could not be read or written.
enum class Allowance {
    Yes,
    No,  // its budget is spent for now
    Failed,
    Full,
    Away,
};

// What one source address may do so often: at most `capacity` events at
// once, `capacity` more per `period` seconds (a bucket that empties again
// over time). Past it, requests are refused until it has room again.
class AddressBudget
{
public:
    AddressBudget(int64_t capacity, int64_t period)
        : capacity(capacity)
        , period(period)
    { }
    virtual ~AddressBudget() = default;
    // Whether the address has an event left; nothing is counted.
    virtual Allowance left(const std::string &address, int64_t now) = 0;
    // Counts one event when the address has one left.
    virtual Allowance take(const std::string &address, int64_t now) = 0;
    // Gives one event back: what it counted never happened.
    virtual void give(const std::string &address, int64_t now) = 0;
    // Seconds until the next event is allowed again.
    int64_t wait() const { return period / capacity + 1; }

    const int64_t capacity;
    const int64_t period;
};

class Storage
{
public:
    virtual ~Storage() = default;

    // --- the program's side ---

    // Records the PC (version, last beat, expire) and fills `answer`;
    // NotFound for a PC not seen before when the beat may not create it.
    virtual Result beat(const Beat &beat, BeatAnswer &answer) = 0;
    // What the beat would answer, read only: nothing is taken, recorded or
    // announced, so news stay for the next beat. For when writes fail.
    virtual Result peekBeat(const Beat &beat, BeatAnswer &answer) = 0;
    // The PC removes the pairings with these devices (unknown ids are ignored).
    // This is not a lost pairing: the PC itself asked for it.
    virtual Result unpair(const std::string &pcid, const std::vector<std::string> &deviceIds) = 0;
    // The settings for this PC: the values set for all PCs, overridden by
    // those set for this one.
    virtual Result conf(const std::string &pcid, std::map<std::string, std::string> &values) = 0;
    // The most recently published update; NotFound when none was published.
    virtual Result latestUpdate(Update &update) = 0;
    virtual Result ringtone(int64_t id, RingtoneInfo &info) = 0;
    virtual Result ringtoneByFileKey(const std::string &fileKey, RingtoneInfo &info) = 0;
    // `length` bytes of the file from `offset` (fewer at its end), so that no
    // answer holds a whole file. NotFound once the file is gone (delivered,
    // withdrawn or expired meanwhile).
    virtual Result ringtoneFilePart(const RingtoneInfo &info, int64_t offset, size_t length, std::string &bytes)
        = 0;
    // The file reached its PC: the ringtone is no longer waiting. The
    // backend may drop the file now. Ok also when it was delivered before.
    virtual Result markDelivered(int64_t id, int64_t now) = 0;
    // Counts the event for the PC and the day of `now`.
    virtual Result recordEvent(const std::string &pcid, const std::string &event, int64_t now) = 0;

    // --- the phone's side ---

    // Pairs the device with the PC, or pairs it again with a new token (the
    // old token stops working). The pairing is reported to the PC once.
    // NotFound when no PC with this id has ever beaten.
    virtual Result pair(const std::string &pcid, const Device &device, const std::string &token, int64_t now)
        = 0;
    // Denied when the pairing does not exist or the token is wrong. When it
    // was the PC's last pairing, the PC's next beat reports the loss once.
    virtual Result removePairing(
        const std::string &pcid, const std::string &deviceId, const std::string &token)
        = 0;
    // Ok when the device is paired with the PC under this token, else Denied.
    // Cheap: called before any work on an upload's body.
    virtual Result checkPairing(
        const std::string &pcid, const std::string &deviceId, const std::string &token)
        = 0;
    // What the PC has waiting, whoever sent it.
    virtual Result waitingLoad(const std::string &pcid, Load &load) = 0;
    // Stores the file and its row, after checking the pairing and its token
    // (Denied) and the PC's quota (OverQuota). Conflict when `id` or `fileKey`
    // is taken. Nothing is stored unless it answers Ok.
    virtual Result addRingtone(const NewRingtone &ringtone, const std::string &bytes) = 0;
    // What this device sent to this PC, newest first, at most `limit` of them.
    // Denied as above.
    virtual Result sentRingtones(const std::string &pcid, const std::string &deviceId,
        const std::string &token, size_t limit, std::vector<SentRingtone> &out)
        = 0;
    // Takes back a ringtone this device sent while it still waits: row and
    // file go. NotFound when no such ringtone of this device waits; Denied as above.
    virtual Result withdrawRingtone(
        const std::string &pcid, const std::string &deviceId, const std::string &token, int64_t id)
        = 0;

    // --- housekeeping ---

    // Removes the ringtones still waiting that were created before
    // `createdBefore`, rows and files; `removed` says how many.
    virtual Result expireRingtones(int64_t createdBefore, int64_t &removed) = 0;
    // Removes the event counts of days before the one of `eventsBefore`, and
    // the PCs without a pairing or a ringtone whose last beat was before
    // `pcsBefore`: what anyone may write without pairing does not pile up.
    virtual Result expireAnonymous(int64_t eventsBefore, int64_t pcsBefore) = 0;

    // --- administration ---

    virtual Result publishUpdate(const Update &update) = 0;
    // An empty `pcid` sets the value for all PCs; an empty `value` removes the key.
    virtual Result setConf(const std::string &pcid, const std::string &key, const std::string &value) = 0;
    virtual Result stats(int64_t now, Stats &stats) = 0;

    // --- limits per source address ---

    // The budget named `limit`, counted in the store so that every service
    // instance on it spends from the same one. Null when the store serves a
    // single instance, which then counts in its own memory.
    virtual std::unique_ptr<AddressBudget> sharedBudget(
        const std::string &limit, int64_t capacity, int64_t period)
    {
        (void)limit, (void)capacity, (void)period;
        return nullptr;
    }
};

// The backends. Each opens (creating or migrating its schema) or returns null
// with a reason in `error`.
//
// SQLite: database and ringtone files in `dataDir` (which must exist).
std::unique_ptr<Storage> openSqliteStorage(const std::string &dataDir, std::string &error);
// PostgreSQL: a libpq connection string; built only with BELFRY_SERVER_PG
// (the build defines BELFRY_HAVE_PG then). A database that cannot be reached
// is tried again, each pause twice the one before (from `retrySeconds`, at
// most MaxDatabaseRetrySeconds), until `waitSeconds` have passed (0: tried once).
std::unique_ptr<Storage> openPgStorage(
    const std::string &conninfo, std::string &error, int64_t waitSeconds = 0, int64_t retrySeconds = 1);

}  // namespace belfry
