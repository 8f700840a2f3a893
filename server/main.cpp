// belfry-service serve --listen HOST:PORT --data DIR [--public-url URL] [--pg CONNINFO]
//                      [--trust-proxy] [--keep DURATION] [--pair-limit N]

#include "service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

namespace {

int usage()
{
    std::fprintf(stderr,
        "usage: belfry-service serve --data DIR [--listen HOST:PORT] [--public-url URL]"
#ifdef BELFRY_HAVE_PG
        " [--pg CONNINFO]"
#endif
        " [--trust-proxy] [--keep DURATION] [--pair-limit N]\n"
        "  --listen      address to listen on (default 127.0.0.1:8750; port 0 picks a free one)\n"
        "  --data        folder for the database, the ringtone files and the admin token\n"
        "  --public-url  base address handed out in download addresses (default: the Host header)\n"
        "  --trust-proxy behind a reverse proxy: a request comes from the last address in X-Forwarded-For\n"
        "  --keep        how long a ringtone waits for its PC: a number with s, m, h or d (default 30d)\n"
        "  --pair-limit  pairings per source address and hour (default 30)\n"
#ifdef BELFRY_HAVE_PG
        "  --pg          keep everything in this PostgreSQL database instead of DIR\n"
#endif
    );
    return 2;
}

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

}  // namespace

int main(int argc, char **argv)
{
    // The database holds device tokens: nothing the service creates is for others.
    ::umask(077);
    std::string listen = "127.0.0.1:8750", data, publicUrl, pg, keep = "30d", pairLimit = "30";
    belfry::ServiceOptions options;
    if (argc < 2 || std::strcmp(argv[1], "serve") != 0)
        return usage();
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trust-proxy") {
            options.trustProxy = true;
            continue;
        }
        std::string *target = arg == "--listen" ? &listen
            : arg == "--data"                   ? &data
            : arg == "--public-url"             ? &publicUrl
            : arg == "--pg"                     ? &pg
            : arg == "--keep"                   ? &keep
            : arg == "--pair-limit"             ? &pairLimit
                                                : nullptr;
        if (!target || i + 1 >= argc)
            return usage();
        *target = argv[++i];
    }
    options.keepSeconds = duration(keep);
    options.pairingsPerHour
        = pairLimit.size() <= 6 && pairLimit.find_first_not_of("0123456789") == std::string::npos
        ? std::atoll(pairLimit.c_str())
        : 0;
    if (options.keepSeconds <= 0 || options.pairingsPerHour <= 0)
        return usage();
    const size_t colon = listen.rfind(':');
    int port = -1;
    if (colon != std::string::npos && colon + 1 < listen.size() && listen.size() - colon <= 6
        && listen.find_first_not_of("0123456789", colon + 1) == std::string::npos)
        port = std::stoi(listen.substr(colon + 1));
    const std::string host = colon == std::string::npos ? "" : listen.substr(0, colon);
    if (data.empty() || port < 0 || port > 65535 || host.empty())
        return usage();
    while (publicUrl.size() > 1 && publicUrl.back() == '/')
        publicUrl.pop_back();

    if (::mkdir(data.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "belfry-service: cannot create %s: %s\n", data.c_str(), std::strerror(errno));
        return 1;
    }
    std::string error;
    std::unique_ptr<belfry::Storage> storage;
#ifdef BELFRY_HAVE_PG
    if (!pg.empty())
        storage = belfry::openPgStorage(pg, error);
    else
#else
    if (!pg.empty())
        return usage();
#endif
        storage = belfry::openSqliteStorage(data, error);
    if (!storage) {
        std::fprintf(stderr, "belfry-service: %s\n", error.c_str());
        return 1;
    }
    const std::string tokenPath = data + "/admin-token";
    options.adminToken = belfry::loadAdminToken(tokenPath, error);
    if (options.adminToken.empty()) {
        std::fprintf(stderr, "belfry-service: %s\n", error.c_str());
        return 1;
    }
    options.publicUrl = publicUrl;

    // SIGINT and SIGTERM are taken by one thread of ours, so no worker thread
    // is interrupted by them and the server can stop in order.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    belfry::Service service(*storage, options);
    service.install(server);
    int listening = -1;
    server.set_socket_options([&listening](socket_t fd) {
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        listening = fd;
    });
    const int bound
        = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        std::fprintf(stderr, "belfry-service: cannot listen on %s\n", listen.c_str());
        return 1;
    }
    // cpp-httplib listens with a backlog of 5: PCs that connect in a burst
    // would have their connections dropped and retried a second later.
    // Listening again on the bound socket only enlarges the backlog.
    ::listen(listening, SOMAXCONN);
    service.setListenAddress(
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(bound));

    std::thread stopper([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        std::fprintf(stderr, "belfry-service: %s received, stopping\n", strsignal(signal));
        server.stop();
    });
    std::fprintf(stderr, "belfry-service: listening on http://%s (data in %s, admin token in %s)\n",
        service.listenAddress().c_str(), data.c_str(), tokenPath.c_str());
    std::fflush(stderr);
    const bool ok = server.listen_after_bind();
    // A failed listen loop ends without a signal; wake the stopper ourselves.
    if (!ok)
        pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    std::fprintf(stderr, "belfry-service: stopped\n");
    return ok ? 0 : 1;
}
