// belfry-service serve --data DIR [options]: run without them for the list.

#include "api/service.h"
#include "http/http.h"
#include "http/refusal.h"
#include "metrics/history.h"
#include "rules/codec.h"
#include "store/storage.h"
#include "store/timed.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <malloc.h>
#include <memory>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>
#include <sys/stat.h>

namespace {

struct Options
{
    Options() { service.webRoot = BELFRY_WEB_DIR; }

    std::string listen = BELFRY_DEFAULT_LISTEN, data, publicUrl, pg;
    // Empty: DATA/admin-token, made at the first start.
    std::string adminTokenFile;
    int64_t dbWait = belfry::DefaultDatabaseStartWaitSeconds, dbRetry = belfry::DefaultDatabaseRetrySeconds;
    std::string host;
    int port = -1;
    // Off unless asked for: GET /metrics without the token.
    std::string metricsListen, metricsHost;
    int metricsPort = -1;
    belfry::ServiceOptions service;
    belfry::HttpOptions http;
};

// "30d", "12h", "90m", "45s": seconds, or 0 when malformed or out of range.
int64_t duration(const std::string &text)
{
    const size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos || digits > 7 || digits + 1 != text.size())
        return 0;
    const std::string units = "smhd";
    const int64_t scale[] = {1, belfry::MinuteSeconds, belfry::HourSeconds, belfry::DaySeconds};
    const size_t unit = units.find(text[digits]);
    return unit == std::string::npos ? 0 : std::stoll(text.substr(0, digits)) * scale[unit];
}

// A positive whole number, or 0.
int64_t count(const std::string &text)
{
    return std::max<int64_t>(belfry::wholeNumber(text), 0);
}

// One command-line option: how it is parsed and how the usage text shows it,
// its default read from a default Options.
struct Option
{
    const char *name;
    // What its value is, as the usage shows it; nullptr for a flag.
    const char *value;
    std::string help;
    // False when the value is not valid.
    std::function<bool(Options &, const std::string &)> set;
    // The default as the usage shows it; nullptr or empty: none shown.
    std::function<std::string(const Options &)> shown = nullptr;
};

// `field(options)` is the string the option sets.
template<typename Field> Option text(const char *name, const char *value, const char *help, Field field)
{
    return {name, value, help,
        [field](Options &o, const std::string &v) {
            field(o) = v;
            return true;
        },
        [field](const Options &o) {
            return field(o);
        }};
}

// `field(options)` is the number the option sets, in units of `scale`: a
// positive whole number.
template<typename Field> Option number(const char *name, const char *help, int64_t scale, Field field)
{
    return {name, "N", help,
        [field, scale](Options &o, const std::string &v) {
            field(o) = decltype(+field(o))(count(v) * scale);
            return count(v) > 0;
        },
        [field, scale](const Options &o) {
            return std::to_string(int64_t(field(o)) / scale);
        }};
}

const std::pair<const char *, belfry::AccessLog> AccessLogModes[]
    = {{"all", belfry::AccessLog::All}, {"sampled", belfry::AccessLog::Sampled}, {"off", belfry::AccessLog::Off}};

