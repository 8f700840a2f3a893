#pragma once

#include "storage.h"

#include "http.h"
#include <nlohmann/json_fwd.hpp>

#include <string>

namespace belfry {

struct ServiceOptions
{
    // Where clients reach this service, e.g. "http://ringtones.example:8750";
    // empty: taken from each request's Host header.
    std::string publicUrl;
    // Used when neither of the above gives an address: "127.0.0.1:8750".
    std::string listenAddress;
    std::string adminToken;
};

// The HTTP side of the service: every route, its checks and its answers.
class Service
{
public:
    Service(Storage &storage, ServiceOptions options);
    // Every route with the largest body it reads.
    std::vector<Route> routes();
    // Known once the server is bound (port 0 picks one).
    void setListenAddress(const std::string &address) { options.listenAddress = address; }
    const std::string &listenAddress() const { return options.listenAddress; }

private:
    void heartBeat(const Request &req, Response &res);
    void config(const Request &req, Response &res);
    void update(const Request &req, Response &res);
    bool newerVersion(const std::string &version, nlohmann::json &body, Response &res);
    void unpair(const Request &req, Response &res);
    void ringtoneInfo(const Request &req, Response &res);
    void ringtoneFile(const Request &req, Response &res);
    void feedback(const Request &req, Response &res);
    void phonePair(const Request &req, Response &res);
    void phoneSend(const Request &req, Response &res);
    void phoneUnpair(const Request &req, Response &res);
    void adminUpdate(const Request &req, Response &res);
    void adminConf(const Request &req, Response &res);
    void adminStats(const Request &req, Response &res);

    bool admitted(const Request &req, Response &res) const;
    std::string baseUrl(const Request &req) const;

    Storage &storage;
    ServiceOptions options;
};

// Reads the admin token from `path`, or creates it there (owner-only) with a
// new random value. Empty with `error` set on failure.
std::string loadAdminToken(const std::string &path, std::string &error);

}  // namespace belfry
