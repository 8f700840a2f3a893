// The PostgreSQL backend: the schema and its migrations, and the pool of
// connections every method takes its statements through.

#include "store/pg_db.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace belfry {
namespace pg {
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

// Every session starts so (see DurableBegin).
constexpr const char *SessionSetup = "SET synchronous_commit TO off";

// Any constant; it keeps instances that start together from migrating at once.
constexpr const char *MigrationLock = "SELECT pg_advisory_xact_lock(7428031)";

}  // namespace

// libpq's message on one line: its hints follow on lines of their own,
// indented, and the journal takes each line for an event.
static std::string message(PGconn *conn)
{
    std::string out;
    for (const char *p = conn ? PQerrorMessage(conn) : ""; *p; ++p) {
        if (*p != '\n' && *p != '\t')
            out += *p;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

void logLine(const std::string &what, PGconn *conn)
{
    std::fprintf(stderr, "storage: %s: %s\n", what.c_str(), message(conn).c_str());
}

bool PgStorage::migrate(bool &reached, std::string &error)
{
    Connection c;
    reached = open(c, error, false);
    if (!reached)
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

bool PgStorage::open(Connection &c, std::string &error, bool withStatements)
{
    c.pg = PQconnectdb(conninfo.c_str());
    if (PQstatus(c.pg) != CONNECTION_OK) {
        error = message(c.pg);
        PQfinish(c.pg);
        c.pg = nullptr;
        return false;
    }
    // Notices (such as "relation already exists, skipping") are not news.
    PQsetNoticeProcessor(
        c.pg, [](void *, const char *) {}, nullptr);
    Rows setup(PQexec(c.pg, SessionSetup));
    if (!setup.ok())
        error = message(c.pg);
    if (!setup.ok() || (withStatements && !prepare(c.pg, error))) {
        PQfinish(c.pg);
        c.pg = nullptr;
        return false;
    }
    return true;
}

bool PgStorage::prepare(PGconn *pg, std::string &error)
{
    for (size_t i = 0; i < StatementCount; ++i) {
        const Statement &s = Statements[i];
        Rows r(PQprepare(pg, s.name, s.sql, 0, nullptr));
        if (!r.ok()) {
            error = std::string("preparing ") + s.name + ": " + message(pg);
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
            error = "migrating the schema: " + message(pg);
        return r.ok();
    };
    if (!step(DurableBegin) || !step(MigrationLock)
        || !step("CREATE TABLE IF NOT EXISTS belfry_schema (version integer NOT NULL)")) {
        PQclear(PQexec(pg, "ROLLBACK"));
        return false;
    }
    Rows current(PQexec(pg, "SELECT coalesce(max(version), 0) FROM belfry_schema"));
    if (!current.ok()) {
        error = "reading the schema version: " + message(pg);
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
            c.lost = true;
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
    const bool opened = open(c, error, true);
    reachable(opened, error);
    if (!opened) {
        c.lost = true;
        drop();
    }
    return opened;
}

// While the database is away every request finds it so: one line when it
// goes and one when it is back, not one per request.
void PgStorage::reachable(bool yes, const std::string &why)
{
    if (!yes && !away.exchange(true))
        std::fprintf(stderr, "storage: the database cannot be reached, answering 503 until it is back: %s\n",
            why.c_str());
    if (yes && away.exchange(false))
        std::fprintf(stderr, "storage: the database is back\n");
}

Result PgStorage::failure(const Connection &c)
{
    return c.full ? Result::Full : c.lost ? Result::Away : Result::Failed;
}

void PgStorage::release(Connection &c)
{
    // A connection left inside a transaction or broken is not handed on.
    if (PQstatus(c.pg) != CONNECTION_OK || PQtransactionStatus(c.pg) != PQTRANS_IDLE) {
        c.lost = c.lost || (c.pg && PQstatus(c.pg) != CONNECTION_OK);
        PQfinish(c.pg);
        c.pg = nullptr;
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
Result PgStorage::run(const char *statement, const Params &params, Rows &rows, bool binaryResult)
{
    Connection c;
    if (!acquire(c))
        return failure(c);
    const bool ok = exec(c, statement, params, rows, binaryResult);
    release(c);
    return ok ? Result::Ok : failure(c);
}

Result PgStorage::write(const char *statement, const Params &params)
{
    Rows rows;
    return run(statement, params, rows);
}

// One statement that must survive a crash of the database server.
Result PgStorage::durable(const char *statement, const Params &params, Rows &rows)
{
    return transaction([&](Connection &c) {
        return exec(c, statement, params, rows) ? Result::Ok : Result::Failed;
    });
}

}  // namespace pg

std::unique_ptr<Storage> openPgStorage(
    const std::string &conninfo, std::string &error, int64_t waitSeconds, int64_t retrySeconds)
{
    auto storage = std::make_unique<pg::PgStorage>(conninfo);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    std::chrono::seconds pause(std::max<int64_t>(retrySeconds, 1));
    for (int attempt = 1;; ++attempt) {
        bool reached = false;
        if (storage->migrate(reached, error))
            return storage;
        const auto left = until - std::chrono::steady_clock::now();
        if (reached || left <= left.zero())
            break;
        const auto next = std::min<std::chrono::steady_clock::duration>(pause, left);
        std::fprintf(stderr, "storage: the database cannot be reached (try %d), trying again in %lld s: %s\n",
            attempt, (long long)std::chrono::ceil<std::chrono::seconds>(next).count(), error.c_str());
        std::this_thread::sleep_for(next);
        pause = std::min(pause * 2, std::chrono::seconds(MaxDatabaseRetrySeconds));
    }
    error = "the database: " + error;
    return nullptr;
}

}  // namespace belfry
