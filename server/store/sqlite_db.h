// The SQLite backend's parts shared by its files: the one connection with its
// cached statements, and the class whose methods those files define. One
// database file in WAL mode and one file per waiting ringtone, both in the
// data folder; the connection is used under one mutex: the service's load is
// small writes, which SQLite serialises anyway.

#pragma once

#include "store/batch.h"
#include "store/steps.h"
#include "store/storage.h"

#include <optional>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <unistd.h>

namespace belfry::sqlite {

// How long a request waits for a writer outside this process, and the
// pauses between its tries.
constexpr std::chrono::milliseconds BusyWait(BusyWaitMilliseconds);
constexpr int BusyPauses[] = {1, 2, 5, 10, 20, 50, 100};

// The connection and its prepared statements: each statement is prepared
// once and reused, which keeps the SQL parser off the beat's path.
struct Connection
{
    sqlite3 *handle = nullptr;
    std::unordered_map<std::string, sqlite3_stmt *> statements;
    // The last failure, kept when it happens: later calls on the handle (a
    // reset, a rollback) change what sqlite3_errmsg says.
    std::string error;
    // It failed because a writer outside holds the database, outside a
    // transaction of ours: trying again later is safe.
    bool busy = false;
    // A write found the disk full (kept through the rollback that follows).
    bool full = false;

    void failed(int rc)
    {
        error = sqlite3_errcode(handle) == rc ? sqlite3_errmsg(handle) : sqlite3_errstr(rc);
        busy = (rc & 0xff) == SQLITE_BUSY && sqlite3_get_autocommit(handle);
        full = full || (rc & 0xff) == SQLITE_FULL;
    }

    ~Connection()
    {
        for (auto &entry : statements)
            sqlite3_finalize(entry.second);
        sqlite3_close(handle);
    }
};

// A cached statement with positional binding, reset on scope exit.
class Query
{
public:
    Query(Connection &db, const char *sql)
        : db(db)
    {
        sqlite3_stmt *&cached = db.statements[sql];
        if (!cached) {
            const int rc
                = sqlite3_prepare_v3(db.handle, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached, nullptr);
            if (rc != SQLITE_OK) {
                db.failed(rc);
                sqlite3_finalize(cached);
                cached = nullptr;
            }
        }
        stmt = cached;
        ok = stmt != nullptr;
    }
    ~Query()
    {
        if (stmt) {
            sqlite3_reset(stmt);
            sqlite3_clear_bindings(stmt);
        }
    }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &bind(const std::string &v)
    {
        return check(
            ok ? sqlite3_bind_text(stmt, ++index, v.data(), int(v.size()), SQLITE_TRANSIENT) : SQLITE_OK);
    }
    Query &bind(int64_t v) { return check(ok ? sqlite3_bind_int64(stmt, ++index, v) : SQLITE_OK); }
    // True while there is a row; check failed() afterwards.
    bool next()
    {
        if (!ok)
            return false;
        const int rc = sqlite3_step(stmt);
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (!ok)
            db.failed(rc);
        return rc == SQLITE_ROW;
    }
    bool run() { return next() || ok; }
    bool failed() const { return !ok; }
    std::string text(int col) const
    {
        const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(stmt, col));
        return p ? std::string(p, size_t(sqlite3_column_bytes(stmt, col))) : std::string();
    }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt, col); }
    bool null(int col) const { return sqlite3_column_type(stmt, col) == SQLITE_NULL; }

private:
    Query &check(int rc)
    {
        if (rc != SQLITE_OK) {
            db.failed(rc);
            ok = false;
        }
        return *this;
    }

    Connection &db;
    sqlite3_stmt *stmt = nullptr;
    int index = 0;
    bool ok = false;
};

class SqliteStorage : public Storage
{
public:
    ~SqliteStorage() override
    {
        if (lockFd >= 0)
            ::close(lockFd);
    }

