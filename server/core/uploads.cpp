#include "core/uploads.h"

#include "rules/codec.h"
#include "service_limits.h"

#include <utility>

namespace belfry {

Uploads::Uploads(Storage &storage, Beats &beats, ConvertQueue &conversions, Quota quota, int64_t perHour)
    : storage(storage)
    , beats(beats)
    , conversions(conversions)
    , quota(quota)
    , budget(addressBudget(storage, "uploads", perHour, HourSeconds))
{ }

Result Uploads::paired(const std::string &pcid, const std::string &deviceId, const std::string &token)
{
    return storage.checkPairing(pcid, deviceId, token);
}

Result Uploads::full(const std::string &pcid, bool &full)
{
    Load load;
    const Result r = storage.waitingLoad(pcid, load);
    full = r == Result::Ok && !roomFor(load, quota, 1);
    return r;
}

UploadOutcome Uploads::admit(const std::string &pcid, const std::string &address)
{
    UploadOutcome o;
    bool none = false;
    o.verdict.result = full(pcid, none);
    if (o.verdict.result == Result::Ok && none)
        o.verdict.result = Result::OverQuota;
    if (o.verdict.result == Result::OverQuota)
        o.why = quotaProblem();
    if (o.verdict.result != Result::Ok)
        return o;
    o.verdict = verdict(budget->take(address, beats.now()), *budget);
    if (o.verdict.spent)
        o.why = "too many uploads from this address; try again later";
    return o;
}

bool Uploads::convert(
    std::string input, int start, const std::string &address, std::function<void(Conversion)> made)
{
    if (conversions.submit(std::move(input), start, std::move(made)))
        return true;
    budget->give(address, beats.now());
    return false;
}

UploadOutcome Uploads::busy()
{
    UploadOutcome o;
    o.converted = ConvertStatus::Busy;
    o.why = "the service is busy making other ringtones; try again in a moment";
    return o;
}

UploadOutcome Uploads::store(NewRingtone r, const Conversion &made)
{
    UploadOutcome o;
    if (made.status != ConvertStatus::Ok) {
        o.converted = made.status;
        o.why = made.reason;
        o.note = made.detail;
        return o;
    }
    o = stored(r, made.ringtone);
    o.note = (made.copied ? "copied " : "converted ") + std::to_string(int(made.seconds + 0.5)) + " s";
    return o;
}

UploadOutcome Uploads::stored(NewRingtone &r, const std::string &bytes)
{
    r.quota = quota;
    beats.expire();
    UploadOutcome o;
    // Random ids clash rarely; a few draws settle it.
    o.verdict.result = Result::Conflict;
    for (int attempt = 0; attempt < 8 && o.verdict.result == Result::Conflict; ++attempt) {
        r.id = randomId();
        r.fileKey = randomHex(FileKeyBytes);
        r.now = beats.now();
        o.verdict.result = storage.addRingtone(r, bytes);
    }
    if (o.verdict.result == Result::OverQuota)
        o.why = quotaProblem();
    if (o.verdict.result == Result::Ok)
        o.id = r.id;
    return o;
}

std::string Uploads::quotaProblem() const
{
    return "the PC has too many ringtones waiting (at most " + std::to_string(quota.maxWaiting)
        + " ringtones or " + mebibytes(size_t(quota.maxWaitingBytes)) + "); more fit once it has fetched them";
}

}  // namespace belfry
