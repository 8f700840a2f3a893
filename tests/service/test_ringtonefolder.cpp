// Placing ringtone files into the automatically-add folder, whatever the
// folder, its volume and the programs beside it do.
#include <QBuffer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "service/ringtonefolder.h"
#include "tests/support/filetree.h"
#include "tests/support/readonlyfolder.h"

namespace {

// Another program that takes the ringtone's name just before the move: the
// next `takesLeft` moves find their target created a moment earlier. Without
// `noReplace` the file system cannot refuse to replace in a rename. The
// folder's own calls to renameat2 (MoveFileExW on Windows) resolve to
// this one.
int takesLeft = 0;
bool noReplace = true;

#ifdef Q_OS_WIN
BOOL WINAPI takeThenMove(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (takesLeft > 0) {
        --takesLeft;
        const HANDLE file = CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        DWORD written = 0;
        if (file != INVALID_HANDLE_VALUE && WriteFile(file, "other", 5, &written, nullptr))
            CloseHandle(file);
    }
    static const auto move = reinterpret_cast<decltype(&MoveFileExW)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "MoveFileExW")));
    return move(from, to, flags);
}
#endif

}  // namespace

#ifdef Q_OS_WIN
// The import slot that the folder calls MoveFileExW through: defined
// here, it takes the place of kernel32's.
extern "C" {
decltype(&MoveFileExW) __imp_MoveFileExW = takeThenMove;
}
#else
extern "C" int renameat2(
    int fromDir, const char *from, int toDir, const char *to, unsigned int flags) noexcept
{
    if (takesLeft > 0) {
        --takesLeft;
        const int fd = ::open(to, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 && ::write(fd, "other", 5) == 5)
            ::close(fd);
    }
    if (!noReplace && (flags & RENAME_NOREPLACE)) {
        errno = EINVAL;
        return -1;
    }
    return int(::syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}
#endif

namespace {

// A tmpfs mounted over `path` while alive: a second volume, as the iTunes
// folder on another drive than the system temp folder. None on Windows.
class Volume
{
public:
    explicit Volume(const QString &path)
        : path(QFile::encodeName(path))
    {
        QDir().mkpath(path);
#ifndef Q_OS_WIN
        mounted = ::mount("tmpfs", this->path.constData(), "tmpfs", 0, "size=4m") == 0;
#endif
    }
    ~Volume()
    {
#ifndef Q_OS_WIN
        if (mounted)
            ::umount2(path.constData(), MNT_DETACH);
#endif
    }
    bool isMounted() const { return mounted; }

private:
    QByteArray path;
    bool mounted = false;
};

// What a ringtone meets on this PC before it comes.
enum Setup {
    Nothing,  // not even the folder
    NamesTaken,  // Bell.m4r and Bell_0.m4r
    FolderBelowAFile,
    FolderReadOnly,
    ParentReadOnly,  // the staging folder beside cannot be made
    DiskFull,  // after 100000 bytes
    VolumeAbove,  // the folder and the staging beside it on a volume of their own
    VolumeAt,  // the folder is a mount point
    Leftovers,  // of a program killed while writing
    TakenOnce,  // by another program, just before the move
    TakenOnceNoReplaceMissing,  // the same where a rename cannot refuse to replace
    TakenAlways,
};

void row(const char *tag, int size, int setup, const QString &stored, const QVariantList &info,
    const QString &name = QStringLiteral("Bell"))
{
    QTest::newRow(tag) << size << name << setup << stored << info;
}

}  // namespace

class TestRingtoneFolder : public QObject
{
    Q_OBJECT

private slots:
    void put_data();
    void put();
};

void TestRingtoneFolder::put_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("stored");  // below the folder; empty: none
    QTest::addColumn<QVariantList>("info");  // the one report: stage, and message where it matters

    const QVariantList none, save {"save"};
    row("names taken", 1000, NamesTaken, "Bell_1.m4r", none);
    row("climbing name", 10, Nothing, ".._.._x.m4r", none, "../../x");
    row("device name", 10, Nothing, "_CON.m4r", none, "CON");
    row("forbidden characters", 10, Nothing, "what_ _really_.m4r", none, "what? \"really\"");
    // Longer in bytes than this file system takes: shortened, not lost.
    row("long name", 10, Nothing, QString(83, QChar(0x957F)) + ".m4r", none,
        QString(100, QChar(0x957F)));
    row("folder below a file", 5000, FolderBelowAFile, "", none);
    row("folder read-only", 5000, FolderReadOnly, "", save);
    row("staging folder cannot be made", 300000, ParentReadOnly, "", save);
    row("disk full", 300000, DiskFull, "", {"save", ""});
    row("folder on another volume than temp", 300000, VolumeAbove, "Bell.m4r", none);
    row("folder is a mount point", 300000, VolumeAt, "", save);
    row("leftovers", 10, Leftovers, "Bell.m4r", none);
    row("name taken before the move", 1000, TakenOnce, "Bell_0.m4r", none);
    row("the same without RENAME_NOREPLACE", 1000, TakenOnceNoReplaceMissing, "Bell_0.m4r", none);
    row("name taken before every move", 1000, TakenAlways, "", save);
}

