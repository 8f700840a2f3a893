// The SQLite backend's ringtones: their rows and files, uploads within a PC's
// room, what a device sent, withdrawals and deliveries.

#include "store/sqlite_db.h"
#include "writeall.h"

#include <algorithm>
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

Result SqliteStorage::readInfo(Query &q, RingtoneInfo &info)
{
    if (q.next()) {
        info = {q.integer(0), q.text(1), q.text(2), q.text(3), q.integer(4), !q.null(5), q.integer(6),
            q.text(7), q.integer(8), q.integer(9) != 0};
        return Result::Ok;
    }
    return q.failed() ? Result::Failed : Result::NotFound;
}

#define RINGTONE_COLUMNS                                                                                     \
    "SELECT r.id, r.file_key, r.pcid, r.name, r.size, r.delivered_at, r.created, r.announced_to, "           \
    "r.announced_at, coalesce(p.receipts, 0) FROM ringtones r LEFT JOIN pcs p ON p.pcid = r.pcid "

Result SqliteStorage::ringtone(int64_t id, RingtoneInfo &info)
{
    return locked("ringtone", [&] {
        Query q(db, RINGTONE_COLUMNS "WHERE r.id = ?");
        q.bind(id);
        return readInfo(q, info);
    });
}

Result SqliteStorage::ringtoneByFileKey(const std::string &fileKey, RingtoneInfo &info)
{
    return locked("ringtone", [&] {
        Query q(db, RINGTONE_COLUMNS "WHERE r.file_key = ?");
        q.bind(fileKey);
        return readInfo(q, info);
    });
}

Result SqliteStorage::ringtoneFilePart(
    const RingtoneInfo &info, int64_t offset, size_t length, std::string &bytes)
{
    // Outside the lock: the file is written whole before its row exists, and
    // only unlinked after its row went, so what is open reads whole.
    const int fd = ::open(filePath(info.fileKey).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return Result::NotFound;
    if (fd < 0) {
        std::fprintf(stderr, "storage: cannot read the file of ringtone %lld: %s\n", (long long)info.id,
            std::strerror(errno));
        return Result::Failed;
    }
    bytes.resize(size_t(std::max<int64_t>(0, std::min<int64_t>(int64_t(length), info.size - offset))));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, off_t(offset) + off_t(got));
        if (n <= 0 && !(n < 0 && errno == EINTR))
            break;
        got += size_t(std::max<ssize_t>(0, n));
    }
    ::close(fd);
    if (got != bytes.size()) {
        std::fprintf(stderr, "storage: the file of ringtone %lld changed size\n", (long long)info.id);
        return Result::Failed;
    }
    return Result::Ok;
}

// Only after the commit: a crash before it keeps the ringtones deliverable.
void SqliteStorage::removeFiles(const std::vector<std::string> &fileKeys)
{
    for (const std::string &key : fileKeys)
        ::unlink(filePath(key).c_str());
}

Result SqliteStorage::markDelivered(int64_t id, int64_t now)
{
    std::vector<std::string> fileKeys;
    const Result r = transaction("delivery", [&] {
        Query q(db,
            "UPDATE ringtones SET delivered_at = ? WHERE id = ? AND delivered_at IS NULL "
            "RETURNING file_key");
        q.bind(now).bind(id);
        if (q.next())
            fileKeys.push_back(q.text(0));
        return q.failed() ? Result::Failed : Result::Ok;
    });
    if (r == Result::Ok)
        removeFiles(fileKeys);
    return r;
}

Result SqliteStorage::loadOf(const std::string &pcid, Load &load)
{
    Query q(
        db, "SELECT count(*), coalesce(sum(size), 0) FROM ringtones WHERE pcid = ? AND delivered_at IS NULL");
    if (!q.bind(pcid).next())
        return Result::Failed;
    load = {q.integer(0), q.integer(1)};
    return Result::Ok;
}

Result SqliteStorage::waitingLoad(const std::string &pcid, Load &load)
{
    return locked("waiting load", [&] {
        return loadOf(pcid, load);
    });
}

