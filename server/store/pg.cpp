// The PostgreSQL backend: one database shared by any number of service
// instances, none of which keeps state between requests.
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

#include "store/batch.h"
#include "store/storage.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace belfry {
namespace {

// Each step takes the schema from the version before it to its own number.
// Never edit a step that has shipped; add one.
const char *const Migrations[] = {
    // 1
    R"sql(
    CREATE TABLE pcs (
        pcid text PRIMARY KEY,
        version text NOT NULL,
        last_beat bigint NOT NULL,
        expire bigint NOT NULL,
        pairing_lost boolean NOT NULL DEFAULT false
    );
    CREATE TABLE pairings (
        pcid text NOT NULL,
        device_id text NOT NULL,
        name text NOT NULL,
        token_hash bytea NOT NULL,
        paired_at bigint NOT NULL,
        seq bigserial NOT NULL,
        reported boolean NOT NULL DEFAULT false,
        PRIMARY KEY (pcid, device_id)
    );
    CREATE TABLE ringtones (
        id bigint PRIMARY KEY,
        file_key text NOT NULL UNIQUE,
        pcid text NOT NULL,
        device_id text NOT NULL,
        name text NOT NULL,
        size bigint NOT NULL,
        created bigint NOT NULL,
        seq bigserial NOT NULL,
        delivered bigint,
        data bytea
    );
    -- The files are AAC already: compressing them again only costs time.
    ALTER TABLE ringtones ALTER COLUMN data SET STORAGE EXTERNAL;
    CREATE INDEX ringtones_waiting ON ringtones (pcid, seq) WHERE delivered IS NULL;
    CREATE TABLE conf (
        pcid text NOT NULL,  -- '' for every PC
        key text NOT NULL,
        value text NOT NULL,
        PRIMARY KEY (pcid, key)
    );
    CREATE TABLE updates (
        seq bigserial PRIMARY KEY,
        version text NOT NULL,
        url text NOT NULL,
        published bigint NOT NULL
    );
    CREATE TABLE events (
        seq bigserial PRIMARY KEY,
        pcid text NOT NULL,
        version text NOT NULL,
        event text NOT NULL,
        at bigint NOT NULL
    );
    CREATE INDEX events_by_name ON events (event);
    )sql",
    // 2
    R"sql(
    ALTER TABLE ringtones
        ADD COLUMN announced_to text NOT NULL DEFAULT '',
        ADD COLUMN announced_at bigint NOT NULL DEFAULT 0;
    CREATE INDEX ringtones_created ON ringtones (created) WHERE delivered IS NULL;
    CREATE INDEX ringtones_sender ON ringtones (pcid, device_id, seq);
    )sql",
    // 3: events are counted per PC, name and day instead of kept one by one.
    R"sql(
    CREATE TABLE event_counts (
        pcid text NOT NULL,
        event text NOT NULL,
        day bigint NOT NULL,
        count bigint NOT NULL,
        PRIMARY KEY (pcid, event, day)
    );
    INSERT INTO event_counts SELECT pcid, event, at / 86400, count(*) FROM events GROUP BY 1, 2, 3;
    DROP TABLE events;
    CREATE INDEX event_counts_day ON event_counts (day);
    CREATE INDEX pcs_last_beat ON pcs (last_beat);
    )sql",
    // 4: the limits per source address, shared by every instance. A bucket
    // is kept as the time it will have drained (in milliseconds), so a row
    // past it is as good as none. Unlogged: no write of theirs goes through
    // the log, and a crash of the database only gives every address its
    // whole budget again.
    R"sql(
    CREATE UNLOGGED TABLE address_budgets (
        name text NOT NULL,
        address text NOT NULL,
        empty_at bigint NOT NULL,
        PRIMARY KEY (name, address)
    );
    )sql",
    // 5: every beat writes last_beat, and an index on it made each beat's
    // write dearer: a new entry in every index of the table, where an update
    // of unindexed columns stays on its page (bench/load.sh). The expiry of
    // unpaired PCs, once a minute, reads the table instead.
    "DROP INDEX IF EXISTS pcs_last_beat;",
    // 6: a PC that confirms what it stored: its deliveries come from its beats.
    "ALTER TABLE pcs ADD COLUMN receipts boolean NOT NULL DEFAULT false;",
};
constexpr int SchemaVersion = int(sizeof Migrations / sizeof Migrations[0]);

constexpr size_t PoolSize = MaxDatabaseConnections;
constexpr std::chrono::seconds PoolWait(DatabaseWaitSeconds);

