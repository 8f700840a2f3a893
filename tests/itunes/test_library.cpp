#include "itunes/itunes.h"
#include "itunes/library.h"

#include <QtTest>

#include "tests/support/debuglines.h"
#include "tests/support/musicfolder.h"
#include "tests/support/readonlyfolder.h"

#include <unistd.h>

namespace {

// Set up in main() before the application object exists, so every path
// lookup lands in the sandbox.
QTemporaryDir *sandbox = nullptr;

QString home()
{
    return sandbox->path();
}

QString iTunesDir()
{
    return musicFolder(home()) + "/iTunes";
}

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

void writeLibrary(const QByteArray &dictBody)
{
    QVERIFY(QDir().mkpath(iTunesDir()));
    QFile file(iTunesDir() + "/iTunes Music Library.xml");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
               "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
               "<plist version=\"1.0\">\n<dict>\n"
               "\t<key>Major Version</key><integer>1</integer>\n"
        + dictBody + "</dict>\n</plist>\n");
}

void writeLibraryFor(const QString &musicFolderUrl, const QByteArray &after = QByteArray())
{
    writeLibrary("\t<key>Music Folder</key><string>" + musicFolderUrl.toUtf8() + "</string>\n" + after);
}

// A fresh music folder with the given subfolders; returns its path.
QString makeMusicFolder(const QString &relative, const QStringList &subfolders)
{
    const QString path = home() + "/" + relative;
    QDir(path).removeRecursively();
    for (const QString &sub : subfolders)
        QDir().mkpath(path + "/" + sub);
    return path;
}

}  // namespace

class TestLibrary : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void musicDirExists();
    void missingLibraryOrFolderKey();
    void folderNames_data();
    void folderNames();
    void preferredOverPlainName();
    void nothingMatches();
    void readOnlyFolderSkipped();
    void urlForms();
    void damageAfterFolderKey();
    void wineDrivePaths();
    void wineLibrary();
};

void TestLibrary::cleanup()
{
    QDir(iTunesDir()).removeRecursively();
}

void TestLibrary::musicDirExists()
{
    QVERIFY(!iTunesMusicDirExists());
    QVERIFY(QDir().mkpath(iTunesDir()));
    QVERIFY(iTunesMusicDirExists());
}

void TestLibrary::missingLibraryOrFolderKey()
{
    DebugLines debug;
    QCOMPARE(autoAddFolder().path(), QString("."));

    const QString music = makeMusicFolder("Media", {"Automatically Add to iTunes.localized"});
    writeLibrary("\t<key>Tracks</key><dict/>\n");
    QCOMPARE(autoAddFolder().path(), QString("."));

    writeLibrary("\t<key>Music Folder</key><string></string>\n");
    QCOMPARE(autoAddFolder().path(), QString("."));

    // Not a file URL: it names no local folder, and certainly not the working one.
    writeLibraryFor(music);
    QCOMPARE(autoAddFolder().path(), QString("."));
}

void TestLibrary::folderNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("localized") << "Automatically Add to iTunes.localized";
    QTest::newRow("chinese") << "自动添加到 iTunes";
    QTest::newRow("plain") << "Automatically Add to iTunes";
    QTest::newRow("localized other case") << "AUTOMATICALLY ADD TO ITUNES.LOCALIZED";
    QTest::newRow("plain other case") << "automatically add to itunes";
}

void TestLibrary::folderNames()
{
    QFETCH(QString, name);
    const QString music = makeMusicFolder("Media", {"Music", "Podcasts", name});
    writeLibraryFor(QUrl::fromLocalFile(music + "/").toString());
    const QDir folder = autoAddFolder();
    QCOMPARE(canonical(folder.path()), canonical(music + "/" + name));
    QCOMPARE(folder.dirName(), name);
}

void TestLibrary::preferredOverPlainName()
{
    const QString music
        = makeMusicFolder("Media", {"Automatically Add to iTunes", "Automatically Add to iTunes.localized"});
    writeLibraryFor(QUrl::fromLocalFile(music).toString());
    QCOMPARE(autoAddFolder().dirName(), QString("Automatically Add to iTunes.localized"));
}

void TestLibrary::nothingMatches()
{
    DebugLines debug;
    const QString music
        = makeMusicFolder("Media", {"Automatically Add to iTunes Later", "Add to iTunes", "Music"});
    // A file of the right name is no folder to drop ringtones into.
    QFile file(music + "/自动添加到 iTunes");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    writeLibraryFor(QUrl::fromLocalFile(music).toString());
    QCOMPARE(autoAddFolder().path(), QString("."));
    QCOMPARE(debug.take(), QStringList {music + " not exists!"});
}

void TestLibrary::readOnlyFolderSkipped()
{
    DebugLines debug;
    const QString music = makeMusicFolder("Media", {"Automatically Add to iTunes.localized"});
    const QString folder = music + "/Automatically Add to iTunes.localized";
    ReadOnlyFolder readOnly(folder);
    if (!readOnly.isReadOnly())
        QSKIP("this file system cannot make a folder read-only for this user");
    writeLibraryFor(QUrl::fromLocalFile(music).toString());
    QCOMPARE(autoAddFolder().path(), QString("."));
    QCOMPARE(debug.take(), QStringList {music + " not exists!"});
}

