// The program's routes: beats, settings, updates, unpairing, feedback, and
// its ringtones by id and by file.

#include "api/service.h"

#include "api/input.h"
#include "api/outcome.h"
#include "rules/codec.h"
#include "rules/fields.h"

#include <nlohmann/json.hpp>

namespace belfry {

using json = nlohmann::json;

void Service::heartBeat(const Request &req, Response &res)
{
    Beat beat;
    if (!readBeat(req, res, beat))
        return;
    beat.farewell = beat.expire == 1;
    beat.address = sourceAddress(req);
    if (beat.farewell)
        res.note = "farewell of " + beat.pcid;
    BeatAnswer got;
    if (!allowed(beats.beat(beat, got), res, "too many new PCs from this address; try again later"))
        return;
    counted.beats.add();
    if (!beat.farewell)
        counted.confirmations.add(beat.got.size());
    if (got.pairingLost)
        return answer(res, {{"status", 5}});
    json pairs = json::array(), sync = json::array();
    for (const Device &d : got.newPairings)
        pairs.push_back({{"id", d.id}, {"name", d.name}});
    for (int64_t id : got.waiting)
        sync.push_back(std::to_string(id));
    answer(res, {{"status", 0}, {"pair", pairs}, {"sync", sync}});
}

bool Service::readBeat(const Request &req, Response &res, Beat &beat)
{
    return readJson(req, res, [&](Input &in) {
        beat.pcid = in.text("pcid");
        beat.version = in.text("version");
        const std::string platform = in.text("platform");
        if (!in["expire"].is_number_integer())
            in.check("\"expire\" must be an integer");
        else
            beat.expire = in["expire"].get<int64_t>();
        if (!in.ok() || !clientFields(in, beat.pcid, beat.version))
            return;
        in.check(checkWord("the platform", platform, MaxPlatformChars));
        if (beat.expire < 1 || beat.expire > MaxExpireSeconds)
            in.check("\"expire\" must lie between 1 and " + std::to_string(MaxExpireSeconds));
        // A program that sends "got", even empty, confirms what it stores.
        beat.receipts = in.has("got");
        if (beat.receipts && !ringtoneIds(in["got"], MaxConfirmedIds, beat.got))
            in.check("\"got\" must be an array of at most " + std::to_string(MaxConfirmedIds)
                + " ringtone ids, each a string of digits");
    });
}

void Service::config(const Request &req, Response &res)
{
    Input in;
    const std::string pcid = req.param("pcid");
    const std::string version = req.param("version");
    clientFields(in, pcid, version);
    if (!finish(in, res))
        return;
    std::map<std::string, std::string> values;
    json body = {{"status", 0}};
    if (!stored(storage.conf(pcid, values), res) || !newerVersion(version, body, res))
        return;
    body["conf"] = values;
    answer(res, body);
}

void Service::update(const Request &req, Response &res)
{
    Input in;
    const std::string version = req.param("version");
    clientFields(in, req.param("pcid"), version);
    if (!finish(in, res))
        return;
    json body = {{"status", 0}};
    if (newerVersion(version, body, res))
        answer(res, body);
}

// The program asks for its configuration once per start and looks for an
// update only after a long idle time: both answers name a newer version, so
// a waiting update is offered at the next start.
bool Service::newerVersion(const std::string &version, json &body, Response &res)
{
    Update latest;
    const Result r = storage.latestUpdate(latest);
    if (r == Result::NotFound)
        return true;
    if (!stored(r, res))
        return false;
    if (latest.version != version)
        body["update"] = {{"version", latest.version}, {"download", latest.url}};
    return true;
}

void Service::unpair(const Request &req, Response &res)
{
    std::string pcid;
    std::vector<std::string> ids;
    const bool read = readJson(req, res, [&](Input &in) {
        pcid = in.text("pcid");
        const std::string version = in.text("version");
        if (!in["data"].is_array() || in["data"].size() > MaxUnpairIds)
            in.check("\"data\" must be an array of at most " + std::to_string(MaxUnpairIds) + " device ids");
        else
            for (const json &id : in["data"])
                if (!id.is_string())
                    in.check("\"data\" must hold strings");
                else
                    ids.push_back(id.get<std::string>());
        if (!in.ok() || !clientFields(in, pcid, version))
            return;
        for (const std::string &id : ids)
            in.check(checkWord("a device id", id, MaxDeviceIdChars));
    });
    if (read && stored(storage.unpair(pcid, ids), res))
        answer(res, {{"status", 0}});
}

void Service::feedback(const Request &req, Response &res)
{
    Input in;
    const std::string pcid = req.param("pcid"), version = req.param("ver"), event = req.param("event");
    if (clientFields(in, pcid, version))
        in.check(checkWord("the event", event, MaxEventChars));
    if (!finish(in, res))
        return;
    if (!allowed(events->take(sourceAddress(req), beats.now()), *events, res,
            "too many events from this address; try again later"))
        return;
    if (stored(storage.recordEvent(pcid, event, beats.now()), res))
        answer(res, {{"status", 0}});
}

void Service::ringtoneInfo(const Request &req, Response &res)
{
    const std::string address = sourceAddress(req);
    if (!allowed(beats.mayLookUp(address), res, "too many lookups of ringtones that are not waiting; try again later"))
        return;
    const std::string text = req.param("ringtoneid");
    const int64_t id = wholeNumber(text, std::to_string(MaxRingtoneId).size());
    if (!isRingtoneId(id))
        return refuse(res, Refusal::BadRequest, "\"ringtoneid\" must be a ringtone id");
    RingtoneInfo info;
    if (!stored(beats.lookup(id, address, info), res, "no ringtone " + text + " is waiting"))
        return;
    answer(res,
        {{"status", 0},
            {"data", {{"name", info.name}, {"download_url", baseUrl(req) + "/f/" + info.fileKey + ".m4r"}}}});
}

void Service::ringtoneFile(const Request &req, Response &res)
{
    const std::string gone = "no such ringtone file";
    RingtoneInfo info;
    if (!stored(beats.file(req.matches[1], info), res, gone))
        return;
    auto file = std::make_shared<FileBody>();
    file->size = uint64_t(info.size);
    file->etag = "\"" + info.fileKey + "\"";
    file->read = [store = &storage, info](uint64_t offset, size_t length, std::string &out) {
        return store->ringtoneFilePart(info, int64_t(offset), length, out) == Result::Ok;
    };
    res.file = std::move(file);
    res.contentType = "audio/mp4";
    // A PC that confirms says itself what it stored. For one that does not,
    // the close after the last byte counts, and no beat lists the ringtone
    // until that is recorded.
    if (auto delivered = beats.onClose(info))
        res.delivered = [this, delivered = std::move(delivered)] {
            counted.deliveries.add();
            return delivered();
        };
}

}  // namespace belfry
