// A service stand-in for the idle benchmark on 127.0.0.1, answering as the
// service does with nothing to pair and nothing to sync. It prints its port,
// then one line per request (seconds since it started, method, path), so that
// the caller can count the beats of a time window.
//
//   bench_idle_server

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

#include "tests/support/servicestandin.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ServiceStandIn service;
    if (service.port() == 0) {
        std::fprintf(stderr, "bench_idle_server: cannot listen on 127.0.0.1\n");
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    service.watch([clock](const Seen &request) {
        std::printf(
            "%.3f %s %s\n", clock.elapsed() / 1000.0, request.method.constData(), request.path.constData());
        std::fflush(stdout);
    });
    std::printf("%d\n", service.port());
    std::fflush(stdout);
    return app.exec();
}