// Every option, the first the one required.
const std::vector<Option> Table = {
    text(
        "--data", "DIR", "folder for the database, the ringtone files and the admin token",
        [](auto &o) -> auto & { return o.data; }),
    {"--admin-token-file", "PATH",
        "the admin token, read at start and again on SIGHUP; never created (default: DIR/admin-token,"
        " created at the first start)",
        [](Options &o, const std::string &v) {
            o.adminTokenFile = v;
            return !v.empty();
        }},
    text(
        "--listen", "HOST:PORT", "address to listen on; port 0 picks a free one",
        [](auto &o) -> auto & { return o.listen; }),
    text(
        "--metrics-listen", "HOST:PORT",
        "a second address that serves GET /metrics without the admin token, for Prometheus (none: only behind"
        " the token)",
        [](auto &o) -> auto & { return o.metricsListen; }),
    text(
        "--public-url", "URL", "base address handed out in download addresses (none: the Host header)",
        [](auto &o) -> auto & { return o.publicUrl; }),
#ifdef BELFRY_HAVE_PG
    text(
        "--pg", "CONNINFO", "keep everything in this PostgreSQL database instead of DIR",
        [](auto &o) -> auto & { return o.pg; }),
    {"--db-wait", "DURATION", "how long a start waits for a database that cannot be reached (s, m, h or d)",
        [](Options &o, const std::string &v) {
            return (o.dbWait = duration(v)) > 0;
        },
        [](const Options &o) {
            return std::to_string(o.dbWait / belfry::MinuteSeconds) + "m";
        }},
    {"--db-retry", "DURATION", "the first pause between those tries; each after it twice as long",
        [](Options &o, const std::string &v) {
            return (o.dbRetry = duration(v)) > 0;
        },
        [](const Options &o) {
            return std::to_string(o.dbRetry) + "s";
        }},
#endif
    {"--trust-proxy", "LIST",
        "the reverse proxies in front (addresses or networks, as 127.0.0.1,10.0.0.0/8): a request"
        " from one comes from the X-Forwarded-For address it names",
        [](Options &o, const std::string &v) {
            std::string error;
            const bool ok = o.http.proxies.parse(v, error);
            if (!ok)
                std::fprintf(stderr, "belfry-service: --trust-proxy: %s\n", error.c_str());
            return ok;
        }},
    {"--keep", "DURATION", "how long a ringtone waits for its PC: a number with s, m, h or d",
        [](Options &o, const std::string &v) {
            return (o.service.keepSeconds = duration(v)) > 0;
        },
        [](const Options &o) {
            return std::to_string(o.service.keepSeconds / belfry::DaySeconds) + "d";
        }},
    number(
        "--pair-limit", "pairings per source address and hour", 1,
        [](auto &o) -> auto & { return o.service.pairingsPerHour; }),
    number(
        "--upload-limit", "uploads per source address and hour, to any PCs", 1,
        [](auto &o) -> auto & { return o.service.uploadsPerHour; }),
    number(
        "--new-pc-limit", "PCs not seen before per source address and day", 1,
        [](auto &o) -> auto & { return o.service.newPcsPerDay; }),
    number(
        "--max-waiting", "ringtones one PC may have waiting", 1,
        [](auto &o) -> auto & { return o.service.quota.maxWaiting; }),
    number(
        "--max-waiting-mb", "MiB of ringtones one PC may have waiting", belfry::MiB,
        [](auto &o) -> auto & { return o.service.quota.maxWaitingBytes; }),
    {"--access-log", "all|sampled|off",
        "the request log on standard error: every request; all but most beats (1 in "
            + std::to_string(belfry::AccessLogBeatSample) + " of those answered without a note); none",
        [](Options &o, const std::string &v) {
            for (const auto &[name, mode] : AccessLogModes)
                if (v == name)
                    return o.http.accessLog = mode, true;
            return false;
        },
        [](const Options &o) {
            for (const auto &[name, mode] : AccessLogModes)
                if (o.http.accessLog == mode)
                    return std::string(name);
            return std::string();
        }},
    number(
        "--max-connections", "open connections at most, fewer if the open-file limit allows fewer", 1,
        [](auto &o) -> auto & { return o.http.maxConnections; }),
    number(
        "--max-per-address", "open connections per client address at most (not behind a proxy)", 1,
        [](auto &o) -> auto & { return o.http.maxPerAddress; }),
    number(
        "--upload-memory-mb", "MiB of upload bodies held in memory at once, at most", belfry::MiB,
        [](auto &o) -> auto & { return o.http.uploadMemory; }),
    number(
        "--file-memory-mb", "MiB of ringtone files being sent held in memory at once, at most", belfry::MiB,
        [](auto &o) -> auto & { return o.http.fileMemory; }),
    text(
        "--web", "DIR", "the folder of the phone's page, read at start; empty: no page",
        [](auto &o) -> auto & { return o.service.webRoot; }),
    text(
        "--ffmpeg", "PATH", "the converter's program",
        [](auto &o) -> auto & { return o.service.convert.ffmpeg; }),
    text(
        "--ffprobe", "PATH", "the converter's probe",
        [](auto &o) -> auto & { return o.service.convert.ffprobe; }),
    text(
        "--convert-temp", "DIR", "where conversions keep their files meanwhile (none: $TMPDIR or /tmp)",
        [](auto &o) -> auto & { return o.service.convert.tempRoot; }),
};

