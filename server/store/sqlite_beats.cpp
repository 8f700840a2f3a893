// The SQLite backend's PCs: beats and what they answer (news, waiting
// ringtones, receipts), pairings, settings, updates and usage events.

#include "store/sqlite_db.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace belfry::sqlite {

// Beats that arrive together share one transaction: under load most of a
// beat's cost was its own commit.
Result SqliteStorage::beat(const Beat &beat, BeatAnswer &answer)
{
    BeatJob job {&beat, &answer};
    beats.run(job, [this](const std::vector<BeatJob *> &jobs) {
        std::vector<std::string> dropped;
        // A confirmation drops a file: it must not be lost to a power cut.
        const bool confirms = std::any_of(jobs.begin(), jobs.end(), [](const BeatJob *j) {
            return !j->beat->got.empty();
        });
        const Result r = transaction(
            "beat",
            [&] {
                for (BeatJob *j : jobs)
                    if ((j->result = beatIn(*j->beat, *j->answer, dropped)) == Result::Failed)
                        return Result::Failed;
                return Result::Ok;
            },
            confirms ? Durable : Cheap);
        // One failed beat fails them all: nothing of the batch was stored.
        for (BeatJob *j : jobs)
            j->result = r == Result::Ok ? j->result : r;
        if (r == Result::Ok)
            removeFiles(dropped);
    });
    return job.result;
}

Result SqliteStorage::beatIn(const Beat &beat, BeatAnswer &answer, std::vector<std::string> &dropped)
{
    answer = BeatAnswer();
    Query up(db, "UPDATE pcs SET version = ?, last_beat = ?, expire = ?, receipts = ? WHERE pcid = ?");
    if (!up.bind(beat.version).bind(beat.now).bind(beat.expire).bind(int64_t(beat.receipts)).bind(beat.pcid).run())
        return Result::Failed;
    if (sqlite3_changes(db.handle) == 0) {
        if (!beat.mayCreate)
            return Result::NotFound;
        Query add(db, "INSERT INTO pcs (pcid, version, last_beat, expire, receipts) VALUES (?, ?, ?, ?, ?)");
        if (!add.bind(beat.pcid).bind(beat.version).bind(beat.now).bind(beat.expire).bind(int64_t(beat.receipts)).run())
            return Result::Failed;
        answer.created = true;
    }
    return confirm(beat, dropped) && readNews(beat, answer) ? Result::Ok : Result::Failed;
}

// Only the beat's own PC's ringtones: an id of another's is passed over.
bool SqliteStorage::confirm(const Beat &beat, std::vector<std::string> &dropped)
{
    for (int64_t id : beat.got) {
        Query q(db,
            "UPDATE ringtones SET delivered_at = ? WHERE id = ? AND pcid = ? AND delivered_at IS NULL "
            "RETURNING file_key");
        q.bind(beat.now).bind(id).bind(beat.pcid);
        if (q.next())
            dropped.push_back(q.text(0));
        if (q.failed())
            return false;
    }
    return true;
}

bool SqliteStorage::readNews(const Beat &beat, BeatAnswer &answer)
{
    if (!beat.farewell) {
        Query lost(db, "DELETE FROM lost_pairings WHERE pcid = ?");
        if (!lost.bind(beat.pcid).run())
            return false;
        answer.pairingLost = sqlite3_changes(db.handle) > 0;
        if (!freshPairings(beat.pcid, answer))
            return false;
        Query mark(db, "UPDATE pairings SET reported = 1 WHERE pcid = ? AND reported = 0");
        if (!answer.newPairings.empty() && !mark.bind(beat.pcid).run())
            return false;
    }
    Query waiting(db, R"(UPDATE ringtones SET announced_to = ?, announced_at = ?
                         WHERE pcid = ? AND delivered_at IS NULL RETURNING seq, id)");
    waiting.bind(beat.address).bind(beat.now).bind(beat.pcid);
    std::vector<std::pair<int64_t, int64_t>> listed;
    while (waiting.next())
        listed.emplace_back(waiting.integer(0), waiting.integer(1));
    std::sort(listed.begin(), listed.end());
    for (const auto &seqAndId : listed)
        answer.waiting.push_back(seqAndId.second);
    return !waiting.failed();
}

