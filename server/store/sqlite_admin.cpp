// The SQLite backend's housekeeping and administration: expiry of ringtones
// and of what anyone may write unpaired, updates, settings, statistics.

#include "store/sqlite_db.h"

#include <unistd.h>

namespace belfry::sqlite {

Result SqliteStorage::expireRingtones(int64_t createdBefore, int64_t &removed)
{
    std::vector<std::string> fileKeys;
    const Result r = transaction("expire ringtones", [&] {
        fileKeys.clear();
        Query q(db, "DELETE FROM ringtones WHERE delivered_at IS NULL AND created < ? RETURNING file_key");
        q.bind(createdBefore);
        while (q.next())
            fileKeys.push_back(q.text(0));
        return q.failed() ? Result::Failed : Result::Ok;
    });
    removed = r == Result::Ok ? int64_t(fileKeys.size()) : 0;
    if (r == Result::Ok)
        removeFiles(fileKeys);
    return r;
}

Result SqliteStorage::expireAnonymous(int64_t eventsBefore, int64_t pcsBefore)
{
    return transaction(
        "expire anonymous writes",
        [&] {
            Query events(db, "DELETE FROM event_counts WHERE day < ?");
            Query pcs(db, R"(DELETE FROM pcs WHERE last_beat < ?
                             AND NOT EXISTS (SELECT 1 FROM pairings WHERE pairings.pcid = pcs.pcid)
                             AND NOT EXISTS (SELECT 1 FROM ringtones WHERE ringtones.pcid = pcs.pcid))");
            Query lost(db, "DELETE FROM lost_pairings WHERE pcid NOT IN (SELECT pcid FROM pcs)");
            return events.bind(eventsBefore / DaySeconds).run() && pcs.bind(pcsBefore).run() && lost.run()
                ? Result::Ok
                : Result::Failed;
        },
        Cheap);
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
    return locked("stats", [&] {
        stats = Stats();
        Query counts(db, R"(SELECT (SELECT count(*) FROM pcs),
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
            db, "SELECT name, sum(count) FROM event_counts GROUP BY name ORDER BY 2 DESC, 1 LIMIT ?");
        events.bind(MaxStatsEvents);
        while (events.next())
            stats.events[events.text(0)] = events.integer(1);
        return events.failed() ? Result::Failed : Result::Ok;
    });
}

}  // namespace belfry::sqlite
