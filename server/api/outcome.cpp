#include "api/outcome.h"

#include "core/beats.h"
#include "http/refusal.h"

#include <nlohmann/json.hpp>

#include <utility>

namespace belfry {

using json = nlohmann::json;

namespace {

// How the storage's results other than Ok are answered, unless the route says better.
struct StorageOutcome
{
    Result result;
    Refusal refusal;
    const char *error;
};
constexpr StorageOutcome StorageOutcomes[] = {
    {Result::NotFound, Refusal::NotFound, "no such thing is stored"},
    {Result::Denied, Refusal::Denied, "this device is not paired with that PC, or its token is wrong"},
    {Result::Conflict, Refusal::Busy, "no free ringtone id was found; try again"},
    {Result::OverQuota, Refusal::Quota, "the PC has too many ringtones waiting"},
    {Result::Full, Refusal::DiskFull, "the service's disk is full; try again later"},
    {Result::Failed, Refusal::Internal, "the service could not reach its storage"},
    {Result::Away, Refusal::Busy, "the service's database is out of reach for now; try again shortly"},
};
// And the converter's; its own words say why.
constexpr std::pair<ConvertStatus, Refusal> ConvertOutcomes[] = {
    {ConvertStatus::Refused, Refusal::NotAudio},
    {ConvertStatus::TooLarge, Refusal::TooLarge},
    {ConvertStatus::Busy, Refusal::Busy},
    {ConvertStatus::Failed, Refusal::Internal},
};

}  // namespace

void answer(Response &res, const json &body, int status)
{
    res.status = status;
    res.setContent(body.dump(), "application/json");
}

bool stored(Result r, Response &res, const std::string &notFound)
{
    if (r == Result::Ok)
        return true;
    if (r == Result::Full)
        noteDiskFull();
    if (r == Result::Away)
        res.headers.emplace_back("Retry-After", std::to_string(DatabaseAwayRetryAfterSeconds));
    for (const StorageOutcome &o : StorageOutcomes)
        if (o.result == r)
            refuse(res, o.refusal, r == Result::NotFound && !notFound.empty() ? notFound : o.error);
    return false;
}

bool allowed(const Verdict &v, Response &res, const std::string &why)
{
    if (!v.spent)
        return stored(v.result, res);
    res.headers.emplace_back("Retry-After", std::to_string(v.wait));
    refuse(res, Refusal::Rate, why);
    return false;
}

bool allowed(Allowance got, const AddressBudget &limit, Response &res, const std::string &why)
{
    return allowed(verdict(got, limit), res, why);
}

static void refuseConversion(Response &res, ConvertStatus status, const std::string &reason)
{
    Refusal why = Refusal::Internal;
    for (const auto &[s, refusal] : ConvertOutcomes)
        if (s == status)
            why = refusal;
    refuse(res, why, reason);
}

bool uploaded(const UploadOutcome &o, Response &res)
{
    bool ok = false;
    if (o.converted != ConvertStatus::Ok)
        refuseConversion(res, o.converted, o.why);
    else if (o.verdict.result == Result::OverQuota)
        refuse(res, Refusal::Quota, o.why);
    else
        ok = allowed(o.verdict, res, o.why);
    if (ok && o.id)
        answer(res, {{"status", 0}, {"id", o.id}}, 201);
    // How it was made, or the converter's own words, after the refusal's.
    if (!o.note.empty())
        res.note = ok ? (res.note.empty() ? o.note : o.note + "; " + res.note) : res.note + " (" + o.note + ")";
    return ok;
}

}  // namespace belfry
