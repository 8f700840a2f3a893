#pragma once

// The service as routes: what each audience may ask (the program, the phone,
// the admin, the page's files) and the state they share.

#include "core/beats.h"
#include "core/budgets.h"
#include "core/uploads.h"
#include "http/http.h"
#include "http/refusal.h"
#include "media/convert.h"
#include "metrics/history.h"
#include "metrics/metrics.h"
#include "store/storage.h"

#include <nlohmann/json_fwd.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace belfry {

struct ServiceOptions
{
    // Where clients reach this service, e.g. "http://ringtones.example:8750";
    // empty: taken from each request's Host header.
    std::string publicUrl;
    // Used when neither of the above gives an address: "127.0.0.1:8750".
    std::string listenAddress;
    std::string adminToken;
    // Ringtones not fetched within this many seconds are removed.
    int64_t keepSeconds = DefaultKeepSeconds;
    // Per source address.
    int64_t pairingsPerHour = DefaultPairingsPerHour;
    int64_t uploadsPerHour = DefaultUploadsPerHour;
    int64_t newPcsPerDay = DefaultNewPcsPerDay;
    // What one PC may have waiting.
    Quota quota;
    // The folder of the phone's page; empty: no page is served.
    std::string webRoot;
    ConvertOptions convert;
    // Where the routes count, and the last hour the admin page charts; both
    // outlive the service. Null: counted for no one, no history.
    Metrics *metrics = nullptr;
    const History *history = nullptr;
};

// The HTTP side of the service: every route, its checks and its answers.
struct Credentials;

class Service
{
public:
    // Reads the phone's page from `options.webRoot`; pageProblem() tells
    // when it could not.
    Service(Storage &storage, ServiceOptions options);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;
    // Every route with the largest body it reads.
    std::vector<Route> routes();
    // Ends the conversions under way and answers those waiting, at once:
    // for a stop. The conversion threads end with the service.
    void stop() { conversions->stop(); }
    // Why the phone's page is not served, or empty.
    const std::string &pageProblem() const { return pageError; }
    // Known once the server is bound (port 0 picks one).
    void setListenAddress(const std::string &address) { options.listenAddress = address; }
    const std::string &listenAddress() const { return options.listenAddress; }
    // Replaces the admin token while requests go on (a reload on SIGHUP).
    void setAdminToken(std::string token);

private:
    void heartBeat(const Request &req, Response &res);
    bool readBeat(const Request &req, Response &res, Beat &beat);
    void config(const Request &req, Response &res);
    void update(const Request &req, Response &res);
    bool newerVersion(const std::string &version, nlohmann::json &body, Response &res);
    void unpair(const Request &req, Response &res);
    void ringtoneInfo(const Request &req, Response &res);
    void ringtoneFile(const Request &req, Response &res);
    void feedback(const Request &req, Response &res);
    void phonePair(const Request &req, Response &res);
    void phoneSend(Request &req, Resume resume);
    bool admitTune(const Request &req, Response &res);
    void phoneTune(Request &req, Resume resume);
    void pageFile(const Request &req, Response &res);
    // The page's files, each at its own address.
    void pageRoutes(std::vector<Route> &routes);
    void phoneUnpair(const Request &req, Response &res);
    void phoneSent(const Request &req, Response &res);
    void phoneWithdraw(const Request &req, Response &res);
    void phoneLimits(const Request &req, Response &res);
    void adminUpdate(const Request &req, Response &res);
    void adminConf(const Request &req, Response &res);
    void adminStats(const Request &req, Response &res);
    void adminMetrics(const Request &req, Response &res);
    void adminHistory(const Request &req, Response &res);

    bool admitted(const Request &req, Response &res) const;
    bool paired(const Credentials &c, Response &res);
    bool readUpload(const Request &req, Response &res, NewRingtone &r, std::string &bytes, int &start);
    void convertAndStore(
        std::string input, int start, const NewRingtone &r, const std::string &address, Resume resume);
    void loadPage();
    std::string baseUrl(const Request &req) const;
    std::string sourceAddress(const Request &req) const;

    Storage &storage;
    ServiceOptions options;
    // Guards options.adminToken, which a reload swaps under running requests.
    mutable std::mutex adminTokenMutex;
    Metrics uncounted {refusalCodes()};
    Metrics &counted;
    Beats beats;
    // Per source address: pairings, usage events.
    std::unique_ptr<AddressBudget> pairings, events;
    // The page's files by name, read at start: each as it is, gzipped and
    // in brotli where that is smaller (else empty), and its ETag.
    struct PageBody
    {
        std::string plain, gzip, br, etag;
    };
    std::map<std::string, PageBody> page;
    std::string pageError;
    // The page's Content-Security-Policy, with the hash of its own style.
    std::string pagePolicy;
    const Converter converter;
    // Declared after the converter it uses: its threads end first.
    std::unique_ptr<ConvertQueue> conversions;
    Uploads uploads;
};

// Reads the admin token from `path`; when the file is missing and `create`,
// makes it there (owner-only) with a new random value. Empty with `error` set
// on failure, which tells a missing file from one the service may not read.
// A file this call did not create is never removed.
std::string loadAdminToken(const std::string &path, bool create, std::string &error);

}  // namespace belfry