// Beats and feedback events are committed without waiting for the disk: a
// crash of the database server (not of a service) may lose the last fraction
// of a second of them, which costs at most a pairing or a lost pairing
// reported twice. Waiting for the disk on every beat would cost more than half
// of the beats per second. Everything a phone or an administrator was told is
// stored commits with the wait.
constexpr const char *SessionSetup = "SET synchronous_commit TO off";
constexpr const char *DurableBegin = "BEGIN; SET LOCAL synchronous_commit TO on";

// Any constant; it keeps instances that start together from migrating at once.
constexpr const char *MigrationLock = "SELECT pg_advisory_xact_lock(7428031)";
// Uploads to one PC queue up here, so that two of them cannot both pass its
// quota. A PC that never beat has no row to lock, hence a lock of its own.
#define SENDER_LOCK "SELECT pg_advisory_xact_lock(7428032, hashtext($1))"

// Tokens are kept as hashes: a copy of the database does not let anyone send.
#define TOKEN_HASH(p) "sha256(convert_to(" p ", 'UTF8'))"

#define RINGTONE_COLUMNS                                                                                     \
    "SELECT r.id, r.file_key, r.pcid, r.name, r.size, r.delivered IS NOT NULL, r.created, r.announced_to, "  \
    "r.announced_at, coalesce(p.receipts, false) FROM ringtones r LEFT JOIN pcs p ON p.pcid = r.pcid "

struct Statement
{
    const char *name;
    const char *sql;
};

