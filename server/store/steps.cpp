// The order of a phone's checks inside its transaction, for every backend.

#include "store/steps.h"

namespace belfry::steps {

Result pair(Queries &q, const std::string &pcid, const Device &device, const std::string &token, int64_t now)
{
    const Result known = q.knownPc(pcid);
    return known != Result::Ok ? known : q.pairDevice(pcid, device, token, now);
}

Result removePairing(Queries &q, const Sender &sender)
{
    const Result dropped = q.dropPairing(sender);
    return dropped != Result::Ok ? dropped : q.lostIfLast(sender.pcid);
}

// The pairing first: a stranger learns nothing of the PC's room.
Result addRingtone(Queries &q, const NewRingtone &ringtone, const std::string &bytes)
{
    const Result known = q.paired({ringtone.pcid, ringtone.deviceId, ringtone.deviceToken}, true);
    if (known != Result::Ok)
        return known;
    Load load;
    const Result read = q.load(ringtone.pcid, load);
    if (read != Result::Ok)
        return read;
    if (!roomFor(load, ringtone.quota, int64_t(bytes.size())))
        return Result::OverQuota;
    return q.insertRingtone(ringtone, bytes);
}

Result sentRingtones(Queries &q, const Sender &sender, size_t limit, std::vector<SentRingtone> &out)
{
    out.clear();
    const Result known = q.paired(sender, false);
    return known != Result::Ok ? known : q.sent(sender, limit, out);
}

Result withdrawRingtone(Queries &q, const Sender &sender, int64_t id)
{
    const Result known = q.paired(sender, true);
    return known != Result::Ok ? known : q.withdraw(sender, id);
}

}  // namespace belfry::steps
