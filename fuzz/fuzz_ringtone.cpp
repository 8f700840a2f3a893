#include <QTemporaryDir>

#include "fuzz/reply.h"
#include "service/download.h"

// Ringtone information answers, delivered to the real reply handler. A file
// request it makes is aborted before it can reach any network, which also
// drives the file handler's failure path.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::setUp();
    static QTemporaryDir folder;
    static Download download(QDir(folder.path()), QStringLiteral("http://ringtones.invalid"));
    static auto *information = download.findChild<QNetworkAccessManager *>(QStringLiteral("information"));
    static auto *files = download.findChild<QNetworkAccessManager *>(QStringLiteral("files"));
    static int adds = 0;
    static int ends = 0;
    static bool connected = [] {
        QObject::connect(&download, &Download::add, [](const QString &url, const QString &) {
            // Only web addresses may be fetched.
            const QUrl address(url);
            FUZZ_CHECK(address.isValid()
                    && (address.scheme() == QLatin1String("http")
                        || address.scheme() == QLatin1String("https")),
                url);
            ++adds;
        });
        QObject::connect(&download, &Download::finish, [] {
            ++ends;
        });
        QObject::connect(&download, &Download::failed, [] {
            ++ends;
        });
        return true;
    }();
    Q_UNUSED(connected);

    adds = ends = 0;
    Fuzz::answer(information, QUrl(QStringLiteral("http://ringtones.invalid/apiv1/ringtone?ringtoneid=7")),
        Fuzz::bytes(data, size));
    FUZZ_CHECK(adds <= 1, QString::number(adds));
    for (QNetworkReply *reply : files->findChildren<QNetworkReply *>())
        reply->abort();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Every add is followed by exactly one finish or failed.
    FUZZ_CHECK(adds == ends, QStringLiteral("%1 adds, %2 ends").arg(adds).arg(ends));
    FUZZ_CHECK(files->findChildren<QNetworkReply *>().isEmpty(), QString());
    return 0;
}
