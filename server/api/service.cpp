#include "api/service.h"

#include "http/refusal.h"
#include "media/mp4.h"
#include "rules/codec.h"
#include "rules/fields.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

namespace belfry {

using json = nlohmann::json;

namespace {

// The phone's page: a fixed list, so that nothing else is ever served.
struct PageFile
{
    const char *path, *file, *type;
};
constexpr PageFile PageFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/style.css", "style.css", "text/css; charset=utf-8"},
    {"/app.js", "app.js", "text/javascript; charset=utf-8"},
    {"/icon.svg", "icon.svg", "image/svg+xml"},
    {"/qr-worker.js", "qr-worker.js", "text/javascript; charset=utf-8"},
    {"/vendor/jsQR.js", "vendor/jsQR.js", "text/javascript; charset=utf-8"},
};
// Nothing on the page runs or loads from elsewhere, nor is it framed.
constexpr const char *PageHeaders[][2] = {
    {"Content-Security-Policy",
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
        "media-src 'self' blob:; connect-src 'self'; form-action 'self'; base-uri 'none'; "
        "frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-cache"},
};

int64_t now()
{
    return int64_t(std::time(nullptr));
}

void answer(Response &res, const json &body, int status = 200)
{
    res.status = status;
    res.setContent(body.dump(), "application/json");
}

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
};
// And the converter's; its own words say why.
constexpr std::pair<ConvertStatus, Refusal> ConvertOutcomes[] = {
    {ConvertStatus::Refused, Refusal::NotAudio},
    {ConvertStatus::TooLarge, Refusal::TooLarge},
    {ConvertStatus::Busy, Refusal::Busy},
    {ConvertStatus::Failed, Refusal::Internal},
};

// True on Ok; otherwise refuses as the result says, a missing row in the
// route's own words when it has some.
bool stored(Result r, Response &res, const std::string &notFound = {})
{
    if (r == Result::Ok)
        return true;
    if (r == Result::Full)
        noteDiskFull();
    for (const StorageOutcome &o : StorageOutcomes)
        if (o.result == r)
            refuse(res, o.refusal, r == Result::NotFound && !notFound.empty() ? notFound : o.error);
    return false;
}

// True when the address may go on; else refused: past its budget with when
// to come back. When its count cannot be had, as the store's failure says:
// nobody goes uncounted, and nobody is refused once the store is back.
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

void refuseConversion(Response &res, const Conversion &made)
{
    Refusal why = Refusal::Internal;
    for (const auto &[status, refusal] : ConvertOutcomes)
        if (status == made.status)
            why = refusal;
    refuse(res, why, made.reason);
}

// nlohmann parses iteratively, but deep documents still cost recursion when
// they are destroyed; no request of ours nests more than a few levels, nor
// holds more than a few values.
bool modest(const std::string &body)
{
    int depth = 0;
    size_t values = 0;
    bool inString = false;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MaxJsonDepth || ++values > MaxJsonValues)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if ((c == ',' || c == ':') && ++values > MaxJsonValues) {
            return false;
        }
    }
    return true;
}

// Reads the members of a JSON request object, keeping the first problem.
class Input
{
public:
    explicit Input(json object = json::object())
        : object(std::move(object))
    { }

    std::string text(const char *key)
    {
        const auto it = object.find(key);
        if (it == object.end() || !it->is_string()) {
            check(std::string("\"") + key + "\" must be a string");
            return {};
        }
        return it->get<std::string>();
    }
    bool has(const char *key) const { return !(*this)[key].is_null(); }
    // A missing member reads as null.
    const json &operator[](const char *key) const
    {
        static const json missing;
        const auto it = object.find(key);
        return it == object.end() ? missing : *it;
    }
    void check(std::string problem, Refusal why = Refusal::BadRequest)
    {
        if (error.empty()) {
            error = std::move(problem);
            code = why;
        }
    }
    bool ok() const { return error.empty(); }

    std::string error;
    Refusal code = Refusal::BadRequest;

private:
    json object;
};

bool finish(Input &in, Response &res)
{
    if (!in.ok())
        refuse(res, in.code, in.error);
    return in.ok();
}

// Parses the body as a JSON object and hands it to `read`, which takes and
// checks its members; the request is refused at the first problem.
template<typename Read> bool readJson(const Request &req, Response &res, Read read)
{
    if (!modest(req.body)) {
        refuse(res, Refusal::BadRequest, "the JSON body nests too deeply or holds too many values");
        return false;
    }
    json object = json::parse(req.body, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        refuse(res, Refusal::BadRequest, "the body must be a JSON object");
        return false;
    }
    Input in(std::move(object));
    read(in);
    return finish(in, res);
}

// The token of an "Authorization: Bearer ..." header; empty without one.
std::string bearerToken(const Request &req)
{
    const std::string header = req.header("Authorization");
    const std::string prefix = "Bearer ";
    return header.compare(0, prefix.size(), prefix) == 0 ? header.substr(prefix.size()) : std::string();
}

// A device's credentials, common to sending, listing and unpairing.
struct Credentials
{
    std::string pcid, deviceId, token;
};

