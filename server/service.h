#pragma once

#include "storage.h"

#include <httplib.h>
#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

namespace belfry {

struct ServiceOptions
{
    // Where clients reach this service, e.g. "http://ringtones.example:8750";
    // empty: taken from each request's Host header.
    std::string publicUrl;
    // Used when neither of the above gives an address: "127.0.0.1:8750".
    std::string listenAddress;
    std::string adminToken;
    // Behind a reverse proxy: a request's source address is the last one in
    // its X-Forwarded-For header (the one the proxy appended).
    bool trustProxy = false;
    // Ringtones not fetched within this many seconds are removed.
    int64_t keepSeconds = 30 * 24 * 3600;
    // Pairings per source address and hour.
    int64_t pairingsPerHour = 30;
};

// Counts events per source address in a bucket that empties again over
// time: at most `capacity` at once, `capacity` more per `period` seconds.
// In memory, so each instance behind a balancer counts for itself.
class AddressLimit
{
public:
    AddressLimit(int64_t capacity, int64_t period)
        : capacity(double(capacity))
        , period(double(period))
    { }
    // The address has no event left.
    bool exhausted(const std::string &address, int64_t now);
    // Counts one event; false (and nothing counted) when none was left.
    bool take(const std::string &address, int64_t now);
    // Seconds until the next event is allowed again.
    int64_t wait() const { return int64_t(period / capacity) + 1; }

private:
    double level(const std::string &address, int64_t now);

    struct Bucket
    {
        double level = 0;
        int64_t at = 0;
    };
    const double capacity;
    const double period;
    std::mutex mutex;
    std::unordered_map<std::string, Bucket> buckets;
};

// The HTTP side of the service: every route, its checks and its answers.
class Service
{
public:
    Service(Storage &storage, ServiceOptions options);
    // Registers the routes, the error answer, the request log and the
    // connection handling on `server`, before it binds.
    void install(httplib::Server &server);
    // Known once the server is bound (port 0 picks one).
    void setListenAddress(const std::string &address) { options.listenAddress = address; }
    const std::string &listenAddress() const { return options.listenAddress; }

private:
    void heartBeat(const httplib::Request &req, httplib::Response &res);
    void config(const httplib::Request &req, httplib::Response &res);
    void update(const httplib::Request &req, httplib::Response &res);
    bool newerVersion(const std::string &version, nlohmann::json &body, httplib::Response &res);
    void unpair(const httplib::Request &req, httplib::Response &res);
    void ringtoneInfo(const httplib::Request &req, httplib::Response &res);
    void ringtoneFile(const httplib::Request &req, httplib::Response &res);
    void feedback(const httplib::Request &req, httplib::Response &res);
    void phonePair(const httplib::Request &req, httplib::Response &res);
    void phoneSend(const httplib::Request &req, httplib::Response &res);
    void phoneUnpair(const httplib::Request &req, httplib::Response &res);
    void phoneSent(const httplib::Request &req, httplib::Response &res);
    void phoneWithdraw(const httplib::Request &req, httplib::Response &res);
    void adminUpdate(const httplib::Request &req, httplib::Response &res);
    void adminConf(const httplib::Request &req, httplib::Response &res);
    void adminStats(const httplib::Request &req, httplib::Response &res);

    bool admitted(const httplib::Request &req, httplib::Response &res) const;
    std::string baseUrl(const httplib::Request &req) const;
    std::string sourceAddress(const httplib::Request &req) const;
    // Removes the ringtones kept too long, at most once in a while.
    void expireOld(int64_t now);

    Storage &storage;
    ServiceOptions options;
    AddressLimit misses;
    AddressLimit pairings;
    std::atomic<int64_t> nextExpiry {0};
};

// Reads the admin token from `path`, or creates it there (owner-only) with a
// new random value. Empty with `error` set on failure.
std::string loadAdminToken(const std::string &path, std::string &error);

}  // namespace belfry
