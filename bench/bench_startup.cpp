// Time and peak memory of start-up's "is iTunes initialised" decision (four
// autoAddFolder() calls and iTunesMusicDirExists()) on generated iTunes
// libraries of 0, 1,000, 10,000 and 100,000 tracks, next to one whole
// PListParser::read of the same file.
//
//   bench_startup [track counts...]      e.g. bench_startup 0 1000 50000
//
// Each measurement runs in a child process of its own (this program again,
// with a sandbox HOME) so peaks do not accumulate; the child reports VmHWM
// from /proc/self/status.

#include "itunes/itunes.h"
#include "itunes/plistparser.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace {

const int StartupRuns = 5;

long peakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

QByteArray n(qint64 v)
{
    return QByteArray::number(v);
}

// One "<key>…</key><type>value</type>" line of a dict, indented by depth
// tabs; the type "true" stands alone.
QByteArray entry(int depth, const char *key, const QByteArray &type, const QByteArray &value = QByteArray())
{
    const QByteArray data = type == "true" ? QByteArray("<true/>") : "<" + type + ">" + value + "</" + type + ">";
    return QByteArray(depth, '\t') + "<key>" + key + "</key>" + data + "\n";
}

QByteArray libraryHeader(const QByteArray &mediaUrl)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
        + entry(1, "Major Version", "integer", "1") + entry(1, "Minor Version", "integer", "1")
        + entry(1, "Date", "date", "2015-06-01T08:00:00Z") + entry(1, "Application Version", "string", "12.1.2.27")
        + entry(1, "Features", "integer", "5") + entry(1, "Show Content Ratings", "true")
        + entry(1, "Music Folder", "string", mediaUrl)
        + entry(1, "Library Persistent ID", "string", "5A1C0FFEE0D15EA5") + "\t<key>Tracks</key>\n\t<dict>\n";
}

// Track i with the few dozen keys iTunes keeps for each.
QByteArray libraryTrack(int i, const QByteArray &mediaUrl)
{
    const QByteArray id = n(1000 + i);
    const QByteArray artist = "Artist " + n(i % 997);
    const QByteArray album = "Album " + n(i % 4999);
    const QByteArray name = "Track " + n(i) + " of the generated library";
    const QByteArray file = artist + "/" + album + "/" + name + ".mp3";
    const struct
    {
        const char *key;
        const char *type;
        QByteArray value;
    } fields[] = {{"Track ID", "integer", id}, {"Name", "string", name}, {"Artist", "string", artist},
        {"Album Artist", "string", artist}, {"Composer", "string", "Composer " + n(i % 313)},
        {"Album", "string", album}, {"Genre", "string", "Pop"}, {"Kind", "string", "MPEG audio file"},
        {"Size", "integer", n(3000000 + i * 37 % 5000000)}, {"Total Time", "integer", n(150000 + i % 120000)},
        {"Disc Number", "integer", "1"}, {"Disc Count", "integer", "1"}, {"Track Number", "integer", n(i % 14 + 1)},
        {"Track Count", "integer", "14"}, {"Year", "integer", n(1960 + i % 55)},
        {"Date Modified", "date", "2014-02-11T19:22:41Z"}, {"Date Added", "date", "2014-02-11T19:23:05Z"},
        {"Bit Rate", "integer", "256"}, {"Sample Rate", "integer", "44100"}, {"Play Count", "integer", n(i % 40)},
        {"Play Date", "integer", "3502457311"}, {"Play Date UTC", "date", "2014-12-26T05:28:31Z"},
        {"Skip Count", "integer", n(i % 3)}, {"Skip Date", "date", "2014-11-02T10:01:13Z"},
        {"Rating", "integer", "80"}, {"Album Rating", "integer", "60"}, {"Album Rating Computed", "true", {}},
        {"Normalization", "integer", n(1000 + i % 3000)}, {"Artwork Count", "integer", "1"},
        {"Sort Name", "string", name}, {"Sort Artist", "string", artist},
        {"Persistent ID", "string", QByteArray::number(0x1F00000000000000LL + i, 16).toUpper()},
        {"Track Type", "string", "File"},
        {"Location", "string", mediaUrl + "Music/" + QUrl::toPercentEncoding(QString::fromLatin1(file), "/")},
        {"File Folder Count", "integer", "5"}, {"Library Folder Count", "integer", "1"}};
    QByteArray out = "\t\t<key>" + id + "</key>\n\t\t<dict>\n";
    for (const auto &field : fields)
        out += entry(3, field.key, field.type, field.value);
    return out + "\t\t</dict>\n";
}

