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

}  // namespace belfry::pg