bool SqliteStorage::freshPairings(const std::string &pcid, BeatAnswer &answer)
{
    Query fresh(db, R"(SELECT device_id, device_name FROM pairings WHERE pcid = ? AND reported = 0
                       ORDER BY paired_at, rowid)");
    fresh.bind(pcid);
    while (fresh.next())
        answer.newPairings.push_back({fresh.text(0), fresh.text(1)});
    return !fresh.failed();
}

Result SqliteStorage::peekBeat(const Beat &beat, BeatAnswer &answer)
{
    return locked("beat, read only", [&] {
        answer = BeatAnswer();
        Query lost(db, "SELECT 1 FROM lost_pairings WHERE pcid = ?");
        answer.pairingLost = !beat.farewell && lost.bind(beat.pcid).next();
        if (lost.failed() || (!beat.farewell && !freshPairings(beat.pcid, answer)))
            return Result::Failed;
        Query waiting(db, "SELECT id FROM ringtones WHERE pcid = ? AND delivered_at IS NULL ORDER BY seq");
        waiting.bind(beat.pcid);
        while (waiting.next())
            answer.waiting.push_back(waiting.integer(0));
        return waiting.failed() ? Result::Failed : Result::Ok;
    });
}

Result SqliteStorage::unpair(const std::string &pcid, const std::vector<std::string> &deviceIds)
{
    return transaction("unpair", [&] {
        for (const std::string &id : deviceIds) {
            Query q(db, "DELETE FROM pairings WHERE pcid = ? AND device_id = ?");
            if (!q.bind(pcid).bind(id).run())
                return Result::Failed;
        }
        return Result::Ok;
    });
}

Result SqliteStorage::conf(const std::string &pcid, std::map<std::string, std::string> &values)
{
    return locked("conf", [&] {
        values.clear();
        // The values for all PCs first, so that this PC's own override them.
        Query q(db, "SELECT key, value FROM conf WHERE pcid = '' OR pcid = ? ORDER BY pcid <> ''");
        q.bind(pcid);
        while (q.next())
            values[q.text(0)] = q.text(1);
        return q.failed() ? Result::Failed : Result::Ok;
    });
}

Result SqliteStorage::latestUpdate(Update &update)
{
    return locked("latest update", [&] {
        Query q(db, "SELECT version, url, published FROM updates ORDER BY seq DESC LIMIT 1");
        if (q.next()) {
            update = {q.text(0), q.text(1), q.integer(2)};
            return Result::Ok;
        }
        return q.failed() ? Result::Failed : Result::NotFound;
    });
}

Result SqliteStorage::recordEvent(const std::string &pcid, const std::string &event, int64_t now)
{
    return transaction(
        "event",
        [&] {
            Query q(db, R"(INSERT INTO event_counts (pcid, name, day, count) VALUES (?, ?, ?, 1)
                           ON CONFLICT (pcid, name, day) DO UPDATE SET count = count + 1)");
            return q.bind(pcid).bind(event).bind(now / DaySeconds).run() ? Result::Ok : Result::Failed;
        },
        Cheap);
}

Result SqliteStorage::pair(
    const std::string &pcid, const Device &device, const std::string &token, int64_t now)
{
    return transaction("pair", [&] {
        SqliteQueries q(*this);
        return steps::pair(q, pcid, device, token, now);
    });
}

Result SqliteStorage::removePairing(
    const std::string &pcid, const std::string &deviceId, const std::string &token)
{
    return transaction("unpair device", [&] {
        SqliteQueries q(*this);
        return steps::removePairing(q, {pcid, deviceId, token});
    });
}

Result SqliteStorage::checkPairing(
    const std::string &pcid, const std::string &deviceId, const std::string &token)
{
    return locked("check pairing", [&] {
        return SqliteQueries(*this).paired({pcid, deviceId, token}, false);
    });
}

}  // namespace belfry::sqlite