const Statement Statements[] = {
    // $1 pcid, $2 version, $3 now, $4 expire, $5 farewell, $6 address, $7 may create,
    // $8 receipts, $9 the ids the PC confirms (of its own ringtones only).
    // Rows: (0, lost) once, (1, seq, device id, name) per new pairing,
    // (2, seq, ringtone id) per waiting ringtone, which is recorded as
    // announced to $6, and (3) when the PC was not known. The FOR UPDATE
    // queues beats of one PC, so the lost pairing and new pairings are
    // reported once. A confirmed ringtone is left out of `announced`: one
    // statement must not change a row twice.
    {"beat", R"sql(
    WITH old AS (SELECT pairing_lost FROM pcs WHERE pcid = $1 FOR UPDATE),
    paired AS (
        UPDATE pairings SET reported = true
        WHERE pcid = $1 AND NOT reported AND NOT $5::boolean
        RETURNING seq, device_id, name),
    up AS (
        INSERT INTO pcs AS p (pcid, version, last_beat, expire, receipts)
        SELECT $1, $2, $3, $4, $8::boolean WHERE $7::boolean OR EXISTS (SELECT 1 FROM old)
        ON CONFLICT (pcid) DO UPDATE
        SET version = EXCLUDED.version, last_beat = EXCLUDED.last_beat, expire = EXCLUDED.expire,
            pairing_lost = p.pairing_lost AND $5::boolean, receipts = $8::boolean),
    confirmed AS (
        UPDATE ringtones SET delivered = $3, data = NULL
        WHERE pcid = $1 AND id = ANY($9::bigint[]) AND delivered IS NULL
        RETURNING id),
    announced AS (
        UPDATE ringtones SET announced_to = $6, announced_at = $3
        WHERE pcid = $1 AND delivered IS NULL AND id <> ALL($9::bigint[])
        RETURNING seq, id)
    SELECT 0 AS kind, 0::bigint AS ord, NULL AS a, NULL AS b FROM old WHERE pairing_lost AND NOT $5::boolean
    UNION ALL SELECT 1, seq, device_id, name FROM paired
    UNION ALL SELECT 2, seq, id::text, NULL FROM announced
    UNION ALL SELECT 3, 0, NULL, NULL WHERE NOT EXISTS (SELECT 1 FROM old)
    ORDER BY 1, 2)sql"},
    {"unpair", "DELETE FROM pairings WHERE pcid = $1 AND device_id = ANY($2::text[])"},
    {"conf", "SELECT key, value FROM conf WHERE pcid IN ('', $1) ORDER BY pcid <> ''"},
    {"latest_update",
        "SELECT version, url, published FROM updates ORDER BY published DESC, seq DESC LIMIT 1"},
    {"ringtone", RINGTONE_COLUMNS "WHERE r.id = $1"},
    {"ringtone_by_key", RINGTONE_COLUMNS "WHERE r.file_key = $1"},
    // The column is stored uncompressed, so a part reads only its own pages.
    {"ringtone_file_part",
        "SELECT substring(data FROM $2::int FOR $3::int) FROM ringtones WHERE id = $1 AND data IS NOT NULL"},
    {"delivered",
        "UPDATE ringtones SET delivered = coalesce(delivered, $2), data = NULL WHERE id = $1 RETURNING 1"},
    {"event", R"sql(
    INSERT INTO event_counts AS e (pcid, event, day, count) VALUES ($1, $2, $3, 1)
    ON CONFLICT (pcid, event, day) DO UPDATE SET count = e.count + 1)sql"},
    {"lock_pc", "SELECT 1 FROM pcs WHERE pcid = $1 FOR UPDATE"},
    {"pair",
        R"sql(
    INSERT INTO pairings (pcid, device_id, name, token_hash, paired_at) VALUES ($1, $2, $3, )sql" TOKEN_HASH(
            "$4") R"sql(, $5)
    ON CONFLICT (pcid, device_id) DO UPDATE
    SET name = EXCLUDED.name, token_hash = EXCLUDED.token_hash, paired_at = EXCLUDED.paired_at,
        seq = nextval(pg_get_serial_sequence('pairings', 'seq')), reported = false)sql"},
    // A new pairing supersedes a loss the PC has not heard of yet.
    {"pair_found", "UPDATE pcs SET pairing_lost = false WHERE pcid = $1"},
    {"remove_pairing",
        "DELETE FROM pairings WHERE pcid = $1 AND device_id = $2 AND token_hash = " TOKEN_HASH(
            "$3") " RETURNING 1"},
    {"pairing_lost", R"sql(
    UPDATE pcs SET pairing_lost = true
    WHERE pcid = $1 AND NOT EXISTS (SELECT 1 FROM pairings WHERE pcid = $1))sql"},
    {"pairing_valid",
        "SELECT 1 FROM pairings WHERE pcid = $1 AND device_id = $2 AND token_hash = " TOKEN_HASH("$3")},
    // The FOR SHARE makes a removal of the pairing that commits meanwhile win:
    // then nothing is stored.
    {"pairing_held",
        "SELECT 1 FROM pairings WHERE pcid = $1 AND device_id = $2 AND token_hash = " TOKEN_HASH(
            "$3") " FOR SHARE"},
    {"lock_sender", SENDER_LOCK},
    {"waiting_load",
        "SELECT count(*), coalesce(sum(size), 0) FROM ringtones WHERE pcid = $1 AND delivered IS NULL"},
    {"add_ringtone", R"sql(
    INSERT INTO ringtones (id, file_key, pcid, device_id, name, size, created, data)
    VALUES ($1, $2, $3, $4, $5, $6, $7, $8::bytea)
    ON CONFLICT DO NOTHING RETURNING 1)sql"},
    // $1 pcid, $2 device id, $3 limit.
    {"sent", R"sql(
    SELECT id, name, size, created, delivered IS NOT NULL FROM ringtones
    WHERE pcid = $1 AND device_id = $2 ORDER BY seq DESC LIMIT $3)sql"},
    // What "beat" answers, read only. $1 pcid, $2 farewell.
    {"peek_beat", R"sql(
    SELECT 0 AS kind, 0::bigint AS ord, NULL AS a, NULL AS b FROM pcs
    WHERE pcid = $1 AND pairing_lost AND NOT $2::boolean
    UNION ALL SELECT 1, seq, device_id, name FROM pairings WHERE pcid = $1 AND NOT reported AND NOT $2::boolean
    UNION ALL SELECT 2, seq, id::text, NULL FROM ringtones WHERE pcid = $1 AND delivered IS NULL
    ORDER BY 1, 2)sql"},
    {"withdraw", R"sql(
    DELETE FROM ringtones WHERE id = $3 AND pcid = $1 AND device_id = $2 AND delivered IS NULL
    RETURNING 1)sql"},
    // Rows a beat holds are left for the next time: waiting for them could
    // deadlock with the beat, which locks a PC's rows in an order of its own.
    {"expire", R"sql(
    DELETE FROM ringtones WHERE id IN (
        SELECT id FROM ringtones WHERE delivered IS NULL AND created < $1 FOR UPDATE SKIP LOCKED))sql"},
    {"publish", "INSERT INTO updates (version, url, published) VALUES ($1, $2, $3)"},
    {"set_conf", R"sql(
    INSERT INTO conf (pcid, key, value) VALUES ($1, $2, $3)
    ON CONFLICT (pcid, key) DO UPDATE SET value = EXCLUDED.value)sql"},
    {"unset_conf", "DELETE FROM conf WHERE pcid = $1 AND key = $2"},
    // $1 now, $2 grace.
    {"stats", R"sql(
    SELECT (SELECT count(*) FROM pcs),
           (SELECT count(*) FROM pcs WHERE last_beat + expire + $2 >= $1),
           (SELECT count(*) FROM pairings),
           (SELECT count(*) FROM ringtones WHERE delivered IS NULL),
           (SELECT count(*) FROM ringtones WHERE delivered IS NOT NULL))sql"},
    {"event_counts", "SELECT event, sum(count) FROM event_counts GROUP BY event ORDER BY 2 DESC, 1 LIMIT $1"},
    {"expire_events", "DELETE FROM event_counts WHERE day < $1"},
    // Rows a beat or a pairing holds are left for the next time, as above.
    {"expire_pcs", R"sql(
    DELETE FROM pcs WHERE pcid IN (
        SELECT pcid FROM pcs p WHERE last_beat < $1
        AND NOT EXISTS (SELECT 1 FROM pairings WHERE pcid = p.pcid)
        AND NOT EXISTS (SELECT 1 FROM ringtones WHERE pcid = p.pcid)
        FOR UPDATE SKIP LOCKED))sql"},
    // A leaky bucket: $1 limit, $2 address, $3 now, $4 what one event adds,
    // $5 the most it may hold (all in milliseconds). A row only when the
    // address has room; the row of an address that has none is left as it is.
    {"budget_take", R"sql(
    INSERT INTO address_budgets AS b (name, address, empty_at) VALUES ($1, $2, $3::bigint + $4::bigint)
    ON CONFLICT (name, address) DO UPDATE SET empty_at = greatest(b.empty_at, $3) + $4
    WHERE greatest(b.empty_at, $3) + $4 <= $3 + $5::bigint
    RETURNING 1)sql"},
    {"budget_left", R"sql(
    SELECT 1 FROM address_budgets
    WHERE name = $1 AND address = $2 AND greatest(empty_at, $3::bigint) + $4::bigint > $3 + $5::bigint)sql"},
    {"budget_sweep", "DELETE FROM address_budgets WHERE empty_at < $1"},
};

