// The PostgreSQL backend's parts shared by its files: results, parameters,
// the pool's connections and the class whose methods those files define.
//
// One database shared by any number of service instances, none of which
// keeps state between requests.
//
// Ringtone files live in the database (bytea) rather than in a shared folder:
// a row and its file then commit together in one transaction on every
// instance, there is no network file system to set up, secure and keep
// consistent, and a file is at most MaxRingtoneBytes and gone once delivered.
//
// Every method is one transaction. Those on the hot path (beat, conf, the
// ringtone reads) are single prepared statements, one round trip each;
// beats that arrive together go in one round trip and one transaction.
// Changes that must see one another's effects (pairing, removing a pairing)
// lock the PC's row first, so concurrent requests for one PC queue up there
// and always in the same order.

#pragma once

#include "store/batch.h"
#include "store/steps.h"
#include "store/storage.h"

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace belfry::pg {

constexpr size_t PoolSize = MaxDatabaseConnections;
constexpr std::chrono::seconds PoolWait(DatabaseWaitSeconds);

// Beats and feedback events are committed without waiting for the disk: a
// crash of the database server (not of a service) may lose the last fraction
// of a second of them, which costs at most a pairing or a lost pairing
// reported twice. Waiting for the disk on every beat would cost more than half
// of the beats per second. Everything a phone or an administrator was told is
// stored commits with the wait.
constexpr const char *DurableBegin = "BEGIN; SET LOCAL synchronous_commit TO on";

struct Statement
{
    const char *name;
    const char *sql;
};

// Every statement, prepared on each connection as it opens (pg_sql.cpp).
extern const Statement Statements[];
extern const size_t StatementCount;

// SQLSTATE disk_full: told to the service as Result::Full, not logged.
constexpr const char *DiskFullState = "53100";

void logLine(const std::string &what, PGconn *conn);

// One statement's result; frees itself.
class Rows
{
public:
    explicit Rows(PGresult *r = nullptr)
        : r(r)
    { }
    Rows(Rows &&o) noexcept
        : r(std::exchange(o.r, nullptr))
    { }
    Rows &operator=(Rows &&o) noexcept
    {
        std::swap(r, o.r);
        return *this;
    }
    Rows(const Rows &) = delete;
    Rows &operator=(const Rows &) = delete;
    ~Rows() { PQclear(r); }

    bool ok() const
    {
        const ExecStatusType s = PQresultStatus(r);
        return r && (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK);
    }
    ExecStatusType status() const { return PQresultStatus(r); }
    // It failed for want of disk space on the database server.
    bool diskFull() const
    {
        const char *state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        return state && std::string(state) == DiskFullState;
    }
    int count() const { return PQntuples(r); }
    // Rows a command changed.
    int64_t affected() const { return std::strtoll(PQcmdTuples(r), nullptr, 10); }
    const char *value(int row, int col) const { return PQgetvalue(r, row, col); }
    size_t length(int row, int col) const { return size_t(PQgetlength(r, row, col)); }
    std::string text(int row, int col) const
    {
        return std::string(PQgetvalue(r, row, col), size_t(PQgetlength(r, row, col)));
    }
    int64_t number(int row, int col) const { return std::strtoll(PQgetvalue(r, row, col), nullptr, 10); }
    bool flag(int row, int col) const { return PQgetvalue(r, row, col)[0] == 't'; }

private:
    PGresult *r;
};

// Parameters as text, except those marked binary (bytea).
class Params
{
public:
    Params &text(std::string v)
    {
        values.push_back(std::move(v));
        binary.push_back(0);
        return *this;
    }
    Params &number(int64_t v) { return text(std::to_string(v)); }
    Params &flag(bool v) { return text(v ? "t" : "f"); }
    Params &bytes(const std::string &v)
    {
        values.push_back(v);
        binary.push_back(1);
        return *this;
    }

    // As libpq takes them; valid while these parameters stay as they are.
    std::vector<const char *> pointers() const
    {
        std::vector<const char *> out;
        for (const std::string &v : values)
            out.push_back(v.data());
        return out;
    }
    std::vector<int> lengths() const
    {
        std::vector<int> out;
        for (const std::string &v : values)
            out.push_back(int(v.size()));
        return out;
    }

    std::vector<std::string> values;
    std::vector<int> binary;
};

// One connection of the pool; its statements are prepared when it opens.
struct Connection
{
    PGconn *pg = nullptr;
    // A statement found the disk full since the connection was taken.
    bool full = false;
    // The connection could not be had, or broke: the database is away.
    bool lost = false;
};

class PgStorage : public Storage
{
public:
    explicit PgStorage(std::string conninfo)
        : conninfo(std::move(conninfo))
    { }
    ~PgStorage() override
    {
        for (Connection &c : idle)
            PQfinish(c.pg);
    }
    // `reached`: the database answered, so trying again will not help.
    bool migrate(bool &reached, std::string &error);
    Result beat(const Beat &beat, BeatAnswer &answer) override;
    Result peekBeat(const Beat &beat, BeatAnswer &answer) override;
    Result unpair(const std::string &pcid, const std::vector<std::string> &deviceIds) override;
    Result conf(const std::string &pcid, std::map<std::string, std::string> &values) override;
    Result latestUpdate(Update &update) override;
    Result ringtone(int64_t id, RingtoneInfo &info) override;
    Result ringtoneByFileKey(const std::string &fileKey, RingtoneInfo &info) override;
    Result ringtoneFilePart(
        const RingtoneInfo &info, int64_t offset, size_t length, std::string &bytes) override;
    Result markDelivered(int64_t id, int64_t now) override;
    Result recordEvent(const std::string &pcid, const std::string &event, int64_t now) override;
    Result pair(
        const std::string &pcid, const Device &device, const std::string &token, int64_t now) override;
    Result removePairing(
        const std::string &pcid, const std::string &deviceId, const std::string &token) override;
    Result checkPairing(
        const std::string &pcid, const std::string &deviceId, const std::string &token) override;
    Result waitingLoad(const std::string &pcid, Load &load) override;
    Result addRingtone(const NewRingtone &r, const std::string &bytes) override;
    Result sentRingtones(const std::string &pcid, const std::string &deviceId, const std::string &token,
        size_t limit, std::vector<SentRingtone> &out) override;
    Result withdrawRingtone(
        const std::string &pcid, const std::string &deviceId, const std::string &token, int64_t id) override;
    Result expireRingtones(int64_t createdBefore, int64_t &removed) override;
    Result expireAnonymous(int64_t eventsBefore, int64_t pcsBefore) override;
    Result publishUpdate(const Update &update) override;
    Result setConf(const std::string &pcid, const std::string &key, const std::string &value) override;
    Result stats(int64_t now, Stats &stats) override;
    std::unique_ptr<AddressBudget> sharedBudget(
        const std::string &limit, int64_t capacity, int64_t period) override;
    // One event of `budget` counted (`take`) or looked at.
    Allowance spend(const std::string &limit, const AddressBudget &budget, const std::string &address,
        int64_t now, bool take);
    // One event of `event` ms given back to the bucket.
    void giveBack(const std::string &limit, int64_t event, const std::string &address);

private:
    bool beatTogether(Connection &c, std::vector<BeatJob *> &jobs);
    static Result readBeat(const Rows &rows, BeatJob &job);
    static std::string textArray(const std::vector<std::string> &items);
    static std::string idArray(const std::vector<int64_t> &ids);
    Result ringtoneBy(const char *statement, const Params &params, RingtoneInfo &info);
    bool open(Connection &c, std::string &error, bool withStatements);
    static bool prepare(PGconn *pg, std::string &error);
    static bool migrateOn(PGconn *pg, std::string &error);
    bool acquire(Connection &c);
    void release(Connection &c);
    void drop();
    bool exec(
        Connection &c, const char *statement, const Params &params, Rows &rows, bool binaryResult = false);
    static bool send(Connection &c, const char *statement, const Params &params);
    // One write on its own, Full when the disk is.
    Result write(const char *statement, const Params &params);
    Result run(const char *statement, const Params &params, Rows &rows, bool binaryResult = false);
    static Result failure(const Connection &c);
    // Says once that the database is away, and once that it is back.
    void reachable(bool yes, const std::string &why);
    Result durable(const char *statement, const Params &params, Rows &rows);
    Result inBatches(const char *statement, int64_t before, bool durably, int64_t &removed);
    template<typename Body> Result transaction(Body body, const char *begin = DurableBegin);
    const std::string conninfo;
    Batches<BeatJob> beats {BeatBatch};
    std::mutex mutex;
    std::condition_variable freed;
    std::vector<Connection> idle;
    size_t opened = 0;  // idle and in use
    std::atomic<int64_t> nextBudgetSweep {0};
    std::atomic<bool> away {false};

    friend class PgQueries;
};

// The queries of a phone's steps, on the connection of one transaction.
class PgQueries : public Queries
{
public:
    PgQueries(PgStorage &store, Connection &c)
        : store(store)
        , c(c)
    { }
    Result knownPc(const std::string &pcid) override;
    Result pairDevice(
        const std::string &pcid, const Device &device, const std::string &token, int64_t now) override;
    Result paired(const Sender &sender, bool hold) override;
    Result dropPairing(const Sender &sender) override;
    Result lostIfLast(const std::string &pcid) override;
    Result load(const std::string &pcid, Load &load) override;
    Result insertRingtone(const NewRingtone &ringtone, const std::string &bytes) override;
    Result sent(const Sender &sender, size_t limit, std::vector<SentRingtone> &out) override;
    Result withdraw(const Sender &sender, int64_t id) override;

private:
    PgStorage &store;
    Connection &c;
};

template<typename Body> Result PgStorage::transaction(Body body, const char *begin)
{
    Connection c;
    if (!acquire(c))
        return failure(c);
    Rows r(PQexec(c.pg, begin));
    Result result = Result::Failed;
    if (r.ok())
        result = body(c);
    else
        logLine(begin, c.pg);
    r = Rows(PQexec(c.pg, result == Result::Ok ? "COMMIT" : "ROLLBACK"));
    if (!r.ok() && result == Result::Ok) {
        c.full = c.full || r.diskFull();
        if (!c.full)
            logLine("COMMIT", c.pg);
        result = Result::Failed;
    }
    release(c);
    return result == Result::Failed ? failure(c) : result;
}

}  // namespace belfry::pg
