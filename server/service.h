#pragma once

#include "storage.h"

#include <httplib.h>
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
    void adminUpdate(const httplib::Request &req, httplib::Response &res);
    void adminConf(const httplib::Request &req, httplib::Response &res);
    void adminStats(const httplib::Request &req, httplib::Response &res);

    bool admitted(const httplib::Request &req, httplib::Response &res) const;
    std::string baseUrl(const httplib::Request &req) const;

    Storage &storage;
    ServiceOptions options;
};

// Reads the admin token from `path`, or creates it there (owner-only) with a
// new random value. Empty with `error` set on failure.
std::string loadAdminToken(const std::string &path, std::string &error);

}  // namespace belfry