const Option *findOption(const std::string &name)
{
    for (const Option &o : Table)
        if (name == o.name)
            return &o;
    return nullptr;
}

int usage()
{
    const Options defaults;
    std::string text = "usage: belfry-service serve";
    for (const Option &o : Table) {
        const std::string word = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
        text += &o == &Table.front() ? " " + word : " [" + word + "]";
    }
    text += "\n";
    for (const Option &o : Table) {
        const std::string shown = o.shown ? o.shown(defaults) : std::string();
        char line[64];
        std::snprintf(line, sizeof line, "  %-19s", o.name);
        text += line + o.help + (shown.empty() ? "" : " (default " + shown + ")") + "\n";
    }
    std::fputs(text.c_str(), stderr);
    return 2;
}

// "127.0.0.1:8750", "[::1]:0": false when either part is missing or the port out of range.
bool hostAndPort(const std::string &text, std::string &host, int &port)
{
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && colon + 1 < text.size() && text.size() - colon <= 6
        && text.find_first_not_of("0123456789", colon + 1) == std::string::npos)
        port = std::stoi(text.substr(colon + 1));
    host = colon == std::string::npos ? "" : text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return port >= 0 && port <= 65535 && !host.empty();
}

bool parseOptions(int argc, char **argv, Options &o)
{
    if (argc < 2 || std::strcmp(argv[1], "serve") != 0)
        return false;
    for (int i = 2; i < argc; ++i) {
        const Option *option = findOption(argv[i]);
        if (!option || (option->value && i + 1 >= argc))
            return false;
        if (!option->set(o, option->value ? argv[++i] : ""))
            return false;
    }
    while (o.publicUrl.size() > 1 && o.publicUrl.back() == '/')
        o.publicUrl.pop_back();
    return !o.data.empty() && hostAndPort(o.listen, o.host, o.port)
        && (o.metricsListen.empty() || hostAndPort(o.metricsListen, o.metricsHost, o.metricsPort));
}

std::unique_ptr<belfry::Storage> openStorage(const Options &o, std::string &error)
{
    if (::mkdir(o.data.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + o.data + ": " + std::strerror(errno);
        return nullptr;
    }
#ifdef BELFRY_HAVE_PG
    if (!o.pg.empty())
        return belfry::openPgStorage(o.pg, error, o.dbWait, o.dbRetry);
#endif
    return belfry::openSqliteStorage(o.data, error);
}

// SIGHUP reads the admin token file again, on a thread of its own that waits
// for the signal (blocked everywhere else from the start of main). A file that
// does not hold a token keeps the token in use.
class TokenReloads
{
public:
    TokenReloads(belfry::Service &service, std::string path)
        : thread([this, &service, path] {
            while (wait())
                reload(service, path);
        })
    { }
    ~TokenReloads()
    {
        done = true;
        ::pthread_kill(thread.native_handle(), SIGHUP);
        thread.join();
    }

    // Blocks the signal in this thread and every thread started after it.
    static void block()
    {
        sigset_t hup = hupSet();
        ::pthread_sigmask(SIG_BLOCK, &hup, nullptr);
    }

private:
    static sigset_t hupSet()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGHUP);
        return set;
    }
    bool wait()
    {
        const sigset_t hup = hupSet();
        int signal = 0;
        while (::sigwait(&hup, &signal) != 0) { }
        return !done;
    }
    static void reload(belfry::Service &service, const std::string &path)
    {
        std::string error;
        std::string token = belfry::loadAdminToken(path, false, error);
        if (token.empty()) {
            std::fprintf(stderr, "belfry-service: SIGHUP: the admin token stays as it was: %s\n", error.c_str());
            return;
        }
        service.setAdminToken(std::move(token));
        std::fprintf(stderr, "belfry-service: SIGHUP: admin token read again from %s\n", path.c_str());
    }

    std::atomic<bool> done {false};
    std::thread thread;
};