void TestRingtoneFolder::put()
{
    QFETCH(int, size);
    QFETCH(QString, name);
    QFETCH(int, setup);
    QFETCH(QString, stored);
    QFETCH(QVariantList, info);

    QTemporaryDir dir;
    const QString media = dir.filePath("Media");
    const QString folder = media + "/Automatically Add";
    std::unique_ptr<Volume> volume;
    std::unique_ptr<ReadOnlyFolder> readOnly;
    if (setup == VolumeAbove || setup == VolumeAt) {
#ifdef Q_OS_WIN
        QSKIP("no second volume to mount here");
#endif
        volume = std::make_unique<Volume>(setup == VolumeAbove ? media : folder);
        if (!volume->isMounted())
            QSKIP("cannot mount a tmpfs here (needs root and a sandbox that allows mounts)");
    }
    if (setup != Nothing && setup != FolderBelowAFile)
        QVERIFY(QDir().mkpath(folder));
    if (setup == FolderBelowAFile)
        QVERIFY(::put(media, "a file"));
    if (setup == NamesTaken)
        QVERIFY(::put(folder + "/Bell.m4r", "taken") && ::put(folder + "/Bell_0.m4r", "taken"));
    if (setup == Leftovers)
        for (const char *left : {"/.belfry-staging/a1B2c3.part", "/.belfry-staging/notes.txt", "/keep.part",
                 "/Automatically Add/keep.part"})
            QVERIFY(::put(media + left, "left"));
    if (setup == FolderReadOnly || setup == ParentReadOnly) {
        QVERIFY(::put(folder + "/Earlier.m4r", "earlier"));
        readOnly = std::make_unique<ReadOnlyFolder>(setup == FolderReadOnly ? folder : media);
        if (!readOnly->isReadOnly())
            QSKIP("this file system cannot make a folder read-only for this user");
    }
    const QMap<QString, QByteArray> before = tree(dir.path());
#ifdef Q_OS_WIN
    if (setup == DiskFull)
        QSKIP("Windows has no file size limit to stand in for a full disk");
    if (setup == TakenOnceNoReplaceMissing)
        QSKIP("MoveFileExW refuses to replace on every Windows file system");
#else
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    if (setup == DiskFull) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 100000;
        setrlimit(RLIMIT_FSIZE, &small);
    }
#endif
    takesLeft = setup == TakenAlways                               ? 1000
        : setup == TakenOnce || setup == TakenOnceNoReplaceMissing ? 1
                                                                   : 0;
    noReplace = setup != TakenOnceNoReplaceMissing;
    RingtoneFolder shelf {QDir(folder)};
    QSignalSpy reported(&shelf, &RingtoneFolder::info);
    QBuffer body;
    body.setData(tone(size));
    body.open(QIODevice::ReadOnly);
    // As the downloader places a batch of one.
    shelf.removeLeftovers();
    const bool placed = shelf.put(&body, name, QStringLiteral("http://files.invalid/1"));
    shelf.tidy();
#ifndef Q_OS_WIN
    setrlimit(RLIMIT_FSIZE, &saved);
#endif
    takesLeft = 0;
    noReplace = true;

    QCOMPARE(placed, !stored.isEmpty());
    QCOMPARE(reported.count(), int(!info.isEmpty()));
    for (int i = 0; i < info.size(); ++i)
        QCOMPARE(reported.at(0).at(i), info.at(i));

    // The ringtone whole or not at all; what was there untouched, apart from
    // the staging folder's own leftovers; nothing else but what another
    // program put there.
    const QString ours = "Media/Automatically Add/" + stored;
    const QMap<QString, QByteArray> after = tree(dir.path());
    if (!stored.isEmpty())
        QCOMPARE(after.value(ours), tone(size));
    for (auto it = after.cbegin(); it != after.cend(); ++it)
        if (it.key() != ours)
            QCOMPARE(it.value(), before.value(it.key(), "other"));
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QCOMPARE(after.contains(it.key()), !it.key().endsWith(".belfry-staging/a1B2c3.part"));
    QCOMPARE(QFileInfo::exists(media + "/.belfry-staging"), setup == Leftovers);
}

QTEST_GUILESS_MAIN(TestRingtoneFolder)
#include "test_ringtonefolder.moc"
