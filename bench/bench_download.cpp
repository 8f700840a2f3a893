// How fast a sync answer turns into ringtone files: 200 ringtones of 300 KB
// served from loopback, timed from the beat answer to the last file in the
// folder, against curl fetching the same files in parallel into a folder.
//
//   bench_download [runs]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "service/download.h"
#include "service/heart.h"
#include "tests/support/servicestandin.h"

namespace {

constexpr int Count = 200;
constexpr int Size = 300 * 1024;

// Milliseconds from the sync answer to the last finish, or -1.
double belfryRun(const ServiceStandIn &service, const QString &folder)
{
    Heart heart(QUrl(service.base()), QStringLiteral("BENCH"), QStringLiteral("1.0.1"));
    Download download(QDir(folder), service.base());
    QObject::connect(&heart, &Heart::get, &download, &Download::get);
    QElapsedTimer clock;
    int done = 0, failed = 0;
    QEventLoop loop;
    QObject::connect(&heart, &Heart::network, &loop, [&](int err) {
        if (err == 0)
            clock.start();
    });
    auto settle = [&] {
        if (done + failed == Count)
            loop.quit();
    };
    QObject::connect(&download, &Download::finish, &loop, [&] {
        ++done;
        settle();
    });
    QObject::connect(&download, &Download::failed, &loop, [&] {
        ++failed;
        settle();
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    heart.beat(10);
    loop.exec();
    const double ms = clock.nsecsElapsed() / 1e6;
    const int stored = QDir(folder).entryList({QStringLiteral("*.m4r")}, QDir::Files).size();
    if (failed || stored != Count) {
        QTextStream(stderr) << "belfry run: " << done << " finished, " << failed << " failed, " << stored
                            << " files\n";
        return -1;
    }
    return ms;
}

double curlRun(const ServiceStandIn &service, const QString &folder, const QString &config)
{
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    QTextStream out(&file);
    for (int id = 1; id <= Count; ++id)
        out << "url = \"" << service.fileAddress(id) << "\"\n"
            << "output = \"" << folder << "/Tone " << id << ".m4r\"\n";
    out.flush();
    file.close();
    QDir().mkpath(folder);
    QElapsedTimer clock;
    clock.start();
    QProcess curl;
    // Six at a time, as many connections as Qt opens to one host.
    curl.start(QStringLiteral("curl"), {"--parallel", "--parallel-max", "6", "-s", "-K", config});
    if (!curl.waitForFinished(120000) || curl.exitCode() != 0) {
        QTextStream(stderr) << "curl failed: " << curl.readAllStandardError() << "\n";
        return -1;
    }
    const double ms = clock.nsecsElapsed() / 1e6;
    if (QDir(folder).entryList({QStringLiteral("*.m4r")}, QDir::Files).size() != Count)
        return -1;
    return ms;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    // Every beat lists the same 200 ringtones, however often they went out;
    // connections stay open, as curl's do.
    ServiceStandIn service;
    service.setForgetDelivered(false);
    service.setKeepAlive(true);
    const QByteArray body(Size, 'r');
    for (int id = 1; id <= Count; ++id)
        service.send(id, QStringLiteral("Tone %1").arg(id), body);

    QTemporaryDir dir;
    std::vector<double> ours, theirs;
    bool ok = true;
    for (int run = 0; run < runs && ok; ++run) {
        const double a = belfryRun(service, dir.filePath(QStringLiteral("belfry%1/auto").arg(run)));
        const double b
            = curlRun(service, dir.filePath(QStringLiteral("curl%1").arg(run)), dir.filePath("curl.cfg"));
        ok = a >= 0 && b >= 0;
        ours.push_back(a);
        theirs.push_back(b);
        QTextStream(stdout) << QStringLiteral("run %1: belfry %2 ms, curl --parallel %3 ms\n")
                                   .arg(run + 1)
                                   .arg(a, 0, 'f', 1)
                                   .arg(b, 0, 'f', 1);
    }
    if (!ok)
        return 1;
    // The machine is shared: the best runs show the comparison with the least
    // noise, the medians how steady it is.
    const double a = median(ours), b = median(theirs);
    const double bestA = *std::min_element(ours.begin(), ours.end());
    const double bestB = *std::min_element(theirs.begin(), theirs.end());
    QTextStream(stdout)
        << QStringLiteral("%1 ringtones of %2 KB, %3 runs\n").arg(Count).arg(Size / 1024).arg(runs)
        << QStringLiteral("median: belfry %1 ms, curl %2 ms, ratio %3\n")
               .arg(a, 0, 'f', 1)
               .arg(b, 0, 'f', 1)
               .arg(a / b, 0, 'f', 2)
        << QStringLiteral("best:   belfry %1 ms, curl %2 ms, ratio %3\n")
               .arg(bestA, 0, 'f', 1)
               .arg(bestB, 0, 'f', 1)
               .arg(bestA / bestB, 0, 'f', 2);
    return 0;
}