// The service's address, and the metrics' own when asked for; false once
// either cannot be bound, said on standard error.
bool listen(belfry::HttpServer &server, belfry::Service &service, const Options &o)
{
    std::string error;
    const int port = server.listen(o.host, o.port, error);
    const int metricsPort = port < 0 || o.metricsListen.empty() ? 0
                                                                : server.listenMetrics(o.metricsHost, o.metricsPort, error);
    if (port < 0 || metricsPort < 0) {
        std::fprintf(stderr, "belfry-service: %s\n", error.c_str());
        return false;
    }
    const auto shown = [](const std::string &host, int port) {
        return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    };
    service.setListenAddress(shown(o.host, port));
    if (metricsPort > 0)
        std::fprintf(stderr, "belfry-service: metrics on http://%s/metrics\n", shown(o.metricsHost, metricsPort).c_str());
    return true;
}

int serve(belfry::Storage &untimed, const Options &o)
{
    const bool ownToken = o.adminTokenFile.empty();
    const std::string tokenPath = ownToken ? o.data + "/admin-token" : o.adminTokenFile;
    std::string error;
    belfry::ServiceOptions options = o.service;
    // Outlive the service and the server, whose gauges they read.
    belfry::Metrics metrics(belfry::refusalCodes());
    belfry::History history(metrics);
    const std::unique_ptr<belfry::Storage> storage = belfry::timedStorage(untimed, metrics);
    options.metrics = &metrics;
    options.history = &history;
    options.adminToken = belfry::loadAdminToken(tokenPath, ownToken, error);
    options.publicUrl = o.publicUrl;
    if (options.adminToken.empty()) {
        std::fprintf(stderr, "belfry-service: %s\n", error.c_str());
        return 1;
    }
    options.convert.owner = o.data;
    if (const size_t left = belfry::Converter(options.convert).removeLeftovers())
        std::fprintf(stderr, "belfry-service: removed %zu conversions an earlier run left\n", left);
    // The server outlives the service: conversions that end during the stop
    // still hand their answers to it.
    std::unique_ptr<belfry::HttpServer> server;
    belfry::Service service(*storage, options);
    belfry::HttpOptions http = o.http;
    http.stopping = [&service] {
        service.stop();
    };
    http.metrics = &metrics;
    server = std::make_unique<belfry::HttpServer>(service.routes(), http);
    if (!listen(*server, service, o))
        return 1;
    if (!service.pageProblem().empty())
        std::fprintf(stderr, "belfry-service: no phone page: %s\n", service.pageProblem().c_str());
    if (const std::string missing = belfry::Converter(options.convert).unavailable(); !missing.empty())
        std::fprintf(stderr, "belfry-service: uploads will fail: %s\n", missing.c_str());
    std::fprintf(stderr, "belfry-service: listening on http://%s (data in %s, admin token in %s)\n",
        service.listenAddress().c_str(), o.data.c_str(), tokenPath.c_str());
    std::fflush(stderr);
    const TokenReloads reloads(service, tokenPath);
    // Ends before the service and the server it reads.
    const belfry::Sampler sampler(history, std::chrono::seconds(belfry::HistoryEverySeconds));
    server->run();
    std::fprintf(stderr, "belfry-service: stopped\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // The database holds device tokens: nothing the service creates is for others.
    ::umask(077);
    std::signal(SIGPIPE, SIG_IGN);
    // Request bodies and ringtone files are megabytes each: a fixed threshold
    // keeps them in mappings of their own, returned to the system when freed,
    // instead of heaps that glibc would grow and keep after a burst.
    ::mallopt(M_MMAP_THRESHOLD, 256 * belfry::KiB);
    // Fixing that threshold also fixes the trim threshold at its default of
    // 128 KiB: the small allocations of a few requests then kept handing the
    // top of a thread's heap back to the system and faulting it in again,
    // which cost more than half of a beat's CPU. Small chunks only ever
    // live in the heaps, so a few megabytes of slack stay bounded.
    ::mallopt(M_TRIM_THRESHOLD, 4 * belfry::MiB);
    TokenReloads::block();
    Options options;
    if (!parseOptions(argc, argv, options))
        return usage();
    std::string error;
    const std::unique_ptr<belfry::Storage> storage = openStorage(options, error);
    if (!storage) {
        std::fprintf(stderr, "belfry-service: %s\n", error.c_str());
        return 1;
    }
    return serve(*storage, options);
}
