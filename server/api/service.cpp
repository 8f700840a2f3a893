// The route table, and what any route asks of a request: where it came
// from, and the address clients reach this service at.

#include "api/service.h"

#include <cctype>

namespace belfry {

Service::Service(Storage &storage, ServiceOptions options)
    : storage(storage)
    , options(std::move(options))
    , counted(this->options.metrics ? *this->options.metrics : uncounted)
    , beats(storage, this->options.keepSeconds, this->options.newPcsPerDay)
    , pairings(addressBudget(storage, "pairings", this->options.pairingsPerHour, HourSeconds))
    , events(addressBudget(storage, "events", EventsPerHour, HourSeconds))
    , converter(this->options.convert)
    , conversions(std::make_unique<ConvertQueue>(converter, ConvertWorkers, ConvertWaiting))
    , uploads(storage, beats, *conversions, this->options.quota, this->options.uploadsPerHour)
{
    beats.expire();
    if (!this->options.webRoot.empty())
        loadPage();
    counted.conversionQueue.readFrom([queue = conversions.get()] {
        return int64_t(queue->depth());
    });
}

// The metrics outlive the service.
Service::~Service()
{
    counted.conversionQueue.readFrom(nullptr);
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
    Route heart = route("POST", "/p/v1/heart", MaxJsonBodyBytes, &Service::heartBeat);
    heart.routine = true;
    std::vector<Route> all = {
        heart,
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
        route("GET", "/admin/v1/history", 0, &Service::adminHistory),
        route("GET", "/metrics", 0, &Service::adminMetrics),
    };
    pageRoutes(all);
    return all;
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

}  // namespace belfry