void TestLibrary::urlForms()
{
    const QString music = makeMusicFolder("My Music/iTunes Media", {"自动添加到 iTunes"});
    const QString expected = canonical(music + "/自动添加到 iTunes");
    QString encoded = QUrl::fromLocalFile(music + "/").toString(QUrl::FullyEncoded);
    QVERIFY(encoded.contains("%20"));

    writeLibraryFor(encoded);
    QCOMPARE(canonical(autoAddFolder().path()), expected);

    encoded.replace("file://", "file://localhost");
    writeLibraryFor(encoded);
    QCOMPARE(canonical(autoAddFolder().path()), expected);

    QCOMPARE(musicFolderPath("file://localhost/srv/My%20Music/"), QString("/srv/My Music/"));
    // A drive path as Windows iTunes writes it: on Windows it stands as it is,
    // elsewhere it is found through Wine's drive link.
    const QString drive = musicFolderPath("file://localhost/C:/Users/u/Music/iTunes/iTunes%20Media/");
#ifdef Q_OS_WIN
    QCOMPARE(drive, QString("C:/Users/u/Music/iTunes/iTunes Media/"));
#else
    QCOMPARE(drive, QDir::homePath() + "/.wine/dosdevices/c:/Users/u/Music/iTunes/iTunes Media/");
#endif
}

void TestLibrary::damageAfterFolderKey()
{
    const QString music = makeMusicFolder("Media", {"Automatically Add to iTunes"});
    const QByteArray damage = "\t<key>Tracks</key><dict><key>1</key><dict><key>Name</key>"
                              "<string>\x02\xc3\x28 Tom & Jerry</string></dict></dict>\n";
    writeLibraryFor(QUrl::fromLocalFile(music).toString(), damage);
    QCOMPARE(autoAddFolder().dirName(), QString("Automatically Add to iTunes"));

    // The same damage ahead of the key still keeps the folder out of reach.
    DebugLines debug;
    writeLibrary(damage + "\t<key>Music Folder</key><string>" + QUrl::fromLocalFile(music).toEncoded()
        + "</string>\n");
    QCOMPARE(autoAddFolder().path(), QString("."));
    const QStringList lines = debug.take();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.first(), QString("PListParser Warning: Could not parse PList file!"));
}

void TestLibrary::wineDrivePaths()
{
    const QString h = "/home/u";
    QCOMPARE(wineDrivePath("C:/Users/u/Music/", h), QString("/home/u/.wine/dosdevices/c:/Users/u/Music/"));
    QCOMPARE(wineDrivePath("/D:/iTunes Media", h), QString("/home/u/.wine/dosdevices/d:/iTunes Media"));
    QCOMPARE(wineDrivePath("/c:", h), QString("/home/u/.wine/dosdevices/c:"));
    QCOMPARE(wineDrivePath("/home/u/Music", h), QString("/home/u/Music"));
    QCOMPARE(wineDrivePath("/CD:/x", h), QString("/CD:/x"));
    QCOMPARE(wineDrivePath("/srv/C:/x", h), QString("/srv/C:/x"));
    QCOMPARE(wineDrivePath("//server/share", h), QString("//server/share"));
    QCOMPARE(wineDrivePath(QString(), h), QString());
}

void TestLibrary::wineLibrary()
{
#ifdef Q_OS_WIN
    QSKIP("Windows takes the library's paths as they stand, with no Wine prefix in between");
#endif
    const QString wine = home() + "/.wine";
    QDir(wine).removeRecursively();
    const QString media = wine + "/drive_c/users/u/Music/iTunes/iTunes Media";
    QVERIFY(QDir().mkpath(media + "/Automatically Add to iTunes"));
    QVERIFY(QDir().mkpath(wine + "/dosdevices"));
    QVERIFY(QFile::link("../drive_c", wine + "/dosdevices/c:"));

    writeLibraryFor("file://localhost/C:/users/u/Music/iTunes/iTunes%20Media/");
    const QDir folder = autoAddFolder();
    QCOMPARE(folder.path(),
        home() + "/.wine/dosdevices/c:/users/u/Music/iTunes/iTunes Media/Automatically Add to iTunes");
    QCOMPARE(canonical(folder.path()), canonical(media + "/Automatically Add to iTunes"));
    QDir(wine).removeRecursively();
}

int main(int argc, char **argv)
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    sandbox = &dir;
    qputenv("HOME", dir.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (dir.path() + "/.config").toUtf8());
    qputenv("XDG_DATA_HOME", (dir.path() + "/.local/share").toUtf8());
    qunsetenv("XDG_MUSIC_DIR");
    QCoreApplication app(argc, argv);
    TestLibrary test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_library.moc"