// A library laid out as iTunes writes it: a few header keys with "Music Folder"
// among them, the track list with a few dozen keys per track, then playlists.
bool writeLibrary(const QString &path, const QString &media, int tracks)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray mediaUrl
        = QUrl::fromLocalFile(media + "/").toEncoded().replace("file://", "file://localhost");
    QByteArray out = libraryHeader(mediaUrl);
    auto add = [&](const QByteArray &part) {
        out += part;
        if (out.size() > (1 << 20)) {
            file.write(out);
            out.clear();
        }
    };
    for (int i = 0; i < tracks; ++i)
        add(libraryTrack(i, mediaUrl));
    add("\t</dict>\n\t<key>Playlists</key>\n\t<array>\n");
    const char *lists[] = {"Library", "Music", "Recently Added", "Top 25 Most Played"};
    for (int l = 0; l < 4; ++l) {
        add("\t\t<dict>\n" + entry(3, "Name", "string", lists[l]) + entry(3, "Playlist ID", "integer", n(90000 + l))
            + entry(3, "All Items", "true") + "\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n");
        const int count = l < 2 ? tracks : std::min(tracks, 25);
        for (int i = 0; i < count; ++i)
            add("\t\t\t\t<dict>\n" + entry(5, "Track ID", "integer", n(1000 + i)) + "\t\t\t\t</dict>\n");
        add("\t\t\t</array>\n\t\t</dict>\n");
    }
    add("\t</array>\n</dict>\n</plist>\n");
    file.write(out);
    return file.error() == QFile::NoError;
}

// Child side: one measurement, printed as "<ms> <peak kB> <ok>".
int child(const QString &what)
{
    QElapsedTimer timer;
    bool ok = false;
    timer.start();
    if (what == QLatin1String("startup")) {
        // Start-up asks twice, the settings store once or twice more.
        const QDir folder = autoAddFolder();
        ok = folder.path() != QLatin1String(".") && autoAddFolder().exists() && iTunesMusicDirExists();
        ok = ok && autoAddFolder().path() == folder.path() && autoAddFolder().path() == folder.path();
    } else if (what == QLatin1String("baseline")) {
        ok = true;
    } else {
        QFile file(QDir::homePath() + "/Music/iTunes/iTunes Music Library.xml");
        ok = file.open(QIODevice::ReadOnly)
            && PListParser::read(&file).toMap().contains(QStringLiteral("Music Folder"));
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    std::printf("%.3f %ld %d\n", ms, peakKb(), ok ? 1 : 0);
    return 0;
}

struct Sample
{
    double ms = -1;
    long kb = -1;
    bool ok = false;
};

Sample run(const QString &home, const QString &what)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + "/.config");
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + "/.local/share");
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), what});
    Sample s;
    if (!process.waitForFinished(-1))
        return s;
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() == 3) {
        s.ms = fields[0].toDouble();
        s.kb = fields[1].toLong();
        s.ok = fields[2] == "1";
    }
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--child"))
        return child(args[2]);

    QList<int> sizes;
    for (int i = 1; i < args.size(); ++i)
        sizes.append(args[i].toInt());
    if (sizes.isEmpty())
        sizes = {0, 1000, 10000, 100000};
    if (!sizes.contains(0))
        sizes.prepend(0);

    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const Sample baseline = run(dir.path(), QStringLiteral("baseline"));
    std::printf("Peak of the process doing nothing: %.1f MB\n\n", baseline.kb / 1024.0);
    std::printf("                  | start-up decision, 4 x autoAddFolder() (best of %d) | one whole read\n",
        StartupRuns);
    std::printf(
        "  tracks  file MB |      ms   peak MB   +ms vs empty   +MB vs empty    |        ms   peak MB\n");
    std::fflush(stdout);

    Sample empty;
    for (const int tracks : sizes) {
        const QString home = dir.path() + "/home-" + QString::number(tracks);
        const QString iTunes = home + "/Music/iTunes";
        const QString media = iTunes + "/iTunes Media";
        QDir().mkpath(media + "/Automatically Add to iTunes");
        const QString library = iTunes + "/iTunes Music Library.xml";
        if (!writeLibrary(library, media, tracks)) {
            std::printf("could not write %s\n", qPrintable(library));
            return 1;
        }

        Sample best;
        for (int r = 0; r < StartupRuns; ++r) {
            const Sample s = run(home, QStringLiteral("startup"));
            if (!s.ok) {
                std::printf("start-up decision failed at %d tracks\n", tracks);
                return 1;
            }
            if (best.ms < 0 || s.ms < best.ms)
                best.ms = s.ms;
            best.kb = std::max(best.kb, s.kb);
        }
        if (tracks == 0)
            empty = best;
        const Sample whole = run(home, QStringLiteral("read"));

        std::printf("%8d %8.1f | %7.2f %9.1f %14.2f %14.1f    | %9.0f %9.1f%s\n", tracks,
            QFileInfo(library).size() / 1e6, best.ms, best.kb / 1024.0, best.ms - empty.ms,
            (best.kb - empty.kb) / 1024.0, whole.ms, whole.kb / 1024.0, whole.ok ? "" : " (failed)");
        std::fflush(stdout);
        QDir(home).removeRecursively();
    }
    return 0;
}
