// The PostgreSQL backend's ringtones: their rows and files (bytea), uploads
// within a PC's room, what a device sent, withdrawals and deliveries.

#include "store/pg_db.h"

namespace belfry::pg {

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
    if (const Result r = run("ringtone_file_part", Params().number(info.id).number(offset + 1).number(int64_t(length)), rows,
            true); r != Result::Ok)
        return r;
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

Result PgStorage::waitingLoad(const std::string &pcid, Load &load)
{
    Rows rows;
    if (const Result r = run("waiting_load", Params().text(pcid), rows); r != Result::Ok)
        return r;
    load = {rows.number(0, 0), rows.number(0, 1)};
    return Result::Ok;
}

Result PgStorage::addRingtone(const NewRingtone &r, const std::string &bytes)
{
    return transaction([&](Connection &c) {
        // Uploads to one PC queue up here (SQLite has one writer at a time).
        Rows rows;
        if (!exec(c, "lock_sender", Params().text(r.pcid), rows))
            return Result::Failed;
        PgQueries q(*this, c);
        return steps::addRingtone(q, r, bytes);
    });
}

Result PgStorage::sentRingtones(const std::string &pcid, const std::string &deviceId,
    const std::string &token, size_t limit, std::vector<SentRingtone> &out)
{
    out.clear();
    return transaction([&](Connection &c) {
        PgQueries q(*this, c);
        return steps::sentRingtones(q, {pcid, deviceId, token}, limit, out);
    });
}

Result PgStorage::withdrawRingtone(
    const std::string &pcid, const std::string &deviceId, const std::string &token, int64_t id)
{
    return transaction([&](Connection &c) {
        PgQueries q(*this, c);
        return steps::withdrawRingtone(q, {pcid, deviceId, token}, id);
    });
}

Result PgStorage::ringtoneBy(const char *statement, const Params &params, RingtoneInfo &info)
{
    Rows rows;
    if (const Result r = run(statement, params, rows); r != Result::Ok)
        return r;
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

}  // namespace belfry::pg