// SQLSTATE disk_full: told to the service as Result::Full, not logged.
constexpr const char *DiskFullState = "53100";

void logLine(const std::string &what, PGconn *conn)
{
    std::string detail = conn ? PQerrorMessage(conn) : "";
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' '))
        detail.pop_back();
    std::replace(detail.begin(), detail.end(), '\n', ' ');
    std::fprintf(stderr, "storage: %s: %s\n", what.c_str(), detail.c_str());
}

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
    bool migrate(std::string &error);
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

private:
    bool beatTogether(Connection &c, std::vector<BeatJob *> &jobs);
    static Result readBeat(const Rows &rows, BeatJob &job);
    static std::string textArray(const std::vector<std::string> &items);
    static std::string idArray(const std::vector<int64_t> &ids);
    Result paired(Connection &c, const char *statement, const std::string &pcid, const std::string &deviceId,
        const std::string &token);
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
    bool run(const char *statement, const Params &params, Rows &rows, bool binaryResult = false);
    Result durable(const char *statement, const Params &params, Rows &rows);
    template<typename Body> Result transaction(Body body, const char *begin = DurableBegin);
    const std::string conninfo;
    Batches<BeatJob> beats {BeatBatch};
    std::mutex mutex;
    std::condition_variable freed;
    std::vector<Connection> idle;
    size_t opened = 0;  // idle and in use
    std::atomic<int64_t> nextBudgetSweep {0};
};

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

private:
    PgStorage &store;
    const std::string limit;
};

bool PgStorage::migrate(std::string &error)
{
    Connection c;
    if (!open(c, error, false))
        return false;
    bool ok = migrateOn(c.pg, error);
    if (ok)
        ok = prepare(c.pg, error);
    if (ok) {
        opened = 1;
        release(c);
    } else {
        PQfinish(c.pg);
    }
    return ok;
}

// Under load most of a beat's cost was its round trip and its commit:
// beats that arrive together share them.
Result PgStorage::beat(const Beat &beat, BeatAnswer &answer)
{
    BeatJob job {&beat, &answer};
    beats.run(job, [this](std::vector<BeatJob *> &jobs) {
        Connection c;
        if (!acquire(c))
            return;
        if (!beatTogether(c, jobs) && !c.full)
            logLine("beat", c.pg);
        // A pipeline cut short leaves the connection unfit for the pool.
        if (PQpipelineStatus(c.pg) != PQ_PIPELINE_OFF) {
            PQfinish(c.pg);
            c.pg = nullptr;
        }
        release(c);
    });
    return job.result;
}

Result PgStorage::peekBeat(const Beat &beat, BeatAnswer &answer)
{
    Rows rows;
    if (!run("peek_beat", Params().text(beat.pcid).flag(beat.farewell), rows))
        return Result::Failed;
    BeatJob job {&beat, &answer};
    return readBeat(rows, job);
}

Result PgStorage::unpair(const std::string &pcid, const std::vector<std::string> &deviceIds)
{
    Rows rows;
    return durable("unpair", Params().text(pcid).text(textArray(deviceIds)), rows);
}

