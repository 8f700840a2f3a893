#include "service.h"

#include "checks.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belfry {

using json = nlohmann::json;
using httplib::Request;
using httplib::Response;

namespace {

constexpr int64_t MaxExpire = 24 * 3600;
constexpr size_t MaxUnpairIds = 100;
constexpr int MaxJsonDepth = 16;
// File chunks handed to the socket; the file itself is in memory already.
constexpr size_t FileChunk = 64 * 1024;
// A ringtone's information is handed out this long after a beat listed it.
constexpr int64_t AnnouncementLifetime = 10 * 60;
// Lookups of ringtones never listed to the asking address, per address and
// hour: a PC only looks up what its beat listed, so these are guesses.
constexpr int64_t MissesPerHour = 30;
// At most this often a request starts the removal of old ringtones.
constexpr int64_t ExpiryInterval = 60;
constexpr size_t MaxSentListed = 100;
// Past this many, source addresses whose limits have recovered are forgotten.
constexpr size_t MaxTrackedAddresses = 100000;

// What the log line of the request being handled on this thread adds: why it
// was refused, or a note on what it did.
thread_local std::string requestNote;
thread_local std::chrono::steady_clock::time_point requestStart;

int64_t now()
{
    return int64_t(std::time(nullptr));
}

void answer(Response &res, const json &body, int status = 200)
{
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void refuse(Response &res, int status, const std::string &why)
{
    requestNote = why;
    answer(res, {{"status", 1}, {"error", why}}, status);
}

void refuseTooMany(Response &res, const AddressLimit &limit, const std::string &why)
{
    res.set_header("Retry-After", std::to_string(limit.wait()));
    refuse(res, 429, why);
}

// The address that limits and announcements go by: an IPv4 address, or the
// /64 network of an IPv6 one (one subscriber's, whose machines pick new
// addresses in it at will). Empty when `text` is no address.
std::string addressKey(const std::string &text)
{
    in_addr v4 {};
    in6_addr v6 {};
    char out[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return {};
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(&v4, v6.s6_addr + 12, 4);
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    return std::string(inet_ntop(AF_INET6, &v6, out, sizeof out)) + "/64";
}

bool stored(Result r, Response &res)
{
    if (r == Result::Failed)
        refuse(res, 500, "the service could not reach its storage");
    return r != Result::Failed;
}

// nlohmann parses iteratively, but deep documents still cost recursion when
// they are destroyed; no request of ours nests more than a few levels.
bool shallow(const std::string &body)
{
    int depth = 0;
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
            if (++depth > MaxJsonDepth)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
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
    void check(std::string problem)
    {
        if (error.empty())
            error = std::move(problem);
    }
    bool ok() const { return error.empty(); }

    std::string error;

private:
    json object;
};

// Parses the body as a JSON object; refuses the request otherwise.
bool readBody(const Request &req, Response &res, Input &in)
{
    if (!shallow(req.body)) {
        refuse(res, 400, "the JSON body nests too deeply");
        return false;
    }
    json object = json::parse(req.body, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        refuse(res, 400, "the body must be a JSON object");
        return false;
    }
    in = Input(std::move(object));
    return true;
}

bool finish(Input &in, Response &res)
{
    if (!in.ok())
        refuse(res, 400, in.error);
    return in.ok();
}

// The program's query parameters; a missing one reads as empty and fails its check.
std::string param(const Request &req, const char *key)
{
    return req.get_param_value(key);
}

// The client id and version that every request of the program carries.
bool clientFields(Input &in, const std::string &pcid, const std::string &version)
{
    in.check(checkClientId(pcid));
    in.check(checkWord("the version", version, 32));
    return in.ok();
}

std::string isoTime(std::time_t t)
{
    char text[32];
    std::tm tm {};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace

double AddressLimit::level(const std::string &address, int64_t now)
{
    const auto it = buckets.find(address);
    if (it == buckets.end())
        return 0;
    Bucket &b = it->second;
    b.level = std::max(0.0, b.level - double(std::max<int64_t>(0, now - b.at)) * capacity / period);
    b.at = now;
    return b.level;
}

bool AddressLimit::exhausted(const std::string &address, int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex);
    return level(address, now) + 1 > capacity;
}

bool AddressLimit::take(const std::string &address, int64_t now)
{
    std::lock_guard<std::mutex> lock(mutex);
    const double before = level(address, now);
    if (before + 1 > capacity)
        return false;
    if (buckets.size() >= MaxTrackedAddresses && !buckets.count(address)) {
        for (auto it = buckets.begin(); it != buckets.end();)
            it = level(it->first, now) == 0 ? buckets.erase(it) : std::next(it);
        // Still full: many addresses at once. Forgetting them all costs less
        // than refusing every newcomer.
        if (buckets.size() >= MaxTrackedAddresses)
            buckets.clear();
    }
    buckets[address] = {before + 1, now};
    return true;
}

Service::Service(Storage &storage, ServiceOptions options)
    : storage(storage)
    , options(std::move(options))
    , misses(MissesPerHour, 3600)
    , pairings(this->options.pairingsPerHour, 3600)
{
    expireOld(now());
}

void Service::expireOld(int64_t at)
{
    int64_t due = nextExpiry.load();
    if (at < due
        || !nextExpiry.compare_exchange_strong(due, at + std::min(ExpiryInterval, options.keepSeconds)))
        return;
    int64_t removed = 0;
    if (storage.expireRingtones(at - options.keepSeconds, removed) == Result::Ok && removed > 0)
        std::fprintf(stderr, "expired %lld ringtones that waited longer than %lld s\n", (long long)removed,
            (long long)options.keepSeconds);
}

std::string Service::sourceAddress(const Request &req) const
{
    if (options.trustProxy) {
        // The proxy appends the address it saw to whatever the client sent:
        // only the last one is its word.
        const size_t headers = req.get_header_value_count("X-Forwarded-For");
        const std::string forwarded
            = headers ? req.get_header_value("X-Forwarded-For", headers - 1) : std::string();
        std::string last = forwarded.substr(forwarded.rfind(',') + 1);
        last.erase(0, last.find_first_not_of(" \t"));
        last.erase(last.find_last_not_of(" \t") + 1);
        const std::string key = addressKey(last);
        if (!key.empty())
            return key;
    }
    return addressKey(req.remote_addr);
}

void Service::install(httplib::Server &server)
{
    const auto route = [this](void (Service::*handler)(const Request &, Response &)) {
        return [this, handler](const Request &req, Response &res) {
            (this->*handler)(req, res);
        };
    };
    server.Post("/p/v1/heart", route(&Service::heartBeat));
    server.Get("/p/conf", route(&Service::config));
    server.Get("/p/update", route(&Service::update));
    server.Post("/p/v1/unpair", route(&Service::unpair));
    server.Get("/p/feedback", route(&Service::feedback));
    server.Get("/apiv1/ringtone", route(&Service::ringtoneInfo));
    server.Get(R"(/f/([0-9a-f]{32})\.m4r)", route(&Service::ringtoneFile));
    server.Post("/phone/v1/pair", route(&Service::phonePair));
    server.Post("/phone/v1/ringtone", route(&Service::phoneSend));
    server.Post("/phone/v1/unpair", route(&Service::phoneUnpair));
    server.Post("/phone/v1/sent", route(&Service::phoneSent));
    server.Post("/phone/v1/withdraw", route(&Service::phoneWithdraw));
    server.Post("/admin/v1/update", route(&Service::adminUpdate));
    server.Post("/admin/v1/conf", route(&Service::adminConf));
    server.Get("/admin/v1/stats", route(&Service::adminStats));

    // A base64 ringtone of 5 MB with its JSON around it; nothing else is near.
    server.set_payload_max_length(7 * 1024 * 1024);
    // Headers and body leave in two writes: without this every answer waits
    // for the client's delayed acknowledgement (about 40 ms).
    server.set_tcp_nodelay(true);
    // A kept-alive connection holds a worker thread while it waits for its
    // next request, and every PC would keep one between beats. One request
    // per connection keeps the workers for requests.
    server.set_keep_alive_max_count(1);
    server.new_task_queue = [] {
        return new httplib::ThreadPool(32);
    };
    server.set_pre_routing_handler([](const Request &, Response &) {
        requestNote.clear();
        requestStart = std::chrono::steady_clock::now();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const Request &, Response &res) {
        if (res.body.empty() && !res.content_provider_) {
            const int status = res.status;
            refuse(res, status,
                status == 404       ? "no such address"
                    : status == 413 ? "the request body is too large"
                                    : "the request was refused");
        }
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_exception_handler([](const Request &, Response &res, std::exception_ptr e) {
        std::string what = "unknown";
        try {
            std::rethrow_exception(e);
        } catch (const std::exception &x) {
            what = x.what();
        } catch (...) { }
        refuse(res, 500, "internal error: " + what);
    });
    server.set_logger([](const Request &req, const Response &res) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - requestStart)
                            .count();
        const size_t bytes = res.content_provider_ ? res.content_length_ : res.body.size();
        std::fprintf(stderr, "%s %s %s %s %d %zuB %lldms%s%s\n", isoTime(std::time(nullptr)).c_str(),
            req.remote_addr.c_str(), req.method.c_str(), req.path.c_str(), res.status, bytes, (long long)ms,
            requestNote.empty() ? "" : " ", requestNote.c_str());
        std::fflush(stderr);
    });
}

bool Service::admitted(const Request &req, Response &res) const
{
    const std::string header = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (header.compare(0, prefix.size(), prefix) != 0
        || !sameSecret(header.substr(std::min(header.size(), prefix.size())), options.adminToken)) {
        refuse(res, 401, "administration needs the admin token (Authorization: Bearer ...)");
        return false;
    }
    return true;
}

std::string Service::baseUrl(const Request &req) const
{
    if (!options.publicUrl.empty())
        return options.publicUrl;
    // The Host header ends up inside an address handed to clients: only a
    // plain host name or address with an optional port is taken from it.
    const std::string host = req.get_header_value("Host");
    bool plain = !host.empty() && host.size() <= 255;
    for (char c : host)
        plain = plain
            && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '['
                || c == ']');
    return "http://" + (plain ? host : options.listenAddress);
}

void Service::heartBeat(const Request &req, Response &res)
{
    Input in;
    if (!readBody(req, res, in))
        return;
    Beat beat;
    beat.pcid = in.text("pcid");
    beat.version = in.text("version");
    const std::string platform = in.text("platform");
    if (!in["expire"].is_number_integer())
        in.check("\"expire\" must be an integer");
    else
        beat.expire = in["expire"].get<int64_t>();
    if (!in.ok() || !clientFields(in, beat.pcid, beat.version))
        return (void)finish(in, res);
    in.check(checkWord("the platform", platform, 16));
    if (beat.expire < 1 || beat.expire > MaxExpire)
        in.check("\"expire\" must lie between 1 and " + std::to_string(MaxExpire));
    if (!finish(in, res))
        return;
    beat.now = now();
    beat.farewell = beat.expire == 1;
    beat.address = sourceAddress(req);
    expireOld(beat.now);
    if (beat.farewell)
        requestNote = "farewell of " + beat.pcid;
    BeatAnswer got;
    if (!stored(storage.beat(beat, got), res))
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

void Service::config(const Request &req, Response &res)
{
    Input in;
    const std::string pcid = param(req, "pcid");
    const std::string version = param(req, "version");
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
    const std::string version = param(req, "version");
    clientFields(in, param(req, "pcid"), version);
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
    if (!stored(r, res))
        return false;
    if (r != Result::NotFound && latest.version != version)
        body["update"] = {{"version", latest.version}, {"download", latest.url}};
    return true;
}

void Service::unpair(const Request &req, Response &res)
{
    Input in;
    if (!readBody(req, res, in))
        return;
    const std::string pcid = in.text("pcid");
    const std::string version = in.text("version");
    std::vector<std::string> ids;
    if (!in["data"].is_array() || in["data"].size() > MaxUnpairIds)
        in.check("\"data\" must be an array of at most " + std::to_string(MaxUnpairIds) + " device ids");
    else
        for (const json &id : in["data"])
            if (!id.is_string())
                in.check("\"data\" must hold strings");
            else
                ids.push_back(id.get<std::string>());
    if (!in.ok() || !clientFields(in, pcid, version))
        return (void)finish(in, res);
    for (const std::string &id : ids)
        in.check(checkWord("a device id", id, 64));
    if (finish(in, res) && stored(storage.unpair(pcid, ids), res))
        answer(res, {{"status", 0}});
}

void Service::feedback(const Request &req, Response &res)
{
    Input in;
    const std::string pcid = param(req, "pcid"), version = param(req, "ver"), event = param(req, "event");
    if (!clientFields(in, pcid, version))
        return (void)finish(in, res);
    in.check(checkWord("the event", event, 32));
    if (finish(in, res) && stored(storage.recordEvent(pcid, version, event, now()), res))
        answer(res, {{"status", 0}});
}

void Service::ringtoneInfo(const Request &req, Response &res)
{
    const std::string address = sourceAddress(req);
    const int64_t at = now();
    // Past the limit nothing is looked up, hits included: a guesser learns nothing more.
    if (misses.exhausted(address, at))
        return refuseTooMany(
            res, misses, "too many lookups of ringtones that are not waiting; try again later");
    const std::string text = param(req, "ringtoneid");
    const bool digits
        = !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
    const int64_t id = digits ? std::stoll(text) : 0;
    if (id < 1 || id > 0x7FFFFFFF)
        return refuse(res, 400, "\"ringtoneid\" must be a ringtone id");
    RingtoneInfo info;
    const Result r = storage.ringtone(id, info);
    if (!stored(r, res))
        return;
    // A delivered ringtone is gone for good: its file is not served again.
    // The program's lookup carries no client id: a ringtone is only handed to
    // where a beat that listed it came from, and only for a while. To anyone
    // else it does not exist.
    const bool listedHere = r == Result::Ok && info.announcedTo == address;
    if (!listedHere || info.delivered || at - info.announcedAt > AnnouncementLifetime) {
        // A PC asking again for what it fetched a moment ago is no guesser.
        if (!listedHere)
            misses.take(address, at);
        return refuse(res, 404, "no ringtone " + text + " is waiting");
    }
    answer(res,
        {{"status", 0},
            {"data", {{"name", info.name}, {"download_url", baseUrl(req) + "/f/" + info.fileKey + ".m4r"}}}});
}

void Service::ringtoneFile(const Request &req, Response &res)
{
    RingtoneInfo info;
    Result r = storage.ringtoneByFileKey(req.matches[1], info);
    if (!stored(r, res))
        return;
    auto bytes = std::make_shared<std::string>();
    if (r == Result::Ok && !info.delivered)
        r = storage.ringtoneFile(info.id, *bytes);
    if (!stored(r, res))
        return;
    if (r == Result::NotFound || info.delivered)
        return refuse(res, 404, "no such ringtone file");
    Storage *store = &storage;
    const int64_t id = info.id;
    // A range is a part of the file, whatever its outcome.
    const bool whole = req.ranges.empty();
    res.set_content_provider(
        bytes->size(), "audio/mp4",
        [bytes](size_t offset, size_t length, httplib::DataSink &sink) {
            return sink.write(bytes->data() + offset, std::min(length, FileChunk));
        },
        // Called with true only when every byte went out; a broken transfer
        // leaves the ringtone waiting, so the next beat lists it again.
        [store, id, whole](bool success) {
            if (success && whole && store->markDelivered(id, now()) != Result::Ok)
                std::fprintf(
                    stderr, "ringtone %lld was sent but could not be marked delivered\n", (long long)id);
        });
}

void Service::phonePair(const Request &req, Response &res)
{
    Input in;
    if (!readBody(req, res, in))
        return;
    const std::string pcid = in.text("pcid");
    Device device {in.text("device_id"), in.text("device_name")};
    if (!in.ok())
        return (void)finish(in, res);
    in.check(checkClientId(pcid));
    in.check(checkWord("the device id", device.id, 64));
    in.check(checkName("the device name", device.name, 64));
    if (!finish(in, res))
        return;
    if (!pairings.take(sourceAddress(req), now()))
        return refuseTooMany(res, pairings, "too many pairings from this address; try again later");
    const std::string token = randomHex(32);
    if (stored(storage.pair(pcid, device, token, now()), res))
        answer(res, {{"status", 0}, {"device_token", token}});
}

// The device's credentials, common to sending and unpairing.
struct Credentials
{
    std::string pcid, deviceId, token;
};

static bool readCredentials(Input &in, Credentials &c)
{
    c = {in.text("pcid"), in.text("device_id"), in.text("device_token")};
    if (!in.ok())
        return false;
    in.check(checkClientId(c.pcid));
    in.check(checkWord("the device id", c.deviceId, 64));
    if (c.token.size() != 64 || c.token.find_first_not_of("0123456789abcdef") != std::string::npos)
        in.check("the device token is malformed");
    return in.ok();
}

static void refuseUnpaired(Response &res)
{
    refuse(res, 403, "this device is not paired with that PC, or its token is wrong");
}

void Service::phoneSend(const Request &req, Response &res)
{
    Input in;
    if (!readBody(req, res, in))
        return;
    Credentials c;
    readCredentials(in, c);
    NewRingtone r;
    r.name = in.text("name");
    const std::string data = in.text("data");
    if (!in.ok())
        return (void)finish(in, res);
    // A stranger's upload costs one lookup: nothing of it is decoded or stored.
    const Result paired = storage.checkPairing(c.pcid, c.deviceId, c.token);
    if (paired == Result::Denied)
        return refuseUnpaired(res);
    if (!stored(paired, res))
        return;
    in.check(checkRingtoneName(r.name));
    std::string bytes;
    if (!decodeBase64(data, bytes))
        in.check("\"data\" must be the file in base64");
    else if (bytes.size() > MaxRingtoneBytes)
        return refuse(res, 413, "the ringtone is larger than 5 MB");
    else
        in.check(checkRingtoneFile(bytes));
    if (!finish(in, res))
        return;
    r.pcid = c.pcid;
    r.deviceId = c.deviceId;
    r.deviceToken = c.token;
    expireOld(now());
    // Random ids clash rarely; a few draws settle it.
    Result result = Result::Conflict;
    for (int attempt = 0; attempt < 8 && result == Result::Conflict; ++attempt) {
        r.id = randomId();
        r.fileKey = randomHex(16);
        r.now = now();
        result = storage.addRingtone(r, bytes);
    }
    if (result == Result::Denied)
        return refuseUnpaired(res);
    if (result == Result::Conflict)
        return refuse(res, 503, "no free ringtone id was found; try again");
    if (result == Result::OverQuota)
        return refuse(res, 507,
            "the PC has too many ringtones waiting (at most " + std::to_string(r.quota.maxWaiting)
                + " ringtones or " + std::to_string(r.quota.maxWaitingBytes / (1024 * 1024))
                + " MB); more fit once it has fetched them");
    if (stored(result, res))
        answer(res, {{"status", 0}, {"id", r.id}}, 201);
}

void Service::phoneUnpair(const Request &req, Response &res)
{
    Input in;
    if (!readBody(req, res, in))
        return;
    Credentials c;
    if (!readCredentials(in, c))
        return (void)finish(in, res);
    const Result r = storage.removePairing(c.pcid, c.deviceId, c.token);
    if (r == Result::Denied)
        return refuseUnpaired(res);
    if (stored(r, res))
        answer(res, {{"status", 0}});
}

void Service::phoneSent(const Request &req, Response &res)
{
    Input in;
    Credentials c;
    if (!readBody(req, res, in))
        return;
    if (!readCredentials(in, c))
        return (void)finish(in, res);
    std::vector<SentRingtone> sent;
    const Result r = storage.sentRingtones(c.pcid, c.deviceId, c.token, MaxSentListed, sent);
    if (r == Result::Denied)
        return refuseUnpaired(res);
    if (!stored(r, res))
        return;
    json list = json::array();
    for (const SentRingtone &s : sent)
        list.push_back({{"id", s.id}, {"name", s.name}, {"size", s.size}, {"sent", s.created},
            {"state", s.delivered ? "fetched" : "waiting"}});
    answer(res, {{"status", 0}, {"ringtones", list}});
}

void Service::phoneWithdraw(const Request &req, Response &res)
{
    Input in;
    Credentials c;
    if (!readBody(req, res, in))
        return;
    readCredentials(in, c);
    const json &id = in["id"];
    if (!id.is_number_integer() || id.get<int64_t>() < 1 || id.get<int64_t>() > 0x7FFFFFFF)
        in.check("\"id\" must be a ringtone id");
    if (!finish(in, res))
        return;
    const Result r = storage.withdrawRingtone(c.pcid, c.deviceId, c.token, id.get<int64_t>());
    if (r == Result::Denied)
        return refuseUnpaired(res);
    if (r == Result::NotFound)
        return refuse(res, 404, "that ringtone is not waiting any more (fetched, expired or never sent)");
    if (stored(r, res))
        answer(res, {{"status", 0}});
}

void Service::adminUpdate(const Request &req, Response &res)
{
    Input in;
    if (!admitted(req, res) || !readBody(req, res, in))
        return;
    Update u {in.text("version"), in.text("url"), now()};
    if (!in.ok())
        return (void)finish(in, res);
    in.check(checkWord("the version", u.version, 32));
    in.check(checkHttpUrl(u.url));
    if (finish(in, res) && stored(storage.publishUpdate(u), res))
        answer(res, {{"status", 0}});
}

void Service::adminConf(const Request &req, Response &res)
{
    Input in;
    if (!admitted(req, res) || !readBody(req, res, in))
        return;
    const std::string pcid = in.has("pcid") ? in.text("pcid") : std::string();
    const std::string key = in.text("key"), value = in.text("value");
    if (!in.ok())
        return (void)finish(in, res);
    if (in.has("pcid"))
        in.check(checkClientId(pcid));
    in.check(checkConfKey(key));
    if (!value.empty())
        in.check(checkName("the value", value, 1024));
    if (finish(in, res) && stored(storage.setConf(pcid, key, value), res))
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
        if (token.size() < 32)
            error = path + " holds no admin token (at least 32 characters)";
        return error.empty() ? token : std::string();
    }
    token = randomHex(32);
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