// From a JSON request's members, or from a tune's address and bearer token
// (its body is the file); checked into `in`.
Credentials credentials(const Request &req, Input &in, bool fromAddress = false)
{
    Credentials c = fromAddress
        ? Credentials {req.param("pcid"), req.param("device_id"), bearerToken(req)}
        : Credentials {in.text("pcid"), in.text("device_id"), in.text("device_token")};
    if (!in.ok())
        return c;
    in.check(checkClientId(c.pcid));
    in.check(checkWord("the device id", c.deviceId, MaxDeviceIdChars));
    if (c.token.size() != 2 * DeviceTokenBytes
        || c.token.find_first_not_of("0123456789abcdef") != std::string::npos)
        in.check("the device token is malformed");
    return c;
}

// A tune's start in its address: whole seconds, none meaning 0.
bool tuneStart(const std::string &text, int max, int &start)
{
    const int64_t given = text.empty() ? 0 : wholeNumber(text);
    start = given < 0 ? 0 : int(given);
    return given >= 0 && given <= max;
}

// The client id and version that every request of the program carries.
bool clientFields(Input &in, const std::string &pcid, const std::string &version)
{
    in.check(checkClientId(pcid));
    in.check(checkWord("the version", version, MaxVersionChars));
    return in.ok();
}

// Ringtone ids as the program writes them, decimal strings; false for
// anything else, or more than `most` of them.
bool ringtoneIds(const json &list, size_t most, std::vector<int64_t> &ids)
{
    if (!list.is_array() || list.size() > most)
        return false;
    for (const json &item : list) {
        const int64_t id = item.is_string() ? wholeNumber(item.get<std::string>(), 10) : -1;
        if (!isRingtoneId(id))
            return false;
        ids.push_back(id);
    }
    return true;
}

}  // namespace

Service::Service(Storage &storage, ServiceOptions options)
    : storage(storage)
    , options(std::move(options))
    , beats(storage, this->options.keepSeconds, this->options.newPcsPerDay)
    , pairings(addressBudget(storage, "pairings", this->options.pairingsPerHour, HourSeconds))
    , uploads(addressBudget(storage, "uploads", this->options.uploadsPerHour, HourSeconds))
    , events(addressBudget(storage, "events", EventsPerHour, HourSeconds))
    , converter(this->options.convert)
    , conversions(std::make_unique<ConvertQueue>(converter, ConvertWorkers, ConvertWaiting))
{
    beats.expire();
    if (!this->options.webRoot.empty())
        loadPage();
}

// Read once: a restart picks up edits.
void Service::loadPage()
{
    for (const PageFile &f : PageFiles) {
        const std::string path = options.webRoot + "/" + f.file;
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in || bytes.str().empty()) {
            pageError = "cannot read " + path;
            page.clear();
            return;
        }
        page[f.file] = bytes.str();
    }
}

void Service::pageFile(const Request &req, Response &res)
{
    for (const PageFile &f : PageFiles) {
        const auto found = page.find(f.file);
        if (req.path != f.path)
            continue;
        if (found == page.end())
            return refuse(res, Refusal::NotFound, "this service has no phone page");
        res.setContent(found->second, f.type);
        for (const auto &[name, value] : PageHeaders)
            res.headers.emplace_back(name, value);
        return;
    }
    refuse(res, Refusal::NotFound, "no such address");
}

// The transport has taken the address from X-Forwarded-For when the service
// runs behind a trusted proxy.
std::string Service::sourceAddress(const Request &req) const
{
    return addressKey(req.address());
}

std::vector<Route> Service::routes()
{
    const auto route = [this](const char *method, const char *path, size_t bodyLimit,
                           void (Service::*handler)(const Request &, Response &)) {
        return Route {method, path, bodyLimit, [this, handler](const Request &req, Response &res) {
                          (this->*handler)(req, res);
                      }};
    };
    // Uploads answer once their conversion is done, off the route workers.
    const auto upload
        = [this](const char *path, size_t bodyLimit, void (Service::*handler)(Request &, Resume)) {
              Route r {"POST", path, bodyLimit, nullptr};
              r.defer = [this, handler](Request &req, Resume resume) {
                  (this->*handler)(req, std::move(resume));
              };
              return r;
          };
    Route tune = upload("/phone/v1/tune", options.convert.maxInputBytes, &Service::phoneTune);
    tune.admit = [this](const Request &req, Response &res) {
        return admitTune(req, res);
    };
    std::vector<Route> all = {
        route("POST", "/p/v1/heart", MaxJsonBodyBytes, &Service::heartBeat),
        route("GET", "/p/conf", 0, &Service::config),
        route("GET", "/p/update", 0, &Service::update),
        route("POST", "/p/v1/unpair", MaxJsonBodyBytes, &Service::unpair),
        route("GET", "/p/feedback", 0, &Service::feedback),
        route("GET", "/apiv1/ringtone", 0, &Service::ringtoneInfo),
        route("GET", "/f/*.m4r", 0, &Service::ringtoneFile),
        route("POST", "/phone/v1/pair", MaxJsonBodyBytes, &Service::phonePair),
        upload("/phone/v1/ringtone", MaxRingtoneJsonBodyBytes, &Service::phoneSend),
        tune,
        route("POST", "/phone/v1/unpair", MaxJsonBodyBytes, &Service::phoneUnpair),
        route("POST", "/phone/v1/sent", MaxJsonBodyBytes, &Service::phoneSent),
        route("POST", "/phone/v1/withdraw", MaxJsonBodyBytes, &Service::phoneWithdraw),
        route("GET", "/phone/v1/limits", 0, &Service::phoneLimits),
        route("POST", "/admin/v1/update", MaxJsonBodyBytes, &Service::adminUpdate),
        route("POST", "/admin/v1/conf", MaxJsonBodyBytes, &Service::adminConf),
        route("GET", "/admin/v1/stats", 0, &Service::adminStats),
    };
    for (const PageFile &f : PageFiles)
        all.push_back(route("GET", f.path, 0, &Service::pageFile));
    return all;
}