Result PgStorage::conf(const std::string &pcid, std::map<std::string, std::string> &values)
{
    values.clear();
    Rows rows;
    if (!run("conf", Params().text(pcid), rows))
        return Result::Failed;
    for (int i = 0; i < rows.count(); ++i)
        values[rows.text(i, 0)] = rows.text(i, 1);
    return Result::Ok;
}

Result PgStorage::latestUpdate(Update &update)
{
    Rows rows;
    if (!run("latest_update", Params(), rows))
        return Result::Failed;
    if (rows.count() == 0)
        return Result::NotFound;
    update = {rows.text(0, 0), rows.text(0, 1), rows.number(0, 2)};
    return Result::Ok;
}

Result PgStorage::ringtone(int64_t id, RingtoneInfo &info)
{
    return ringtoneBy("ringtone", Params().number(id), info);
}

Result PgStorage::ringtoneByFileKey(const std::string &fileKey, RingtoneInfo &info)
{
    return ringtoneBy("ringtone_by_key", Params().text(fileKey), info);
}

Result PgStorage::ringtoneFilePart(const RingtoneInfo &info, int64_t offset, size_t length, std::string &bytes)
{
    Rows rows;
    if (!run("ringtone_file_part", Params().number(info.id).number(offset + 1).number(int64_t(length)), rows,
            true))
        return Result::Failed;
    if (rows.count() == 0)
        return Result::NotFound;
    // Into the room the caller holds: a piece is read for every few kilobytes sent.
    bytes.assign(rows.value(0, 0), rows.length(0, 0));
    return Result::Ok;
}

Result PgStorage::markDelivered(int64_t id, int64_t now)
{
    Rows rows;
    const Result r = durable("delivered", Params().number(id).number(now), rows);
    return r != Result::Ok ? r : rows.count() ? Result::Ok : Result::NotFound;
}

Result PgStorage::recordEvent(const std::string &pcid, const std::string &event, int64_t now)
{
    Rows rows;
    return run("event", Params().text(pcid).text(event).number(now / DaySeconds), rows) ? Result::Ok
                                                                                        : Result::Failed;
}

Result PgStorage::pair(const std::string &pcid, const Device &device, const std::string &token, int64_t now)
{
    return transaction([&](Connection &c) {
        Rows rows;
        if (!exec(c, "lock_pc", Params().text(pcid), rows))
            return Result::Failed;
        if (rows.count() == 0)
            return Result::NotFound;
        return exec(c, "pair", Params().text(pcid).text(device.id).text(device.name).text(token).number(now),
                   rows)
                && exec(c, "pair_found", Params().text(pcid), rows)
            ? Result::Ok
            : Result::Failed;
    });
}

Result PgStorage::removePairing(
    const std::string &pcid, const std::string &deviceId, const std::string &token)
{
    return transaction([&](Connection &c) {
        Rows rows;
        if (!exec(c, "lock_pc", Params().text(pcid), rows)
            || !exec(c, "remove_pairing", Params().text(pcid).text(deviceId).text(token), rows))
            return Result::Failed;
        if (rows.count() == 0)
            return Result::Denied;
        return exec(c, "pairing_lost", Params().text(pcid), rows) ? Result::Ok : Result::Failed;
    });
}

Result PgStorage::checkPairing(const std::string &pcid, const std::string &deviceId, const std::string &token)
{
    Rows rows;
    if (!run("pairing_valid", Params().text(pcid).text(deviceId).text(token), rows))
        return Result::Failed;
    return rows.count() ? Result::Ok : Result::Denied;
}

Result PgStorage::waitingLoad(const std::string &pcid, Load &load)
{
    Rows rows;
    if (!run("waiting_load", Params().text(pcid), rows))
        return Result::Failed;
    load = {rows.number(0, 0), rows.number(0, 1)};
    return Result::Ok;
}

Result PgStorage::addRingtone(const NewRingtone &r, const std::string &bytes)
{
    const int64_t size = int64_t(bytes.size());
    return transaction([&](Connection &c) {
        Rows rows;
        if (!exec(c, "lock_sender", Params().text(r.pcid), rows))
            return Result::Failed;
        const Result known = paired(c, "pairing_held", r.pcid, r.deviceId, r.deviceToken);
        if (known != Result::Ok)
            return known;
        if (!exec(c, "waiting_load", Params().text(r.pcid), rows))
            return Result::Failed;
        if (!roomFor({rows.number(0, 0), rows.number(0, 1)}, r.quota, size))
            return Result::OverQuota;
        if (!exec(c, "add_ringtone",
                Params()
                    .number(r.id)
                    .text(r.fileKey)
                    .text(r.pcid)
                    .text(r.deviceId)
                    .text(r.name)
                    .number(size)
                    .number(r.now)
                    .bytes(bytes),
                rows))
            return Result::Failed;
        return rows.count() ? Result::Ok : Result::Conflict;
    });
}