Result SqliteStorage::addRingtone(const NewRingtone &r, const std::string &bytes)
{
    // The slow part, writing and flushing the file, runs outside the lock
    // under a name that start-up treats as a leftover.
    const std::string temp = files + "/tmp-" + r.fileKey;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const bool written = fd >= 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    if (fd >= 0)
        ::close(fd);
    if (!written) {
        ::unlink(temp.c_str());
        if (savedErrno == ENOSPC || savedErrno == EDQUOT)
            return Result::Full;
        std::fprintf(stderr, "storage: cannot write %s: %s\n", temp.c_str(), std::strerror(savedErrno));
        return Result::Failed;
    }
    const std::string path = filePath(r.fileKey);
    const int64_t size = int64_t(bytes.size());
    bool renamed = false;
    const Result result = transaction("add ringtone", [&] {
        const Result known = checkToken(r.pcid, r.deviceId, r.deviceToken);
        if (known != Result::Ok)
            return known;
        Load load;
        if (loadOf(r.pcid, load) != Result::Ok)
            return Result::Failed;
        if (!roomFor(load, r.quota, size))
            return Result::OverQuota;
        Query taken(db, "SELECT 1 FROM ringtones WHERE id = ? OR file_key = ?");
        taken.bind(r.id).bind(r.fileKey);
        if (taken.next())
            return Result::Conflict;
        if (taken.failed())
            return Result::Failed;
        // The file is in place before the row exists; a crash in between
        // leaves a file without a row, which the next start removes.
        if (::rename(temp.c_str(), path.c_str()) != 0 || !syncFolder(files)) {
            std::fprintf(
                stderr, "storage: cannot move %s into place: %s\n", temp.c_str(), std::strerror(errno));
            return Result::Failed;
        }
        renamed = true;
        Query q(db, R"(INSERT INTO ringtones (id, file_key, pcid, device_id, name, size, created)
                       VALUES (?, ?, ?, ?, ?, ?, ?))");
        return q.bind(r.id)
                   .bind(r.fileKey)
                   .bind(r.pcid)
                   .bind(r.deviceId)
                   .bind(r.name)
                   .bind(size)
                   .bind(r.now)
                   .run()
            ? Result::Ok
            : Result::Failed;
    });
    if (result != Result::Ok)
        ::unlink((renamed ? path : temp).c_str());
    return result;
}

Result SqliteStorage::sentRingtones(const std::string &pcid, const std::string &deviceId,
    const std::string &token, size_t limit, std::vector<SentRingtone> &out)
{
    return locked("sent ringtones", [&] {
        out.clear();
        const Result known = checkToken(pcid, deviceId, token);
        if (known != Result::Ok)
            return known;
        Query q(db, R"(SELECT id, name, size, created, delivered_at IS NOT NULL FROM ringtones
                       WHERE pcid = ? AND device_id = ? ORDER BY seq DESC LIMIT ?)");
        q.bind(pcid).bind(deviceId).bind(int64_t(limit));
        while (q.next())
            out.push_back({q.integer(0), q.text(1), q.integer(2), q.integer(3), q.integer(4) != 0});
        return q.failed() ? Result::Failed : Result::Ok;
    });
}

Result SqliteStorage::withdrawRingtone(
    const std::string &pcid, const std::string &deviceId, const std::string &token, int64_t id)
{
    std::vector<std::string> fileKeys;
    const Result r = transaction("withdraw ringtone", [&] {
        const Result known = checkToken(pcid, deviceId, token);
        if (known != Result::Ok)
            return known;
        Query q(db, R"(DELETE FROM ringtones WHERE id = ? AND pcid = ? AND device_id = ?
                       AND delivered_at IS NULL RETURNING file_key)");
        q.bind(id).bind(pcid).bind(deviceId);
        if (q.next())
            fileKeys.push_back(q.text(0));
        return q.failed() ? Result::Failed : fileKeys.empty() ? Result::NotFound : Result::Ok;
    });
    if (r == Result::Ok)
        removeFiles(fileKeys);
    return r;
}

}  // namespace belfry::sqlite
