#include "fuzz/reply.h"
#include "service/heart.h"

// Heartbeat answers, delivered to the real reply handler as the service's
// body of a successful beat.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::setUp();
    static Heart heart(
        QUrl(QStringLiteral("http://service.invalid")), QStringLiteral("pcid"), QStringLiteral("1"));
    static QNetworkAccessManager *manager = heart.findChild<QNetworkAccessManager *>();
    static int networks = 0;
    static bool connected = [] {
        QObject::connect(&heart, &Heart::network, [](int err) {
            FUZZ_CHECK(err == 0, QString::number(err));
            ++networks;
        });
        // A body is either unreadable or read; the transport went well.
        QObject::connect(&heart, &Heart::info, [](const QString &e, const QString &) {
            FUZZ_CHECK(e == QLatin1String("json"), e);
        });
        QObject::connect(&heart, &Heart::paired, [](bool paired) {
            FUZZ_CHECK(!paired, QString());
        });
        return true;
    }();
    Q_UNUSED(connected);

    networks = 0;
    Fuzz::answer(manager, QUrl(QStringLiteral("http://service.invalid/p/v1/heart")), Fuzz::bytes(data, size));
    FUZZ_CHECK(networks == 1, QString::number(networks));
    return 0;
}