Result PgStorage::sentRingtones(const std::string &pcid, const std::string &deviceId,
    const std::string &token, size_t limit, std::vector<SentRingtone> &out)
{
    out.clear();
    return transaction([&](Connection &c) {
        const Result known = paired(c, "pairing_valid", pcid, deviceId, token);
        if (known != Result::Ok)
            return known;
        Rows rows;
        if (!exec(c, "sent", Params().text(pcid).text(deviceId).number(int64_t(limit)), rows))
            return Result::Failed;
        for (int i = 0; i < rows.count(); ++i)
            out.push_back(
                {rows.number(i, 0), rows.text(i, 1), rows.number(i, 2), rows.number(i, 3), rows.flag(i, 4)});
        return Result::Ok;
    });
}

Result PgStorage::withdrawRingtone(
    const std::string &pcid, const std::string &deviceId, const std::string &token, int64_t id)
{
    return transaction([&](Connection &c) {
        const Result known = paired(c, "pairing_held", pcid, deviceId, token);
        if (known != Result::Ok)
            return known;
        Rows rows;
        if (!exec(c, "withdraw", Params().text(pcid).text(deviceId).number(id), rows))
            return Result::Failed;
        return rows.count() ? Result::Ok : Result::NotFound;
    });
}

Result PgStorage::expireRingtones(int64_t createdBefore, int64_t &removed)
{
    Rows rows;
    const Result r = durable("expire", Params().number(createdBefore), rows);
    removed = r == Result::Ok ? rows.affected() : 0;
    return r;
}

