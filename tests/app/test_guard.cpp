// The single-instance guard's socket: only its own user may reach it. On
// Windows a pipe name is seen by every session of the machine.

#include "app/guard.h"

#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QUuid>
#include <QtTest>

#ifdef Q_OS_WIN
#include <aclapi.h>
#include <windows.h>

#include <vector>
#else
#include <sys/stat.h>
#endif

class TestGuard : public QObject
{
    Q_OBJECT

private slots:
    void onlyTheUserMayConnect();
    void quitsOnlyWhenAsked_data();
    void quitsOnlyWhenAsked();
};

void TestGuard::onlyTheUserMayConnect()
{
    const QString name = serverName(QUuid::createUuid().toString(QUuid::WithoutBraces));
#ifdef Q_OS_WIN
    QScopedPointer<QLocalServer> server(listenAsRunningInstance(name, nullptr));
    QVERIFY(server->isListening());
    const std::wstring pipe = L"\\\\.\\pipe\\" + name.toStdWString();
    const HANDLE handle = CreateFileW(pipe.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    QVERIFY(handle != INVALID_HANDLE_VALUE);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD got = GetSecurityInfo(
        handle, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &descriptor);
    CloseHandle(handle);
    QCOMPARE(got, DWORD(ERROR_SUCCESS));
    // No DACL at all would let everyone in.
    QVERIFY(dacl);

    HANDLE token = nullptr;
    QVERIFY(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> user(size);
    QVERIFY(GetTokenInformation(token, TokenUser, user.data(), size, &size));
    CloseHandle(token);
    const PSID self = reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid;

    QVERIFY(dacl->AceCount > 0);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        QVERIFY(GetAce(dacl, i, &ace));
        const auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        QVERIFY2(EqualSid(const_cast<DWORD *>(&allowed->SidStart), self), "the pipe lets another account in");
    }
    LocalFree(descriptor);
#else
    // With nothing masked, only the guard's own choice keeps others out.
    const mode_t mask = ::umask(0);
    QScopedPointer<QLocalServer> server(listenAsRunningInstance(name, nullptr));
    ::umask(mask);
    QVERIFY(server->isListening());
    const QFileInfo path(server->fullServerName());
    QVERIFY2(path.exists(), qPrintable(path.filePath()));
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup
        | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(path.permissions() & others, QFile::Permissions());
#endif
    // The user's own next start still reaches it.
    QLocalSocket socket;
    socket.connectToServer(name);
    QVERIFY(socket.waitForConnected(5000));
}

void TestGuard::quitsOnlyWhenAsked_data()
{
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<bool>("quits");
    QTest::newRow("a later start says nothing") << QByteArray() << false;
    QTest::newRow("the installer asks, then goes") << QByteArray(QuitRequest) << true;
    QTest::newRow("anything else") << QByteArray("quiet") << false;
}

void TestGuard::quitsOnlyWhenAsked()
{
    QFETCH(QByteArray, written);
    QFETCH(bool, quits);
    const QString name = serverName(QUuid::createUuid().toString(QUuid::WithoutBraces));
    QScopedPointer<QLocalServer> server(listenAsRunningInstance(name, nullptr));
    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(5000));
    // As the installer does: it writes and is gone before anyone answers.
    if (!written.isEmpty()) {
        client.write(written);
        client.flush();
        client.disconnectFromServer();
    }
    QVERIFY(server->waitForNewConnection(5000));
    QCOMPARE(asksToQuit(server->nextPendingConnection()), quits);
}

QTEST_GUILESS_MAIN(TestGuard)
#include "test_guard.moc"
