// belfry-service serve --listen HOST:PORT --data DIR [--public-url URL] [--pg CONNINFO]
//                      [--trust-proxy] [--keep DURATION] [--pair-limit N] [--upload-limit N]
//                      [--new-pc-limit N] [--max-waiting N] [--max-waiting-mb N] [--max-connections N]
//                      [--max-per-address N] [--web DIR] [--ffmpeg PATH] [--ffprobe PATH]
//                      [--convert-temp DIR]

#include "service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

int usage()
{
    std::fprintf(stderr,
        "usage: belfry-service serve --data DIR [--listen HOST:PORT] [--public-url URL]"
#ifdef BELFRY_HAVE_PG
        " [--pg CONNINFO]"
#endif
        " [--trust-proxy] [--keep DURATION] [--pair-limit N] [--upload-limit N] [--new-pc-limit N]"
        " [--max-waiting N]"
        " [--max-waiting-mb N] [--max-connections N] [--max-per-address N] [--upload-memory-mb N]"
        " [--web DIR] [--ffmpeg PATH]"
        " [--ffprobe PATH] [--convert-temp DIR]\n"
        "  --listen           address to listen on (default 127.0.0.1:8750; port 0 picks a free one)\n"
        "  --data             folder for the database, the ringtone files and the admin token\n"
        "  --public-url       base address handed out in download addresses (default: the Host header)\n"
#ifdef BELFRY_HAVE_PG
        "  --pg               keep everything in this PostgreSQL database instead of DIR\n"
#endif
        "  --trust-proxy      behind a reverse proxy: a request comes from the last X-Forwarded-For address\n"
        "  --keep             how long a ringtone waits for its PC: a number with s, m, h or d (default "
        "30d)\n"
        "  --pair-limit       pairings per source address and hour (default 30)\n"
        "  --upload-limit     uploads per source address and hour, to any PCs (default 30)\n"
        "  --new-pc-limit     PCs not seen before per source address and day (default 1000)\n"
        "  --max-waiting      ringtones one PC may have waiting (default 50)\n"
        "  --max-waiting-mb   megabytes of ringtones one PC may have waiting (default 100)\n"
        "  --max-connections  open connections at most (default 10000, or what the open-file limit allows)\n"
        "  --max-per-address  open connections per client address at most (default 256; not behind a "
        "proxy)\n"
        "  --upload-memory-mb request bodies of uploads held in memory at once, at most (default 256)\n"
        "  --web              the folder of the phone's page, read at start (default " BELFRY_WEB_DIR ";\n"
        "                     empty: no page)\n"
        "  --ffmpeg, --ffprobe  the converter's programs (default /usr/bin/ffmpeg, /usr/bin/ffprobe)\n"
        "  --convert-temp     where conversions keep their files meanwhile (default $TMPDIR or /tmp)\n");
    return 2;
}

struct Options
{
    Options() { service.webRoot = BELFRY_WEB_DIR; }

    std::string listen = "127.0.0.1:8750", data, publicUrl, pg;
    std::string host;
    int port = -1;
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
    const int64_t scale[] = {1, 60, 3600, 86400};
    const size_t unit = units.find(text[digits]);
    return unit == std::string::npos ? 0 : std::stoll(text.substr(0, digits)) * scale[unit];
}

// A positive whole number of at most six digits, or 0.
int64_t count(const std::string &text)
{
    return !text.empty() && text.size() <= 6 && text.find_first_not_of("0123456789") == std::string::npos
        ? std::atoll(text.c_str())
        : 0;
}