Result PgStorage::expireAnonymous(int64_t eventsBefore, int64_t pcsBefore)
{
    Rows rows;
    return run("expire_events", Params().number(eventsBefore / DaySeconds), rows)
            && run("expire_pcs", Params().number(pcsBefore), rows)
        ? Result::Ok
        : Result::Failed;
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

// Whole milliseconds, so that `capacity` events at once fit exactly.
Allowance PgStorage::spend(
    const std::string &limit, const AddressBudget &budget, const std::string &address, int64_t now, bool take)
{
    Rows rows;
    int64_t due = nextBudgetSweep.load();
    if (take && now >= due && nextBudgetSweep.compare_exchange_strong(due, now + BudgetSweepSeconds))
        run("budget_sweep", Params().number(now * 1000), rows);
    const int64_t event = std::max<int64_t>(1, budget.period * 1000 / budget.capacity);
    const Params params
        = Params().text(limit).text(address).number(now * 1000).number(event).number(event * budget.capacity);
    if (!run(take ? "budget_take" : "budget_left", params, rows))
        return rows.diskFull() ? Allowance::Full : Allowance::Failed;
    return (rows.count() == 1) == take ? Allowance::Yes : Allowance::No;
}

// The beats in one pipeline: one transaction, sent at once, answered at
// once. Each PC's row is locked by its beat until the commit, so the PCs
// go in order: batches on several instances then wait for each other
// instead of deadlocking.
bool PgStorage::beatTogether(Connection &c, std::vector<BeatJob *> &jobs)
{
    std::stable_sort(jobs.begin(), jobs.end(), [](const BeatJob *a, const BeatJob *b) {
        return a->beat->pcid < b->beat->pcid;
    });
    if (!PQenterPipelineMode(c.pg))
        return false;
    bool sent = PQsendQueryParams(c.pg, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0);
    for (const BeatJob *j : jobs) {
        const Beat &b = *j->beat;
        sent = sent
            && send(c, "beat",
                Params()
                    .text(b.pcid)
                    .text(b.version)
                    .number(b.now)
                    .number(b.expire)
                    .flag(b.farewell)
                    .text(b.address)
                    .flag(b.mayCreate)
                    .flag(b.receipts)
                    .text(idArray(b.got)));
    }
    sent = sent && PQsendQueryParams(c.pg, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0)
        && PQpipelineSync(c.pg);
    if (!sent)
        return false;
    // Every command's result, then the end of the pipeline.
    std::vector<Rows> results;
    for (size_t i = 0; i < jobs.size() + 2; ++i) {
        results.emplace_back(PQgetResult(c.pg));
        while (PGresult *more = PQgetResult(c.pg))
            PQclear(more);
    }
    Rows end(PQgetResult(c.pg));
    const bool ended = end.status() == PGRES_PIPELINE_SYNC && PQexitPipelineMode(c.pg);
    bool ok = ended;
    for (const Rows &r : results) {
        ok = ok && r.ok();
        c.full = c.full || r.diskFull();
    }
    for (size_t i = 0; i < jobs.size(); ++i)
        jobs[i]->result = ok ? readBeat(results[i + 1], *jobs[i]) : c.full ? Result::Full : Result::Failed;
    return ok;
}

Result PgStorage::readBeat(const Rows &rows, BeatJob &job)
{
    BeatAnswer &answer = *job.answer;
    answer = BeatAnswer();
    for (int i = 0; i < rows.count(); ++i) {
        switch (rows.number(i, 0)) {
        case 0:
            answer.pairingLost = true;
            break;
        case 1:
            answer.newPairings.push_back({rows.text(i, 2), rows.text(i, 3)});
            break;
        case 2:
            answer.waiting.push_back(rows.number(i, 2));
            break;
        default:
            answer.created = job.beat->mayCreate;
            if (!answer.created)
                return Result::NotFound;
        }
    }
    return Result::Ok;
}

// The array literal of a text[] parameter: every element quoted.
std::string PgStorage::textArray(const std::vector<std::string> &items)
{
    std::string out = "{";
    for (const std::string &item : items) {
        if (out.size() > 1)
            out += ',';
        out += '"';
        for (char ch : item) {
            if (ch == '"' || ch == '\\')
                out += '\\';
            out += ch;
        }
        out += '"';
    }
    return out + "}";
}

std::string PgStorage::idArray(const std::vector<int64_t> &ids)
{
    std::string out = "{";
    for (int64_t id : ids)
        out += (out.size() > 1 ? "," : "") + std::to_string(id);
    return out + "}";
}

// Ok when the device is paired with the PC under this token, else Denied.
Result PgStorage::paired(Connection &c, const char *statement, const std::string &pcid,
    const std::string &deviceId, const std::string &token)
{
    Rows rows;
    if (!exec(c, statement, Params().text(pcid).text(deviceId).text(token), rows))
        return Result::Failed;
    return rows.count() ? Result::Ok : Result::Denied;
}

Result PgStorage::ringtoneBy(const char *statement, const Params &params, RingtoneInfo &info)
{
    Rows rows;
    if (!run(statement, params, rows))
        return Result::Failed;
    if (rows.count() == 0)
        return Result::NotFound;
    info.id = rows.number(0, 0);
    info.fileKey = rows.text(0, 1);
    info.pcid = rows.text(0, 2);
    info.name = rows.text(0, 3);
    info.size = rows.number(0, 4);
    info.delivered = rows.flag(0, 5);
    info.created = rows.number(0, 6);
    info.announcedTo = rows.text(0, 7);
    info.announcedAt = rows.number(0, 8);
    info.receipts = rows.flag(0, 9);
    return Result::Ok;
}

bool PgStorage::open(Connection &c, std::string &error, bool withStatements)
{
    c.pg = PQconnectdb(conninfo.c_str());
    if (PQstatus(c.pg) != CONNECTION_OK) {
        error = PQerrorMessage(c.pg);
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        PQfinish(c.pg);
        c.pg = nullptr;
        return false;
    }
    // Notices (such as "relation already exists, skipping") are not news.
    PQsetNoticeProcessor(
        c.pg, [](void *, const char *) {}, nullptr);
    Rows setup(PQexec(c.pg, SessionSetup));
    if (!setup.ok())
        error = PQerrorMessage(c.pg);
    if (!setup.ok() || (withStatements && !prepare(c.pg, error))) {
        PQfinish(c.pg);
        c.pg = nullptr;
        return false;
    }
    return true;
}

bool PgStorage::prepare(PGconn *pg, std::string &error)
{
    for (const Statement &s : Statements) {
        Rows r(PQprepare(pg, s.name, s.sql, 0, nullptr));
        if (!r.ok()) {
            error = std::string("preparing ") + s.name + ": " + PQerrorMessage(pg);
            return false;
        }
    }
    return true;
}

bool PgStorage::migrateOn(PGconn *pg, std::string &error)
{
    auto step = [&](const std::string &sql) {
        Rows r(PQexec(pg, sql.c_str()));
        if (!r.ok())
            error = "migrating the schema: " + std::string(PQerrorMessage(pg));
        return r.ok();
    };
    if (!step(DurableBegin) || !step(MigrationLock)
        || !step("CREATE TABLE IF NOT EXISTS belfry_schema (version integer NOT NULL)")) {
        PQclear(PQexec(pg, "ROLLBACK"));
        return false;
    }
    Rows current(PQexec(pg, "SELECT coalesce(max(version), 0) FROM belfry_schema"));
    if (!current.ok()) {
        error = "reading the schema version: " + std::string(PQerrorMessage(pg));
        PQclear(PQexec(pg, "ROLLBACK"));
        return false;
    }
    const int version = int(current.number(0, 0));
    if (version > SchemaVersion) {
        error = "the database has schema version " + std::to_string(version) + ", newer than this service's "
            + std::to_string(SchemaVersion) + ": update the service";
        PQclear(PQexec(pg, "ROLLBACK"));
        return false;
    }
    for (int v = version; v < SchemaVersion; ++v) {
        if (!step(Migrations[v])) {
            PQclear(PQexec(pg, "ROLLBACK"));
            return false;
        }
    }
    if (!step("DELETE FROM belfry_schema")
        || !step("INSERT INTO belfry_schema VALUES (" + std::to_string(SchemaVersion) + ")")
        || !step("COMMIT")) {
        PQclear(PQexec(pg, "ROLLBACK"));
        return false;
    }
    return true;
}

// A connection from the pool, opened when none is idle and the pool is
// not full. The pool is small on purpose: a database on a few cores
// answers more beats with a few busy connections than with one per
// request, which only adds switching between its processes.
bool PgStorage::acquire(Connection &c)
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!freed.wait_for(lock, PoolWait, [this] {
                return !idle.empty() || opened < PoolSize;
            })) {
            std::fprintf(stderr, "storage: no database connection became free in %lld s\n",
                (long long)PoolWait.count());
            return false;
        }
        if (!idle.empty()) {
            c = idle.back();
            c.full = false;
            idle.pop_back();
        } else {
            ++opened;
        }
    }
    // A connection lost while idle (the database restarted, an operator
    // ended it) is opened anew rather than failing the request that takes
    // it. The server sends an idle session nothing but its farewell, so
    // anything waiting on the socket means the session is over.
    pollfd waiting {c.pg ? PQsocket(c.pg) : -1, POLLIN, 0};
    if (c.pg && (PQstatus(c.pg) != CONNECTION_OK || ::poll(&waiting, 1, 0) != 0)) {
        PQfinish(c.pg);
        c.pg = nullptr;
    }
    if (c.pg)
        return true;
    std::string error;
    if (!open(c, error, true)) {
        std::fprintf(stderr, "storage: connecting to the database: %s\n", error.c_str());
        drop();
        return false;
    }
    return true;
}