bool Service::admitted(const Request &req, Response &res) const
{
    if (sameSecret(bearerToken(req), options.adminToken))
        return true;
    refuse(res, Refusal::Denied, "administration needs the admin token (Authorization: Bearer ...)", 401);
    return false;
}

std::string Service::baseUrl(const Request &req) const
{
    if (!options.publicUrl.empty())
        return options.publicUrl;
    // The Host header ends up inside an address handed to clients: only a
    // plain host name or address with an optional port is taken from it.
    const std::string host = req.header("Host");
    bool plain = !host.empty() && host.size() <= 255;
    for (char c : host)
        plain = plain
            && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '['
                || c == ']');
    return "http://" + (plain ? host : options.listenAddress);
}

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
    if (!allowed(events->take(sourceAddress(req), now()), *events, res,
            "too many events from this address; try again later"))
        return;
    if (stored(storage.recordEvent(pcid, event, now()), res))
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
    res.delivered = beats.onClose(info);
}

void Service::phonePair(const Request &req, Response &res)
{
    std::string pcid;
    Device device;
    const bool read = readJson(req, res, [&](Input &in) {
        pcid = in.text("pcid");
        device = {in.text("device_id"), in.text("device_name")};
        if (!in.ok())
            return;
        in.check(checkClientId(pcid));
        in.check(checkWord("the device id", device.id, MaxDeviceIdChars));
        in.check(checkName("the device name", device.name, MaxDeviceNameChars));
    });
    if (!read)
        return;
    if (!allowed(pairings->take(sourceAddress(req), now()), *pairings, res,
            "too many pairings from this address; try again later"))
        return;
    const std::string token = randomHex(DeviceTokenBytes);
    const Result r = storage.pair(pcid, device, token, now());
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
    return allowed(uploads->take(sourceAddress(req), now()), *uploads, res,
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
        r.now = now();
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

void Service::adminUpdate(const Request &req, Response &res)
{
    Update u;
    const bool read = admitted(req, res) && readJson(req, res, [&](Input &in) {
        u = {in.text("version"), in.text("url"), now()};
        if (!in.ok())
            return;
        in.check(checkWord("the version", u.version, MaxVersionChars));
        in.check(checkHttpUrl(u.url));
    });
    if (read && stored(storage.publishUpdate(u), res))
        answer(res, {{"status", 0}});
}

void Service::adminConf(const Request &req, Response &res)
{
    std::string pcid, key, value;
    const bool read = admitted(req, res) && readJson(req, res, [&](Input &in) {
        pcid = in.has("pcid") ? in.text("pcid") : std::string();
        key = in.text("key");
        value = in.text("value");
        if (!in.ok())
            return;
        if (in.has("pcid"))
            in.check(checkClientId(pcid));
        in.check(checkConfKey(key));
        if (!value.empty())
            in.check(checkName("the value", value, MaxConfValueChars));
    });
    if (read && stored(storage.setConf(pcid, key, value), res))
        answer(res, {{"status", 0}});
}

void Service::adminStats(const Request &req, Response &res)
{
    Stats s;
    if (!admitted(req, res) || !stored(storage.stats(now(), s), res))
        return;
    answer(res,
        {{"status", 0},
            {"stats",
                {{"pcs", s.pcs}, {"pcs_online", s.pcsOnline}, {"pairings", s.pairings},
                    {"ringtones_waiting", s.ringtonesWaiting}, {"ringtones_delivered", s.ringtonesDelivered},
                    {"events", s.events}}}});
}

std::string loadAdminToken(const std::string &path, std::string &error)
{
    std::string token;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char line[128] = {};
        if (std::fgets(line, sizeof line, f))
            token = line;
        std::fclose(f);
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
            token.pop_back();
        if (token.size() < MinAdminTokenChars)
            error = path + " holds no admin token (at least " + std::to_string(MinAdminTokenChars)
                + " characters)";
        return error.empty() ? token : std::string();
    }
    token = randomHex(AdminTokenBytes);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const std::string line = token + "\n";
    const bool ok
        = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size()) && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok) {
        error = "cannot create the admin token file " + path;
        ::unlink(path.c_str());
        return {};
    }
    return token;
}

}  // namespace belfry
