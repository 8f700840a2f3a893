#include "app/startup.h"

#include "app/guard.h"
#include "app/tunes.h"
#include "control/control.h"
#include "itunes/itunes.h"
#include "resource/resources.h"
#include "settings/config.h"
#include "settings/defaults.h"
#include "window/stylesheet.h"

#include <QApplication>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTextCodec>

#include <memory>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

int runTunes(QApplication &app, Tunes::Mode mode, const QString &command)
{
    Tunes dialog(mode, command);
    dialog.show();
    return app.exec();
}

#ifdef Q_OS_UNIX
int terminateFds[2] = {-1, -1};

void onTerminate(int)
{
    const char byte = 1;
    // Only async-signal-safe calls here: the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(terminateFds[0], &byte, 1);
}

// A session that ends sends SIGTERM: leave as the quit command does, with the
// farewell beat, instead of vanishing while the service still counts on us.
void quitOnTerminate(Control *control)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, terminateFds) != 0) {
        qDebug() << "no orderly exit on SIGTERM: socketpair failed";
        return;
    }
    auto *notifier = new QSocketNotifier(terminateFds[1], QSocketNotifier::Read, control);
    QObject::connect(notifier, &QSocketNotifier::activated, control, [notifier, control] {
        char byte;
        [[maybe_unused]] const ssize_t got = ::read(terminateFds[1], &byte, 1);
        notifier->setEnabled(false);
        control->quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
}
#endif

// What has to be settled before the application object exists.
void prepareProcess()
{
    // Keep the fixed-size window and the tray icon sharp at 150 % and 200 %.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);

    // Qt's network layer otherwise polls the network interfaces every 10 s
    // for as long as the program runs: a tray program must not wake the
    // machine for that. Beats find out about the network by themselves.
    if (!qEnvironmentVariableIsSet("QT_BEARER_POLL_TIMEOUT"))
        qputenv("QT_BEARER_POLL_TIMEOUT", "-1");
}

void setIdentity(QApplication &app)
{
    Resources::init();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QCoreApplication::setOrganizationName(QString::fromLatin1(Belfry::Organization));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(Belfry::OrganizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(Belfry::Application));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(Belfry::Version));
    // The program lives in the tray: closing a dialog must not end it.
    app.setQuitOnLastWindowClosed(false);
}

// A later start of the program connects and is answered by bringing this
// one forward, until the controller says the program is leaving. The
// installer asks it to leave the same way, farewell beat and all.
void answerLaterStarts(QLocalServer *server, Control *control)
{
    QObject::connect(server, &QLocalServer::newConnection, server, [server, control]() {
        QLocalSocket *socket = server->nextPendingConnection();
        if (!socket)
            return;
        if (socket->waitForConnected(SocketTimeout)) {
            if (asksToQuit(socket))
                control->quit();
            else
                control->newConnection();
            socket->close();
        }
        // The server owns its sockets until it dies: one per later start
        // would pile up for the life of the program.
        socket->deleteLater();
    });
    // From now on a later start finds no running instance and runs itself.
    QObject::connect(control, &Control::emit_exit, server, [server]() {
        server->close();
        server->deleteLater();
    });
}

}  // namespace

int runBelfry(int argc, char **argv)
{
    prepareProcess();
    QApplication app(argc, argv);
    setIdentity(app);

    const QMap<QString, QString> itunes = iTunesInstallInfo();
    if (itunes.isEmpty())
        return runTunes(app, Tunes::Mode::Install, QString());

    // Reading the library file can take a while: once is enough.
    const QDir folder = autoAddFolder();
    // Freed when the event loop has ended, after the controller that uses it.
    const auto config = std::make_unique<Config>(QCoreApplication::organizationName(),
        QCoreApplication::applicationName(), QCoreApplication::applicationVersion(), itunes, folder.path());

    const bool initialised = folder.path() != QLatin1String(".") && folder.exists() && iTunesMusicDirExists();
    if (!initialised)
        return runTunes(app, Tunes::Mode::Init, config->iTunesCMD());

    const QString name = serverName(config->clientId());
    if (anotherInstanceAnswers(name))
        return 0;

    // A child of the application, so that it goes with it when the program
    // ends without the controller's exit signal (closing the pairing page).
    QLocalServer *server = listenAsRunningInstance(name, &app);
    app.setStyleSheet(applicationStyleSheet());
    const auto control = std::make_unique<Control>(config.get());
    answerLaterStarts(server, control.get());
    // Log-off and shutdown: Windows asks with WM_QUERYENDSESSION, an X11
    // session manager with its save request.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, control.get(), &Control::sessionEnding);
#ifdef Q_OS_UNIX
    quitOnTerminate(control.get());
#endif
    return app.exec();
}
