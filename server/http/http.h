#pragma once

// The service's HTTP/1.1 transport: a few I/O threads for every open
// connection, a small pool of workers for the routes (they block on the
// database), deadlines on every phase of a request, caps on connections, and
// deliveries that count only once the client has closed in order.

#include "http/proxies.h"
#include "service_limits.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace belfry {

struct Metrics;

// One request as a route sees it.
struct Request
{
    std::string method;
    // Percent-decoded, with runs of slashes taken as one.
    std::string path;
    std::string body;
    // matches[0] is the path, matches[1] what the route's "*" stood for.
    std::vector<std::string> matches;
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<std::pair<std::string, std::string>> params;
    // The TCP peer, and the address the request counts as coming from: the
    // peer, or behind a trusted proxy the last X-Forwarded-For entry.
    std::string peer;
    std::string source;

    // Empty when absent; names are compared without regard to case.
    std::string header(std::string_view name) const;
    // The first value of a query parameter; empty when absent.
    std::string param(std::string_view key) const;
    const std::string &address() const { return source; }
};

// A body sent in pieces read as they go, so that an answer holds one piece
// in memory whatever the file's size and however slowly it is read.
struct FileBody
{
    uint64_t size = 0;
    // A strong validator of the content, for ETag and If-Range.
    std::string etag;
    // Fills `out` with `length` bytes from `offset`; false cuts the answer
    // off. Runs on a worker: it may block.
    std::function<bool(uint64_t offset, size_t length, std::string &out)> read;
};

struct Response
{
    int status = 200;
    std::string body;
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers;
    // Instead of `body`, for a file: HEAD and Range are answered from it
    // without reading more of it than they send.
    std::shared_ptr<const FileBody> file;
    // Set by routes that hand out a file: called (on a worker) only once the
    // whole body reached the client, which then closed the connection in
    // order. A HEAD, a request with Range, a reset or a timeout never calls
    // it; the answer object lives until it returns. What it returns is what
    // the request's log line says of the delivery.
    std::function<std::string()> delivered;
    // What the request's log line adds: why it was refused, or what it did.
    std::string note;
    // The refusal's number (a Refusal) when refused, for the metrics; -1 otherwise.
    int refusal = -1;

    void setContent(std::string content, const char *type)
    {
        body = std::move(content);
        contentType = type;
    }
};

// Completes an answer that a route put off: runs on a worker.
using Finish = std::function<void(Response &)>;
// Handed to a route that answers later; called once, from any thread.
using Resume = std::function<void(Finish)>;

struct Route
{
    const char *method;
    // Exact, or with one "*" that stands for 1 to 64 lowercase hex digits.
    const char *path;
    // The largest body this route reads, whatever its framing.
    size_t bodyLimit;
    std::function<void(const Request &, Response &)> handle;
    // Instead of `handle`, for work that runs elsewhere and must not hold a
    // worker while it does: the route may take the body, and calls `resume`
    // with what makes the answer once the work is done.
    std::function<void(Request &, Resume)> defer = nullptr;
    // Runs on a worker once the headers are in, before any of the body is
    // read (the request has no body yet). False refuses the request with
    // `res`: the body is never read and the connection ends.
    std::function<bool(const Request &, Response &)> admit = nullptr;
    // Answered so often (a beat) that under AccessLog::Sampled a success
    // without a note is logged only 1 in AccessLogBeatSample times.
    bool routine = false;
};

// What the request log keeps: every request; every request but most routine
// successes; nothing.
enum class AccessLog { All, Sampled, Off };

struct HttpOptions
{
    int ioThreads = DefaultIoThreads;
    int workers = DefaultWorkers;
    // 0: as many as the open-file limit leaves room for.
    size_t maxConnections = DefaultMaxConnections;
    // Per source address (per /64 for IPv6); not applied to a trusted proxy,
    // whose connections carry everyone's requests.
    size_t maxPerAddress = DefaultMaxPerAddress;
    // Room for the bodies of uploads being received at once, whoever sends
    // them: a large body takes its declared length (or its route's limit when
    // chunked) as its head arrives, and past this it is refused with a 503.
    // Small bodies never count, so beats go on whatever uploads do.
    size_t uploadMemory = DefaultUploadMemoryBytes;
    // Room for the pieces of files being sent at once: each file answer takes
    // one piece for as long as it is sent; past this it is refused with a 503.
    size_t fileMemory = DefaultFileMemoryBytes;
    // Whose X-Forwarded-For is believed; none by default.
    Proxies proxies;
    bool log = true;
    AccessLog accessLog = AccessLog::Sampled;
    std::chrono::seconds idleTimeout {IdleTimeoutSeconds};
    std::chrono::seconds headerTimeout {HeaderTimeoutSeconds};
    std::chrono::seconds bodyTimeout {BodyTimeoutSeconds};
    std::chrono::seconds bodyRateGrace {BodyRateGraceSeconds};
    size_t minBodyRate = MinBodyBytesPerSecond;
    // An answer must be written (and a file's close seen) within this, plus
    // one second for every `writeRate` bytes of it.
    std::chrono::seconds writeTimeout {WriteTimeoutSeconds};
    size_t writeRate = WriteBytesPerSecond;
    std::chrono::seconds stopGrace {StopGraceSeconds};
    size_t headerLimit = MaxHeaderBytes;
    // Called once as a stop begins, so that long work can end within the grace.
    std::function<void()> stopping = nullptr;
    // What the transport counts (refusals, connections, the rooms), and what
    // listenMetrics() serves; must outlive the server. Null: counted for no one.
    Metrics *metrics = nullptr;
};

class HttpServer
{
public:
    HttpServer(std::vector<Route> routes, HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds and listens; the port actually bound (port 0 picks one), or -1
    // with `error` set.
    int listen(const std::string &host, int port, std::string &error);
    // A second address, where GET /metrics is the only route, answered
    // without the admin token: for a scraper on a private address. As listen().
    int listenMetrics(const std::string &host, int port, std::string &error);
    // Serves until SIGINT or SIGTERM, then stops accepting, lets what is in
    // flight finish within the grace time and drops the rest.
    void run();

    class Impl;

private:
    std::unique_ptr<Impl> impl;
};

// The address that per-address limits go by: an IPv4 address, or the /64
// network of an IPv6 one (one subscriber's, whose machines pick new addresses
// in it at will). Empty when `text` is no address.
std::string addressKey(const std::string &text);

// A log field with every byte that could end or forge a line, or split a
// field, written as \xNN.
std::string escaped(std::string_view text, bool keepSpaces = false);

}  // namespace belfry