    bool open(const std::string &dataDir, std::string &error);

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
    Result addRingtone(const NewRingtone &ringtone, const std::string &bytes) override;
    Result sentRingtones(const std::string &pcid, const std::string &deviceId, const std::string &token,
        size_t limit, std::vector<SentRingtone> &out) override;
    Result withdrawRingtone(
        const std::string &pcid, const std::string &deviceId, const std::string &token, int64_t id) override;
    Result expireRingtones(int64_t createdBefore, int64_t &removed) override;
    Result expireAnonymous(int64_t eventsBefore, int64_t pcsBefore) override;
    Result publishUpdate(const Update &update) override;
    Result setConf(const std::string &pcid, const std::string &key, const std::string &value) override;
    Result stats(int64_t now, Stats &stats) override;

private:
    // Runs `body` under the mutex. A database held by a writer outside this
    // process is waited for with the mutex released: reads never wait for a
    // writer in WAL mode, so only the writes of this process wait with it.
    template<typename Body> Result locked(const char *what, Body body);
    // Runs `work` in one transaction; `work` returns Ok to commit. A durable
    // commit is on disk when it returns; the others (beats, feedback: cheap to
    // lose, and most of the load) may be lost to a power cut, never to a
    // killed process.
    enum Durability { Durable, Cheap };
    template<typename Work> Result transaction(const char *what, Work work, Durability durability = Durable);
    Result inBatches(const char *what, const char *sql, std::optional<int64_t> before, Durability durability,
        std::vector<std::string> *returned = nullptr);
    Result expireUnpairedPcs(int64_t before);
    Result fail(const char *what, const Connection &on);
    Result fail(const char *what) { return fail(what, db); }
    bool exec(const char *sql)
    {
        char *message = nullptr;
        const int rc = sqlite3_exec(db.handle, sql, nullptr, nullptr, &message);
        if (rc != SQLITE_OK) {
            db.failed(rc);
            if (message)
                db.error = message;
        }
        sqlite3_free(message);
        return rc == SQLITE_OK;
    }
    // One beat inside the transaction of its batch; the files of the
    // ringtones it confirms join `dropped`, to go once the batch commits.
    Result beatIn(const Beat &beat, BeatAnswer &answer, std::vector<std::string> &dropped);
    bool confirm(const Beat &beat, std::vector<std::string> &dropped);
    // Takes the beat's news and lists its waiting ringtones.
    bool readNews(const Beat &beat, BeatAnswer &answer);
    // The pairings not yet reported to the PC.
    bool freshPairings(const std::string &pcid, BeatAnswer &answer);
    Result readInfo(Query &q, RingtoneInfo &info);
    std::string filePath(const std::string &fileKey) const { return files + "/" + fileKey + ".m4r"; }
    // An upload's file while it is written: start-up removes it as a leftover.
    std::string tempPath(const std::string &fileKey) const { return files + "/tmp-" + fileKey; }
    void removeFiles(const std::vector<std::string> &fileKeys);
    bool checkIntegrity(const std::string &path, std::string &error);
    bool migrate(std::string &error);
    bool removeLeftovers(const std::string &path, std::string &error);

    Batches<BeatJob> beats {BeatBatch};
    std::mutex mutex;
    Connection db;
    // Statistics read on a connection of their own: in WAL mode a reader
    // never waits for the writer, nor the writer (the beats) for it.
    std::mutex readerMutex;
    Connection reader;
    Durability synchronous = Durable;
    int lockFd = -1;
    std::string files;

    friend class SqliteQueries;
};

// The queries of a phone's steps, inside the storage's lock.
class SqliteQueries : public Queries
{
public:
    explicit SqliteQueries(SqliteStorage &store)
        : store(store)
        , db(store.db)
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

    // The files of withdrawn ringtones, to go once the transaction commits.
    std::vector<std::string> dropped;
    // The upload's file is in place under its own name: it is its row's now.
    bool placed = false;

private:
    SqliteStorage &store;
    Connection &db;
};

template<typename Body> Result SqliteStorage::locked(const char *what, Body body)
{
    const auto deadline = std::chrono::steady_clock::now() + BusyWait;
    for (size_t attempt = 0;; ++attempt) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            db.error.clear();
            db.busy = false;
            db.full = false;
            const Result r = body();
            if (r != Result::Failed)
                return r;
            if (db.full)
                return Result::Full;
            if (!db.busy || std::chrono::steady_clock::now() >= deadline)
                return fail(what);
        }
        const size_t pause = std::min(attempt, std::size(BusyPauses) - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(BusyPauses[pause]));
    }
}

template<typename Work> Result SqliteStorage::transaction(const char *what, Work work, Durability durability)
{
    return locked(what, [&] {
        // In WAL mode, FULL syncs the log at this commit, and with it every
        // cheap commit before it.
        if (durability != synchronous) {
            if (!exec(durability == Durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL"))
                return Result::Failed;
            synchronous = durability;
        }
        // Only a busy BEGIN is tried again: `work` has not run yet.
        if (!Query(db, "BEGIN IMMEDIATE").run())
            return Result::Failed;
        const Result r = work();
        if (r == Result::Ok && Query(db, "COMMIT").run())
            return r;
        sqlite3_exec(db.handle, "ROLLBACK", nullptr, nullptr, nullptr);
        return r == Result::Ok ? Result::Failed : r;
    });
}

}  // namespace belfry::sqlite