void PgStorage::release(Connection &c)
{
    // A connection left inside a transaction or broken is not handed on.
    if (PQstatus(c.pg) != CONNECTION_OK || PQtransactionStatus(c.pg) != PQTRANS_IDLE) {
        PQfinish(c.pg);
        drop();
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    idle.push_back(c);
    freed.notify_one();
}

// A connection of the pool is gone: another may be opened.
void PgStorage::drop()
{
    std::lock_guard<std::mutex> lock(mutex);
    --opened;
    freed.notify_one();
}

bool PgStorage::exec(
    Connection &c, const char *statement, const Params &params, Rows &rows, bool binaryResult)
{
    const std::vector<const char *> values = params.pointers();
    const std::vector<int> lengths = params.lengths();
    rows = Rows(PQexecPrepared(c.pg, statement, int(values.size()), values.data(), lengths.data(),
        params.binary.data(), binaryResult ? 1 : 0));
    if (!rows.ok()) {
        c.full = c.full || rows.diskFull();
        if (!c.full)
            logLine(statement, c.pg);
        return false;
    }
    return true;
}

// Queues a statement in pipeline mode.
bool PgStorage::send(Connection &c, const char *statement, const Params &params)
{
    const std::vector<const char *> values = params.pointers();
    const std::vector<int> lengths = params.lengths();
    return PQsendQueryPrepared(
        c.pg, statement, int(values.size()), values.data(), lengths.data(), params.binary.data(), 0);
}

// One statement on its own: PostgreSQL makes it a transaction.
bool PgStorage::run(const char *statement, const Params &params, Rows &rows, bool binaryResult)
{
    Connection c;
    if (!acquire(c))
        return false;
    const bool ok = exec(c, statement, params, rows, binaryResult);
    release(c);
    return ok;
}

// One statement that must survive a crash of the database server.
Result PgStorage::durable(const char *statement, const Params &params, Rows &rows)
{
    return transaction([&](Connection &c) {
        return exec(c, statement, params, rows) ? Result::Ok : Result::Failed;
    });
}

template<typename Body> Result PgStorage::transaction(Body body, const char *begin)
{
    Connection c;
    if (!acquire(c))
        return Result::Failed;
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
    return result == Result::Failed && c.full ? Result::Full : result;
}

}  // namespace

std::unique_ptr<Storage> openPgStorage(const std::string &conninfo, std::string &error)
{
    auto storage = std::make_unique<PgStorage>(conninfo);
    if (!storage->migrate(error))
        return nullptr;
    return storage;
}

}  // namespace belfry
