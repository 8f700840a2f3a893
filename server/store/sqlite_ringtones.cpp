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

Result SqliteStorage::waitingLoad(const std::string &pcid, Load &load)
{
    return locked("waiting load", [&] {
        return SqliteQueries(*this).load(pcid, load);
    });
}

Result SqliteStorage::addRingtone(const NewRingtone &r, const std::string &bytes)
{
    // The slow part, writing and flushing the file, runs outside the lock
    // under a name that start-up treats as a leftover.
    const std::string temp = tempPath(r.fileKey);
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
    SqliteQueries q(*this);
    const Result result = transaction("add ringtone", [&] {
        return steps::addRingtone(q, r, bytes);
    });
    if (result != Result::Ok)
        ::unlink((q.placed ? filePath(r.fileKey) : temp).c_str());
    return result;
}

Result SqliteStorage::sentRingtones(const std::string &pcid, const std::string &deviceId,
    const std::string &token, size_t limit, std::vector<SentRingtone> &out)
{
    return locked("sent ringtones", [&] {
        SqliteQueries q(*this);
        return steps::sentRingtones(q, {pcid, deviceId, token}, limit, out);
    });
}

Result SqliteStorage::withdrawRingtone(
    const std::string &pcid, const std::string &deviceId, const std::string &token, int64_t id)
{
    SqliteQueries q(*this);
    const Result r = transaction("withdraw ringtone", [&] {
        return steps::withdrawRingtone(q, {pcid, deviceId, token}, id);
    });
    if (r == Result::Ok)
        removeFiles(q.dropped);
    return r;
}

}  // namespace belfry::sqlite
