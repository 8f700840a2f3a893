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
bool Service::paired(const Credentials &c, Response &res)
{
    return stored(uploads.paired(c.pcid, c.deviceId, c.token), res);
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

static NewRingtone sender(const Credentials &c, std::string name)
{
    NewRingtone r;
    r.pcid = c.pcid;
    r.deviceId = c.deviceId;
    r.deviceToken = c.token;
    r.name = std::move(name);
    return r;
}

// The name and the file of a JSON upload, once its sender is known.
static bool readRingtone(const std::string &name, const std::string &data, std::string &bytes, Response &res)
{
    Input in;
    in.check(checkRingtoneName(name), Refusal::Name);
    if (!decodeBase64(data, bytes))
        in.check("\"data\" must be the file in base64");
    else if (bytes.size() > MaxRingtoneBytes)
        in.check("the ringtone is larger than " + mebibytes(MaxRingtoneBytes), Refusal::TooLarge);
    else
        in.check(checkRingtoneFile(bytes), Refusal::NotAudio);
    return finish(in, res);
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
    if (!read || !paired(c, res) || !readRingtone(r.name, data, bytes, res)
        || !uploaded(uploads.admit(c.pcid, sourceAddress(req)), res))
        return false;
    r = sender(c, std::move(r.name));
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
    convertAndStore(std::move(bytes), start, r, sourceAddress(req), std::move(resume));
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
    return finish(in, res) && paired(c, res) && uploaded(uploads.admit(c.pcid, sourceAddress(req)), res);
}

void Service::phoneTune(Request &req, Resume resume)
{
    Input admittedAlready;
    const Credentials c = credentials(req, admittedAlready, true);
    int start = 0;
    tuneStart(req.param("start"), options.convert.maxTuneSeconds, start);
    convertAndStore(std::move(req.body), start, sender(c, req.param("name")), sourceAddress(req), std::move(resume));
}

// The conversion's end is answered on a worker, which stores what it made.
void Service::convertAndStore(
    std::string input, int start, const NewRingtone &r, const std::string &address, Resume resume)
{
    const bool queued = uploads.convert(std::move(input), start, address, [this, r, resume](Conversion made) {
        if (made.status != ConvertStatus::Busy)
            counted.conversionSeconds.observe(made.took);
        resume([this, r, made = std::move(made)](Response &res) {
            if (uploaded(uploads.store(r, made), res))
                counted.uploads.add();
        });
    });
    if (!queued)
        resume([](Response &res) {
            uploaded(Uploads::busy(), res);
        });
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
        || !stored(uploads.full(c.pcid, full), res))
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
            {"tune_seconds", options.convert.ringtoneSeconds}, {"fade_seconds", RingtoneFadeSeconds},
            {"start_max_seconds", options.convert.maxTuneSeconds}, {"name_max_chars", MaxRingtoneNameChars},
            {"name_max_bytes", MaxRingtoneNameBytes}, {"pcid_pattern", ClientIdPattern}});
}

}  // namespace belfry
