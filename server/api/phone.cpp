// The phone's routes: pairing, sending a ringtone or a tune to convert,
// what it sent, withdrawing, unpairing, its limits.

#include "api/service.h"
#include "media/mp4.h"

#include "api/input.h"
#include "api/outcome.h"
#include "rules/codec.h"
#include "rules/fields.h"

#include <nlohmann/json.hpp>

namespace belfry {

using json = nlohmann::json;

static bool readPairing(const Request &req, Response &res, std::string &pcid, Device &device)
{
    return readJson(req, res, [&](Input &in) {
        pcid = in.text("pcid");
        device = {in.text("device_id"), in.text("device_name")};
        if (!in.ok())
            return;
        in.check(checkClientId(pcid));
        in.check(checkWord("the device id", device.id, MaxDeviceIdChars));
        in.check(checkName("the device name", device.name, MaxDeviceNameChars));
    });
}

void Service::phonePair(const Request &req, Response &res)
{
    std::string pcid;
    Device device;
    if (!readPairing(req, res, pcid, device))
        return;
    if (!allowed(pairings->take(sourceAddress(req), beats.now()), *pairings, res,
            "too many pairings from this address; try again later"))
        return;
    const std::string token = randomHex(DeviceTokenBytes);
    const Result r = storage.pair(pcid, device, token, beats.now());
    if (r == Result::NotFound)
        return refuse(res, Refusal::UnknownPc,
            "no PC with this id has been online: check the id on the PC's pairing page");
    if (stored(r, res))
        answer(res, {{"status", 0}, {"device_token", token}});
}

// A body of credentials alone.
static bool readCredentials(const Request &req, Response &res, Credentials &c)
{
    return readJson(req, res, [&](Input &in) {
        c = credentials(req, in);
    });
}

// Ok when paired; otherwise refused in `res`. Cheap: before any work on an upload.
static bool paired(Storage &storage, const Credentials &c, Response &res)
{
    return stored(storage.checkPairing(c.pcid, c.deviceId, c.token), res);
}

// An answer that was known before any work was put off.
static Finish answered(Response res)
{
    return [res = std::move(res)](Response &out) {
        out = res;
    };
}

static std::string startProblem(int max)
{
    return "\"start\" must be a whole number of seconds from 0 to " + std::to_string(max);
}

std::string Service::quotaProblem() const
{
    return "the PC has too many ringtones waiting (at most " + std::to_string(options.quota.maxWaiting)
        + " ringtones or " + mebibytes(size_t(options.quota.maxWaitingBytes))
        + "); more fit once it has fetched them";
}

// No ringtone fits, whatever its size: known before an upload is read or made.
bool Service::pcFull(const std::string &pcid, Response &res, bool &full)
{
    Load load;
    if (!stored(storage.waitingLoad(pcid, load), res))
        return false;
    full = !roomFor(load, options.quota, 1);
    return true;
}

// Counts an upload against its address's budget (every upload costs a
// conversion, whichever PC it goes to), once its PC has room.
bool Service::takeUpload(const Request &req, const std::string &pcid, Response &res)
{
    bool full = false;
    if (!pcFull(pcid, res, full))
        return false;
    if (full) {
        refuse(res, Refusal::Quota, quotaProblem());
        return false;
    }
    return allowed(uploads->take(sourceAddress(req), beats.now()), *uploads, res,
        "too many uploads from this address; try again later");
}

// The checks of a JSON upload, before its file goes to the converter.
bool Service::readUpload(const Request &req, Response &res, NewRingtone &r, std::string &bytes, int &start)
{
    Credentials c;
    std::string data;
    const bool read = readJson(req, res, [&](Input &in) {
        c = credentials(req, in);
        r.name = in.text("name");
        data = in.text("data");
        const json &from = in["start"];
        const int maxStart = options.convert.maxTuneSeconds;
        if (!from.is_null()
            && (!from.is_number_integer() || from.get<int64_t>() < 0 || from.get<int64_t>() > maxStart))
            in.check(startProblem(maxStart));
        start = from.is_number_integer() ? int(from.get<int64_t>()) : 0;
    });
    // A stranger's upload costs one lookup: nothing of it is decoded or stored.
    if (!read || !paired(storage, c, res))
        return false;
    Input in;
    in.check(checkRingtoneName(r.name), Refusal::Name);
    if (!decodeBase64(data, bytes))
        in.check("\"data\" must be the file in base64");
    else if (bytes.size() > MaxRingtoneBytes)
        in.check("the ringtone is larger than " + mebibytes(MaxRingtoneBytes), Refusal::TooLarge);
    else
        in.check(checkRingtoneFile(bytes), Refusal::NotAudio);
    if (!finish(in, res) || !takeUpload(req, c.pcid, res))
        return false;
    r.pcid = c.pcid;
    r.deviceId = c.deviceId;
    r.deviceToken = c.token;
    return true;
}

// Ringtones sent as JSON are MPEG-4 audio already; they are made anew all
// the same, so that a PC only ever gets what the service's encoder wrote.
void Service::phoneSend(Request &req, Resume resume)
{
    Response res;
    NewRingtone r;
    std::string bytes;
    int start = 0;
    if (!readUpload(req, res, r, bytes, start))
        return resume(answered(std::move(res)));
    req.body.clear();
    convertAndStore(std::move(bytes), start, r, std::move(resume));
}

// Everything but the file is in the address and the headers, so a stranger,
// a bad name, a full PC or an address over its budget is refused before any
// of the file is read.
bool Service::admitTune(const Request &req, Response &res)
{
    Input in;
    const Credentials c = credentials(req, in, true);
    in.check(checkRingtoneName(req.param("name")), Refusal::Name);
    int start = 0;
    if (!tuneStart(req.param("start"), options.convert.maxTuneSeconds, start))
        in.check(startProblem(options.convert.maxTuneSeconds));
    return finish(in, res) && paired(storage, c, res) && takeUpload(req, c.pcid, res);
}

void Service::phoneTune(Request &req, Resume resume)
{
    Input admittedAlready;
    const Credentials c = credentials(req, admittedAlready, true);
    NewRingtone r;
    r.pcid = c.pcid;
    r.deviceId = c.deviceId;
    r.deviceToken = c.token;
    r.name = req.param("name");
    int start = 0;
    tuneStart(req.param("start"), options.convert.maxTuneSeconds, start);
    convertAndStore(std::move(req.body), start, r, std::move(resume));
}

void Service::convertAndStore(std::string input, int start, const NewRingtone &r, Resume resume)
{
    const bool queued = conversions->submit(std::move(input), start, [this, r, resume](Conversion made) {
        resume([this, r, made = std::move(made)](Response &res) {
            storeMade(r, made, res);
        });
    });
    if (!queued)
        resume([](Response &res) {
            refuse(res, Refusal::Busy, "the service is busy making other ringtones; try again in a moment");
        });
}

void Service::storeMade(NewRingtone r, const Conversion &made, Response &res)
{
    if (made.status != ConvertStatus::Ok) {
        refuseConversion(res, made);
        if (!made.detail.empty())
            res.note += " (" + made.detail + ")";
        return;
    }
    store(r, made.ringtone, res);
    const std::string what
        = (made.copied ? "copied " : "converted ") + std::to_string(int(made.seconds + 0.5)) + " s";
    res.note = res.note.empty() ? what : what + "; " + res.note;
}

void Service::store(NewRingtone &r, const std::string &bytes, Response &res)
{
    r.quota = options.quota;
    beats.expire();
    // Random ids clash rarely; a few draws settle it.
    Result result = Result::Conflict;
    for (int attempt = 0; attempt < 8 && result == Result::Conflict; ++attempt) {
        r.id = randomId();
        r.fileKey = randomHex(FileKeyBytes);
        r.now = beats.now();
        result = storage.addRingtone(r, bytes);
    }
    if (result == Result::OverQuota)
        return refuse(res, Refusal::Quota, quotaProblem());
    if (stored(result, res))
        answer(res, {{"status", 0}, {"id", r.id}}, 201);
}

void Service::phoneUnpair(const Request &req, Response &res)
{
    Credentials c;
    if (readCredentials(req, res, c) && stored(storage.removePairing(c.pcid, c.deviceId, c.token), res))
        answer(res, {{"status", 0}});
}

void Service::phoneSent(const Request &req, Response &res)
{
    Credentials c;
    std::vector<SentRingtone> sent;
    bool full = false;
    if (!readCredentials(req, res, c)
        || !stored(storage.sentRingtones(c.pcid, c.deviceId, c.token, MaxSentListed, sent), res)
        || !pcFull(c.pcid, res, full))
        return;
    json list = json::array();
    for (const SentRingtone &s : sent)
        list.push_back({{"id", s.id}, {"name", s.name}, {"size", s.size}, {"sent", s.created},
            {"state", s.delivered ? "fetched" : "waiting"}});
    answer(res, {{"status", 0}, {"ringtones", list}, {"full", full}});
}

void Service::phoneWithdraw(const Request &req, Response &res)
{
    Credentials c;
    int64_t id = 0;
    const bool read = readJson(req, res, [&](Input &in) {
        c = credentials(req, in);
        const json &given = in["id"];
        if (!given.is_number_integer() || !isRingtoneId(given.get<int64_t>()))
            in.check("\"id\" must be a ringtone id");
        else
            id = given.get<int64_t>();
    });
    if (read
        && stored(storage.withdrawRingtone(c.pcid, c.deviceId, c.token, id), res,
            "that ringtone is not waiting any more (fetched, expired or never sent)"))
        answer(res, {{"status", 0}});
}

// The page takes its limits from here rather than keeping copies of its own.
void Service::phoneLimits(const Request &, Response &res)
{
    answer(res,
        {{"status", 0}, {"tune_max_bytes", options.convert.maxInputBytes},
            {"tune_seconds", options.convert.ringtoneSeconds},
            {"start_max_seconds", options.convert.maxTuneSeconds}, {"name_max_chars", MaxRingtoneNameChars},
            {"name_max_bytes", MaxRingtoneNameBytes}, {"pcid_pattern", ClientIdPattern}});
}

}  // namespace belfry
