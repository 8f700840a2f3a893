// The SQLite backend's housekeeping and administration: expiry of ringtones
// and of what anyone may write unpaired, updates, settings, statistics.

#include "store/sqlite_db.h"

#include <unistd.h>

namespace belfry::sqlite {

// A sweep deletes in batches, each its own transaction, so that a beat waits
// behind one batch at most, never behind the whole sweep. `sql` binds the
// batch's size last; what its rows return joins `returned`.
Result SqliteStorage::inBatches(const char *what, const char *sql, std::optional<int64_t> before,
    Durability durability, std::vector<std::string> *returned)
{
    for (;;) {
        std::vector<std::string> batch;
        int64_t deleted = 0;
        const Result r = transaction(
            what,
            [&] {
                batch.clear();
                Query q(db, sql);
                if (before)
                    q.bind(*before);
                q.bind(int64_t(SweepBatchRows));
                while (q.next())
                    batch.push_back(q.text(0));
                deleted = sqlite3_changes64(db.handle);
                return q.failed() ? Result::Failed : Result::Ok;
            },
            durability);
        if (r != Result::Ok)
            return r;
        if (returned)
            returned->insert(returned->end(), batch.begin(), batch.end());
        if (deleted < int64_t(SweepBatchRows))
            return r;
    }
}

Result SqliteStorage::expireRingtones(int64_t createdBefore, int64_t &removed)
{
    std::vector<std::string> fileKeys;
    const Result r = inBatches("expire ringtones", R"(DELETE FROM ringtones WHERE seq IN
        (SELECT seq FROM ringtones WHERE delivered_at IS NULL AND created < ? LIMIT ?) RETURNING file_key)",
        createdBefore, Durable, &fileKeys);
    // Whatever batches were deleted lose their files, even when a later one failed.
    removed = int64_t(fileKeys.size());
    removeFiles(fileKeys);
    return r;
}

Result SqliteStorage::expireAnonymous(int64_t eventsBefore, int64_t pcsBefore)
{
    Result r = inBatches("expire events", R"(DELETE FROM event_counts WHERE rowid IN
        (SELECT rowid FROM event_counts WHERE day < ? LIMIT ?))", eventsBefore / DaySeconds, Cheap);
    if (r == Result::Ok)
        r = expireUnpairedPcs(pcsBefore);
    if (r == Result::Ok)
        r = inBatches("expire lost pairings", R"(DELETE FROM lost_pairings WHERE rowid IN
            (SELECT rowid FROM lost_pairings WHERE pcid NOT IN (SELECT pcid FROM pcs) LIMIT ?))",
            std::nullopt, Cheap);
    return r;
}

// last_beat has no index (every beat would pay for it), so the sweep walks
// the table by rowid: each transaction looks at one batch's worth of rows,
// never at the whole table while the beats wait.
Result SqliteStorage::expireUnpairedPcs(int64_t before)
{
    int64_t last = 0;
    Result r = locked("expire unpaired PCs", [&] {
        Query q(db, "SELECT coalesce(max(rowid), 0) FROM pcs");
        if (!q.next())
            return Result::Failed;
        last = q.integer(0);
        return Result::Ok;
    });
    for (int64_t from = 0; r == Result::Ok && from < last; from += int64_t(SweepBatchRows)) {
        r = transaction(
            "expire unpaired PCs",
            [&] {
                Query q(db, R"(DELETE FROM pcs WHERE rowid > ? AND rowid <= ? AND last_beat < ?
                    AND NOT EXISTS (SELECT 1 FROM pairings WHERE pairings.pcid = pcs.pcid)
                    AND NOT EXISTS (SELECT 1 FROM ringtones WHERE ringtones.pcid = pcs.pcid))");
                return q.bind(from).bind(from + int64_t(SweepBatchRows)).bind(before).run() ? Result::Ok
                                                                                            : Result::Failed;
            },
            Cheap);
    }
    return r;
}

Result SqliteStorage::publishUpdate(const Update &update)
{
    return transaction("publish update", [&] {
        Query q(db, "INSERT INTO updates (version, url, published) VALUES (?, ?, ?)");
        return q.bind(update.version).bind(update.url).bind(update.published).run() ? Result::Ok
                                                                                    : Result::Failed;
    });
}

Result SqliteStorage::setConf(const std::string &pcid, const std::string &key, const std::string &value)
{
    return transaction("set conf", [&] {
        if (value.empty()) {
            Query q(db, "DELETE FROM conf WHERE pcid = ? AND key = ?");
            return q.bind(pcid).bind(key).run() ? Result::Ok : Result::Failed;
        }
        Query q(db, R"(INSERT INTO conf (pcid, key, value) VALUES (?, ?, ?)
                       ON CONFLICT (pcid, key) DO UPDATE SET value = excluded.value)");
        return q.bind(pcid).bind(key).bind(value).run() ? Result::Ok : Result::Failed;
    });
}

Result SqliteStorage::stats(int64_t now, Stats &stats)
{
    std::lock_guard<std::mutex> lock(readerMutex);
    reader.error.clear();
    const Result r = [&] {
        stats = Stats();
        Query counts(reader, R"(SELECT (SELECT count(*) FROM pcs),
                                   (SELECT count(*) FROM pcs WHERE last_beat + expire + ? >= ?),
                                   (SELECT count(*) FROM pairings),
                                   (SELECT count(*) FROM ringtones WHERE delivered_at IS NULL),
                                   (SELECT count(*) FROM ringtones WHERE delivered_at IS NOT NULL))");
        counts.bind(OnlineGraceSeconds).bind(now);
        if (!counts.next())
            return Result::Failed;
        stats.pcs = counts.integer(0);
        stats.pcsOnline = counts.integer(1);
        stats.pairings = counts.integer(2);
        stats.ringtonesWaiting = counts.integer(3);
        stats.ringtonesDelivered = counts.integer(4);
        Query events(
            reader, "SELECT name, sum(count) FROM event_counts GROUP BY name ORDER BY 2 DESC, 1 LIMIT ?");
        events.bind(MaxStatsEvents);
        while (events.next())
            stats.events[events.text(0)] = events.integer(1);
        return events.failed() ? Result::Failed : Result::Ok;
    }();
    return r == Result::Failed ? fail("stats", reader) : r;
}

}  // namespace belfry::sqlite