// One option with a value; false when it is unknown or its value is not valid.
bool takeOption(const std::string &arg, const std::string &value, Options &o)
{
    belfry::ServiceOptions &s = o.service;
    std::string *text = arg == "--listen" ? &o.listen
        : arg == "--data"                 ? &o.data
        : arg == "--public-url"           ? &o.publicUrl
        : arg == "--pg"                   ? &o.pg
        : arg == "--web"                  ? &s.webRoot
        : arg == "--ffmpeg"               ? &s.convert.ffmpeg
        : arg == "--ffprobe"              ? &s.convert.ffprobe
        : arg == "--convert-temp"         ? &s.convert.tempRoot
                                          : nullptr;
    int64_t *number = arg == "--pair-limit" ? &s.pairingsPerHour
        : arg == "--upload-limit"           ? &s.uploadsPerHour
        : arg == "--new-pc-limit"           ? &s.newPcsPerDay
        : arg == "--max-waiting"            ? &s.quota.maxWaiting
                                            : nullptr;
    if (text)
        *text = value;
    else if (number)
        *number = count(value);
    else if (arg == "--keep")
        s.keepSeconds = duration(value);
    else if (arg == "--max-waiting-mb")
        s.quota.maxWaitingBytes = count(value) * 1024 * 1024;
    else if (arg == "--upload-memory-mb")
        o.http.uploadMemory = size_t(count(value)) * 1024 * 1024;
    else if (arg == "--max-connections" || arg == "--max-per-address")
        (arg == "--max-connections" ? o.http.maxConnections : o.http.maxPerAddress) = size_t(count(value));
    else
        return false;
    return s.keepSeconds > 0 && s.pairingsPerHour > 0 && s.uploadsPerHour > 0 && s.newPcsPerDay > 0
        && s.quota.maxWaiting > 0 && s.quota.maxWaitingBytes > 0 && o.http.maxConnections > 0
        && o.http.maxPerAddress > 0 && o.http.uploadMemory > 0;
}

bool parseOptions(int argc, char **argv, Options &o)
{
    if (argc < 2 || std::strcmp(argv[1], "serve") != 0)
        return false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trust-proxy")
            o.http.trustProxy = true;
        else if (i + 1 >= argc || !takeOption(arg, argv[++i], o))
            return false;
    }
    const size_t colon = o.listen.rfind(':');
    if (colon != std::string::npos && colon + 1 < o.listen.size() && o.listen.size() - colon <= 6
        && o.listen.find_first_not_of("0123456789", colon + 1) == std::string::npos)
        o.port = std::stoi(o.listen.substr(colon + 1));
    o.host = colon == std::string::npos ? "" : o.listen.substr(0, colon);
    if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']')
        o.host = o.host.substr(1, o.host.size() - 2);
    while (o.publicUrl.size() > 1 && o.publicUrl.back() == '/')
        o.publicUrl.pop_back();
#ifndef BELFRY_HAVE_PG
    if (!o.pg.empty())
        return false;
#endif
    return !o.data.empty() && o.port >= 0 && o.port <= 65535 && !o.host.empty();
}

std::unique_ptr<belfry::Storage> openStorage(const Options &o, std::string &error)
{
    if (::mkdir(o.data.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + o.data + ": " + std::strerror(errno);
        return nullptr;
    }
#ifdef BELFRY_HAVE_PG
    if (!o.pg.empty())
        return belfry::openPgStorage(o.pg, error);
#endif
    return belfry::openSqliteStorage(o.data, error);
}

int serve(belfry::Storage &storage, const Options &o)
{
    const std::string tokenPath = o.data + "/admin-token";
    std::string error;
    belfry::ServiceOptions options = o.service;
    options.adminToken = belfry::loadAdminToken(tokenPath, error);
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
    belfry::Service service(storage, options);
    belfry::HttpOptions http = o.http;
    http.stopping = [&service] {
        service.stop();
    };
    server = std::make_unique<belfry::HttpServer>(service.routes(), http);
    const int port = server->listen(o.host, o.port, error);
    if (port < 0) {
        std::fprintf(stderr, "belfry-service: %s\n", error.c_str());
        return 1;
    }
    service.setListenAddress(
        (o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host) + ":" + std::to_string(port));
    if (!service.pageProblem().empty())
        std::fprintf(stderr, "belfry-service: no phone page: %s\n", service.pageProblem().c_str());
    if (const std::string missing = belfry::Converter(options.convert).unavailable(); !missing.empty())
        std::fprintf(stderr, "belfry-service: uploads will fail: %s\n", missing.c_str());
    std::fprintf(stderr, "belfry-service: listening on http://%s (data in %s, admin token in %s)\n",
        service.listenAddress().c_str(), o.data.c_str(), tokenPath.c_str());
    std::fflush(stderr);
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
    ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // Fixing that threshold also fixes the trim threshold at its default of
    // 128 KB: the small allocations of a few requests then kept handing the
    // top of a thread's heap back to the system and faulting it in again,
    // which cost more than half of a beat's CPU. Small chunks only ever
    // live in the heaps, so a few megabytes of slack stay bounded.
    ::mallopt(M_TRIM_THRESHOLD, 4 * 1024 * 1024);
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
