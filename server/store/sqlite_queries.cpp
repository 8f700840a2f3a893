// The SQLite backend's queries that a phone's steps (store/steps.h) are
// made of. Every one runs inside the storage's lock, most inside a
// transaction that holds the database's one writer lock, so nothing needs
// holding beyond that.

#include "store/sqlite_db.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace belfry::sqlite {

namespace {

bool syncFolder(const std::string &dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

Result SqliteQueries::knownPc(const std::string &pcid)
{
    Query known(db, "SELECT 1 FROM pcs WHERE pcid = ?");
    if (!known.bind(pcid).next())
        return known.failed() ? Result::Failed : Result::NotFound;
    return Result::Ok;
}

Result SqliteQueries::pairDevice(
    const std::string &pcid, const Device &device, const std::string &token, int64_t now)
{
    Query q(db, R"(INSERT INTO pairings (pcid, device_id, device_name, token_hash, paired_at, reported)
                   VALUES (?, ?, ?, sha256(?), ?, 0) ON CONFLICT (pcid, device_id) DO UPDATE SET
                   device_name = excluded.device_name, token_hash = excluded.token_hash,
                   paired_at = excluded.paired_at, reported = 0)");
    Query found(db, "DELETE FROM lost_pairings WHERE pcid = ?");
    const bool ok = q.bind(pcid).bind(device.id).bind(device.name).bind(token).bind(now).run()
        && found.bind(pcid).run();
    return ok ? Result::Ok : Result::Failed;
}

Result SqliteQueries::paired(const Sender &s, bool)
{
    Query q(db, "SELECT 1 FROM pairings WHERE pcid = ? AND device_id = ? AND token_hash = sha256(?)");
    q.bind(s.pcid).bind(s.deviceId).bind(s.token);
    if (q.next())
        return Result::Ok;
    return q.failed() ? Result::Failed : Result::Denied;
}

Result SqliteQueries::dropPairing(const Sender &s)
{
    const Result known = paired(s, true);
    if (known != Result::Ok)
        return known;
    Query q(db, "DELETE FROM pairings WHERE pcid = ? AND device_id = ?");
    return q.bind(s.pcid).bind(s.deviceId).run() ? Result::Ok : Result::Failed;
}

Result SqliteQueries::lostIfLast(const std::string &pcid)
{
    Query left(db, "SELECT 1 FROM pairings WHERE pcid = ? LIMIT 1");
    left.bind(pcid);
    if (left.next())
        return Result::Ok;
    Query lost(db, "INSERT OR IGNORE INTO lost_pairings (pcid) VALUES (?)");
    return !left.failed() && lost.bind(pcid).run() ? Result::Ok : Result::Failed;
}

Result SqliteQueries::load(const std::string &pcid, Load &load)
{
    Query q(
        db, "SELECT count(*), coalesce(sum(size), 0) FROM ringtones WHERE pcid = ? AND delivered_at IS NULL");
    if (!q.bind(pcid).next())
        return Result::Failed;
    load = {q.integer(0), q.integer(1)};
    return Result::Ok;
}

// The file was written to its temporary name before the transaction began.
Result SqliteQueries::insertRingtone(const NewRingtone &r, const std::string &bytes)
{
    Query taken(db, "SELECT 1 FROM ringtones WHERE id = ? OR file_key = ?");
    taken.bind(r.id).bind(r.fileKey);
    if (taken.next())
        return Result::Conflict;
    if (taken.failed())
        return Result::Failed;
    // The file is in place before the row exists; a crash in between
    // leaves a file without a row, which the next start removes.
    const std::string temp = store.tempPath(r.fileKey);
    if (::rename(temp.c_str(), store.filePath(r.fileKey).c_str()) != 0 || !syncFolder(store.files)) {
        std::fprintf(stderr, "storage: cannot move %s into place: %s\n", temp.c_str(), std::strerror(errno));
        return Result::Failed;
    }
    placed = true;
    Query q(db, R"(INSERT INTO ringtones (id, file_key, pcid, device_id, name, size, created)
                   VALUES (?, ?, ?, ?, ?, ?, ?))");
    return q.bind(r.id)
               .bind(r.fileKey)
               .bind(r.pcid)
               .bind(r.deviceId)
               .bind(r.name)
               .bind(int64_t(bytes.size()))
               .bind(r.now)
               .run()
        ? Result::Ok
        : Result::Failed;
}

Result SqliteQueries::sent(const Sender &s, size_t limit, std::vector<SentRingtone> &out)
{
    Query q(db, R"(SELECT id, name, size, created, delivered_at IS NOT NULL FROM ringtones
                   WHERE pcid = ? AND device_id = ? ORDER BY seq DESC LIMIT ?)");
    q.bind(s.pcid).bind(s.deviceId).bind(int64_t(limit));
    while (q.next())
        out.push_back({q.integer(0), q.text(1), q.integer(2), q.integer(3), q.integer(4) != 0});
    return q.failed() ? Result::Failed : Result::Ok;
}

Result SqliteQueries::withdraw(const Sender &s, int64_t id)
{
    Query q(db, R"(DELETE FROM ringtones WHERE id = ? AND pcid = ? AND device_id = ?
                   AND delivered_at IS NULL RETURNING file_key)");
    q.bind(id).bind(s.pcid).bind(s.deviceId);
    if (q.next())
        dropped.push_back(q.text(0));
    return q.failed() ? Result::Failed : dropped.empty() ? Result::NotFound : Result::Ok;
}

}  // namespace belfry::sqlite
