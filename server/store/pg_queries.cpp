// The PostgreSQL backend's queries that a phone's steps (store/steps.h) are
// made of, each a prepared statement on the transaction's connection.
// Changes that must see one another's effects lock the PC's row first.

#include "store/pg_db.h"

namespace belfry::pg {

// Also locks the PC's row until the commit.
Result PgQueries::knownPc(const std::string &pcid)
{
    Rows rows;
    if (!store.exec(c, "lock_pc", Params().text(pcid), rows))
        return Result::Failed;
    return rows.count() ? Result::Ok : Result::NotFound;
}

Result PgQueries::pairDevice(
    const std::string &pcid, const Device &device, const std::string &token, int64_t now)
{
    Rows rows;
    return store.exec(
               c, "pair", Params().text(pcid).text(device.id).text(device.name).text(token).number(now), rows)
            && store.exec(c, "pair_found", Params().text(pcid), rows)
        ? Result::Ok
        : Result::Failed;
}

Result PgQueries::paired(const Sender &s, bool hold)
{
    Rows rows;
    if (!store.exec(c, hold ? "pairing_held" : "pairing_valid",
            Params().text(s.pcid).text(s.deviceId).text(s.token), rows))
        return Result::Failed;
    return rows.count() ? Result::Ok : Result::Denied;
}

Result PgQueries::dropPairing(const Sender &s)
{
    Rows rows;
    if (!store.exec(c, "lock_pc", Params().text(s.pcid), rows)
        || !store.exec(c, "remove_pairing", Params().text(s.pcid).text(s.deviceId).text(s.token), rows))
        return Result::Failed;
    return rows.count() ? Result::Ok : Result::Denied;
}

Result PgQueries::lostIfLast(const std::string &pcid)
{
    Rows rows;
    return store.exec(c, "pairing_lost", Params().text(pcid), rows) ? Result::Ok : Result::Failed;
}

Result PgQueries::load(const std::string &pcid, Load &load)
{
    Rows rows;
    if (!store.exec(c, "waiting_load", Params().text(pcid), rows))
        return Result::Failed;
    load = {rows.number(0, 0), rows.number(0, 1)};
    return Result::Ok;
}

Result PgQueries::insertRingtone(const NewRingtone &r, const std::string &bytes)
{
    Rows rows;
    if (!store.exec(c, "add_ringtone",
            Params()
                .number(r.id)
                .text(r.fileKey)
                .text(r.pcid)
                .text(r.deviceId)
                .text(r.name)
                .number(int64_t(bytes.size()))
                .number(r.now)
                .bytes(bytes),
            rows))
        return Result::Failed;
    return rows.count() ? Result::Ok : Result::Conflict;
}

Result PgQueries::sent(const Sender &s, size_t limit, std::vector<SentRingtone> &out)
{
    Rows rows;
    if (!store.exec(c, "sent", Params().text(s.pcid).text(s.deviceId).number(int64_t(limit)), rows))
        return Result::Failed;
    for (int i = 0; i < rows.count(); ++i)
        out.push_back(
            {rows.number(i, 0), rows.text(i, 1), rows.number(i, 2), rows.number(i, 3), rows.flag(i, 4)});
    return Result::Ok;
}

Result PgQueries::withdraw(const Sender &s, int64_t id)
{
    Rows rows;
    if (!store.exec(c, "withdraw", Params().text(s.pcid).text(s.deviceId).number(id), rows))
        return Result::Failed;
    return rows.count() ? Result::Ok : Result::NotFound;
}

}  // namespace belfry::pg
