// Uploads made ringtones: real files made by ffmpeg at test time go in, and
// what comes out is read back with ffprobe. Hostile files must be refused
// with nothing left in the converter's temporary area. A stand-in for both
// programs shows the sandbox they run in.

#include "media/convert.h"
#include "tests/support/script.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <sys/resource.h>
#include <thread>

using belfry::Conversion;
using belfry::Converter;
using belfry::ConvertOptions;
using belfry::ConvertQueue;
using belfry::ConvertStatus;

namespace {

// Runs a tool; its standard output, or its standard error with `errors`.
QByteArray tool(const QString &program, const QStringList &args, bool errors = false)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(60000);
    return errors ? p.readAllStandardError() : p.readAllStandardOutput();
}

bool make(const QString &path, const QStringList &args)
{
    tool(QStringLiteral("ffmpeg"),
        QStringList {"-hide_banner", "-v", "error", "-y"} + args + QStringList {path});
    return QFileInfo(path).size() > 0;
}

QByteArray slurp(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The mean volume in dB, of the whole file or of its last 0.3 s.
double loudness(const QString &path, bool tail)
{
    QStringList args {"-hide_banner", "-nostats"};
    if (tail)
        args << "-sseof"
             << "-0.3";
    args << "-i" << path << "-af"
         << "volumedetect"
         << "-f"
         << "null"
         << "-";
    const QString log = QString::fromUtf8(tool(QStringLiteral("ffmpeg"), args, true));
    const auto m = QRegularExpression(QStringLiteral("mean_volume: (-?[0-9.]+) dB")).match(log);
    return m.hasMatch() ? m.captured(1).toDouble() : 0;
}

// The audio packets as they lie in the file: equal when nothing was re-encoded.
QByteArray packets(const QString &path)
{
    return tool(QStringLiteral("ffmpeg"),
        {"-hide_banner", "-v", "error", "-i", path, "-map", "0:a", "-c", "copy", "-f", "md5", "-"});
}

QByteArray be32(quint32 v)
{
    return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v);
}

// A stand-in for ffprobe and ffmpeg at `path`. Each run appends to `report`
// its process id, arguments, environment and limits. As ffprobe it then
// describes a 90 s MP3, or with `fork` leaves a grandchild behind and hangs;
// as ffmpeg it makes nothing.
bool standIn(const QString &path, const QString &report, bool fork)
{
    const QByteArray to = " >>'" + report.toUtf8() + "'\n";
    const QByteArray probe = fork
        ? "/bin/sleep 60 </dev/null >/dev/null 2>&1 &\necho \"grandchild $!\"" + to + "exec /bin/sleep 60\n"
        : R"(echo '{"format":{"format_name":"mp3","duration":"90"},)"
          R"("streams":[{"codec_type":"audio","codec_name":"mp3","channels":2}]}')"
          "\n";
    return writeScript(path,
        "#!/bin/sh\n{ echo \"pid $$ run $*\"\n"
        "echo \"environment: $(/usr/bin/tr '\\0' ' ' </proc/$$/environ)\"\n"
        "/bin/cat /proc/$$/limits; }"
            + to + "case \"$*\" in *-show_entries*) ;; *) exit 1 ;; esac\n" + probe);
}

bool alive(const QString &pid)
{
    const QByteArray stat = slurp("/proc/" + pid + "/stat");
    return !stat.isEmpty() && stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
}

// Ends the sleeps that the stand-in of `report` left, and nothing else
// should their ids have been taken since.
void killStandIns(const QString &report)
{
    const QString text = QString::fromUtf8(slurp(report));
    auto found = QRegularExpression(QStringLiteral("(?:pid|grandchild) (\\d+)")).globalMatch(text);
    while (found.hasNext()) {
        const QString pid = found.next().captured(1);
        if (alive(pid) && slurp("/proc/" + pid + "/cmdline").startsWith("/bin/sleep"))
            ::kill(pid_t(pid.toInt()), SIGKILL);
    }
}

// The port a service started as `p` listens on, once it says so; 0 if it does not.
int listening(QProcess &p)
{
    QByteArray log;
    const QRegularExpression line(QStringLiteral("listening on http://127.0.0.1:(\\d+)"));
    for (int i = 0; i < 100 && !line.match(QString::fromUtf8(log)).hasMatch(); ++i) {
        p.waitForReadyRead(100);
        log += p.readAllStandardError();
    }
    return line.match(QString::fromUtf8(log)).captured(1).toInt();
}

}  // namespace

class TestConvert : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void converts_data();
    void converts();
    void refuses_data();
    void refuses();
    void queue();
    void queueAdmits_data();
    void queueAdmits();
    void sandbox_data();
    void sandbox();
    void crash();

private:
    QString in(const char *name) const { return work.filePath(QLatin1String(name)); }
    ConvertOptions options() const
    {
        ConvertOptions o;
        o.tempRoot = scratch.path().toStdString();
        return o;
    }
    QStringList leftovers() const
    {
        return QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir work, scratch;
};

void TestConvert::initTestCase()
{
    QVERIFY(work.isValid() && scratch.isValid());
    // Core dumps allowed here, so that the children's own limit shows.
    rlimit core;
    QVERIFY(::getrlimit(RLIMIT_CORE, &core) == 0);
    core.rlim_cur = std::min<rlim_t>(core.rlim_max, 1 << 20);
    QVERIFY(::setrlimit(RLIMIT_CORE, &core) == 0);
    const QStringList sine5 {"-f", "lavfi", "-i", "sine=f=440:d=5"};
    QVERIFY(make(in("tone.wav"), sine5 + QStringList {"-c:a", "pcm_s16le"}));
    QVERIFY(make(in("cover.mp3"),
        sine5
            + QStringList {"-f", "lavfi", "-i", "color=red:s=64x64:d=1", "-map", "0:a", "-map", "1:v",
                "-frames:v", "1", "-c:a", "libmp3lame", "-c:v", "mjpeg", "-disposition:v", "attached_pic"}));
    QVERIFY(make(in("tone.ogg"), sine5 + QStringList {"-c:a", "libopus"}));
    QVERIFY(make(in("tone.flac"), sine5 + QStringList {"-c:a", "flac"}));
    QVERIFY(make(in("tone.aiff"), sine5));
    QVERIFY(make(in("tone.m4a"), {"-f", "lavfi", "-i", "sine=f=440:d=10", "-c:a", "aac"}));
    QVERIFY(make(in("long.mp3"), {"-f", "lavfi", "-i", "sine=f=440:d=90", "-c:a", "libmp3lame"}));
    QVERIFY(make(in("video.mp4"),
        {"-f", "lavfi", "-i", "testsrc=s=160x120:d=3", "-f", "lavfi", "-i", "sine=d=3", "-c:v", "libx264",
            "-preset", "ultrafast", "-c:a", "aac", "-shortest"}));
    QVERIFY(make(in("mjpeg.mov"), {"-f", "lavfi", "-i", "testsrc=s=160x120:d=3", "-c:v", "mjpeg"}));
    // The longest tune taken, and a second more: WAV's length is exact.
    for (int seconds : {belfry::MaxTuneSeconds, belfry::MaxTuneSeconds + 1})
        QVERIFY(make(in(qPrintable(QStringLiteral("%1s.wav").arg(seconds))),
            {"-f", "lavfi", "-i", QStringLiteral("sine=f=440:sample_rate=8000:d=%1").arg(seconds), "-c:a",
                "pcm_u8"}));
    // Two hours of near silence cost little to make and 7 MB to send.
    QVERIFY(make(in("2hours.mp3"),
        {"-f", "lavfi", "-i", "anullsrc=r=8000:cl=mono", "-t", "7200", "-c:a", "libmp3lame", "-b:a", "8k"}));
}

void TestConvert::converts_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("copied");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<bool>("fades");
    QTest::newRow("WAV") << in("tone.wav") << 0 << false << 5.0 << false;
    QTest::newRow("MP3 with a cover picture") << in("cover.mp3") << 0 << false << 5.0 << false;
    QTest::newRow("Ogg Opus") << in("tone.ogg") << 0 << false << 5.0 << false;
    QTest::newRow("FLAC") << in("tone.flac") << 0 << false << 5.0 << false;
    QTest::newRow("AAC of 10 s, copied") << in("tone.m4a") << 0 << true << 10.0 << false;
    QTest::newRow("AAC from 2 s, encoded") << in("tone.m4a") << 2 << false << 8.0 << false;
    QTest::newRow("90 s cut to 30 s") << in("long.mp3") << 0 << false << 30.0 << true;
    QTest::newRow("90 s from 70 s") << in("long.mp3") << 70 << false << 20.0 << false;
    QTest::newRow("the longest tune taken") << in(qPrintable(QStringLiteral("%1s.wav").arg(belfry::MaxTuneSeconds)))
                                            << 0 << false << double(belfry::RingtoneSeconds) << true;
}

void TestConvert::converts()
{
    QFETCH(QString, file);
    QFETCH(int, start);
    QFETCH(bool, copied);
    QFETCH(double, seconds);
    QFETCH(bool, fades);
    const Conversion c = Converter(options()).convert(slurp(file).toStdString(), start);
    QVERIFY2(c.status == ConvertStatus::Ok, c.reason.c_str());
    QCOMPARE(c.copied, copied);
    const QString out = work.filePath(QStringLiteral("out.m4r"));
    QFile f(out);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(c.ringtone.data(), qint64(c.ringtone.size()));
    f.close();

    const auto probe = nlohmann::json::parse(tool(QStringLiteral("ffprobe"),
        {"-v", "error", "-show_entries", "format=duration:stream=codec_type,codec_name,profile", "-of",
            "json", out})
                                                 .toStdString());
    QCOMPARE(probe["streams"].size(), size_t(1));
    QCOMPARE(QString::fromStdString(probe["streams"][0]["codec_name"]), QStringLiteral("aac"));
    QCOMPARE(QString::fromStdString(probe["streams"][0]["profile"]), QStringLiteral("LC"));
    const double duration = std::stod(probe["format"]["duration"].get<std::string>());
    QVERIFY2(duration <= 30.0 && std::abs(duration - seconds) < 0.15, std::to_string(duration).c_str());
    if (copied)
        QCOMPARE(packets(out), packets(file));
    const double drop = loudness(out, false) - loudness(out, true);
    QVERIFY2(fades ? drop > 10 : drop < 3, std::to_string(drop).c_str());
    QCOMPARE(leftovers(), QStringList());
}

void TestConvert::refuses_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("status");  // a ConvertStatus
    const int refused = int(ConvertStatus::Refused), tooLarge = int(ConvertStatus::TooLarge);
    QTest::addColumn<QString>("why");

    QByteArray noise("ID3\3\0\0\0\0\0\12"
                     "0123456789",
        20);
    QRandomGenerator random(13);
    for (int i = 0; i < 3 * 1024 * 1024 / 4; ++i) {
        const quint32 word = random.generate();
        noise.append(reinterpret_cast<const char *>(&word), 4);
    }
    // A sample count that no file of this size can hold.
    QByteArray crafted = slurp(in("tone.m4a"));
    crafted.replace(crafted.indexOf("stsz") + 12, 4, be32(0x3fffffff));
    QByteArray nested;
    for (int i = 0; i < 5000; ++i)
        nested = be32(quint32(8 + nested.size())) + "trak" + nested;
    nested = QByteArray::fromHex("0000001c667479704d344120000002004d34412069736f6d69736f32")
        + be32(quint32(8 + nested.size())) + "moov" + nested;

    const QByteArray wav = slurp(in("tone.wav"));
    QTest::newRow("50 MB") << QByteArray(50 * 1000 * 1000, '\xff') << 0 << tooLarge << "larger than";
    QTest::newRow("empty") << QByteArray() << 0 << refused << "empty";
    QTest::newRow("an ID3 header, then noise") << noise << 0 << refused << "not a tune";
    QTest::newRow("text named .mp3") << QByteArray("Never gonna give you up\n") << 0 << refused
                                     << "not a tune";
    QTest::newRow("MPEG-4 with a hostile sample table") << crafted << 0 << refused << "not a tune";
    QTest::newRow("MPEG-4 of nested boxes, no sound") << nested << 0 << refused << "no sound";
    QTest::newRow("H.264 video") << slurp(in("video.mp4")) << 0 << refused << "h264";
    QTest::newRow("motion-JPEG video") << slurp(in("mjpeg.mov")) << 0 << refused << "video";
    QTest::newRow("AIFF, not a format taken") << slurp(in("tone.aiff")) << 0 << refused << "not a tune";
    QTest::newRow("two hours") << slurp(in("2hours.mp3")) << 0 << refused << "120 min";
    QTest::newRow("a second past the longest")
        << slurp(in(qPrintable(QStringLiteral("%1s.wav").arg(belfry::MaxTuneSeconds + 1)))) << 0 << refused
        << "longer than";
    // The largest tune taken reaches the converter, which finds none in it.
    QTest::newRow("the largest") << QByteArray(int(belfry::MaxTuneBytes), '\xff') << 0 << refused << "not a tune";
    QTest::newRow("a byte past the largest") << QByteArray(int(belfry::MaxTuneBytes) + 1, '\xff') << 0 << tooLarge
                                             << "larger than";
    QTest::newRow("start past the end") << wav << 60 << refused << "past the end";
    QTest::newRow("start in the last second") << wav << 5 << refused << "past the end";
    QTest::newRow("negative start") << wav << -1 << refused << "negative";
}

void TestConvert::refuses()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, start);
    QFETCH(int, status);
    QFETCH(QString, why);
    const Conversion c = Converter(options()).convert(bytes.toStdString(), start);
    QCOMPARE(int(c.status), status);
    QVERIFY2(QString::fromStdString(c.reason).contains(why), c.reason.c_str());
    QVERIFY(c.ringtone.empty());
    QCOMPARE(leftovers(), QStringList());
}

// A real job goes through; a missing converter is the service's fault; a
// child that hangs is killed at its wall time; a full queue refuses at once;
// stopping ends the running job and answers the waiting one.
void TestConvert::queue()
{
    const QString hang = work.filePath(QStringLiteral("hang"));
    QVERIFY(writeScript(hang, "#!/bin/sh\nexec /bin/sleep 60\n"));

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Conversion> results;
    const auto collect = [&](Conversion c) {
        std::lock_guard<std::mutex> lock(mutex);
        results.push_back(std::move(c));
        changed.notify_all();
    };
    const auto await = [&](size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] {
            return results.size() >= n;
        });
    };
    const std::string wav = slurp(in("tone.wav")).toStdString();
    {
        const Converter real(options());
        ConvertQueue q(real, 1, 1);
        QVERIFY(q.submit(wav, 0, collect));
        QVERIFY(await(1));
        QVERIFY2(results[0].status == ConvertStatus::Ok, results[0].reason.c_str());
    }

    ConvertOptions o = options();
    o.ffprobe = work.filePath(QStringLiteral("missing")).toStdString();
    QVERIFY(Converter(o).convert(wav, 0).status == ConvertStatus::Failed);
    // A tool that cannot start says why; one that ends with 127 itself is no
    // tool that could not start.
    const QString noInterpreter = work.filePath(QStringLiteral("orphan"));
    QVERIFY(writeScript(noInterpreter, "#!/nonexistent/sh\n"));
    o.ffprobe = noInterpreter.toStdString();
    const Conversion unstarted = Converter(o).convert(wav, 0);
    QVERIFY2(unstarted.reason.find(": No such file or directory") != std::string::npos, unstarted.reason.c_str());
    const QString exits127 = work.filePath(QStringLiteral("exits127"));
    QVERIFY(writeScript(exits127, "#!/bin/sh\nexit 127\n"));
    o.ffprobe = exits127.toStdString();
    const Conversion ran = Converter(o).convert(wav, 0);
    QVERIFY2(ran.reason.find("cannot run") == std::string::npos, ran.reason.c_str());

    o.ffprobe = hang.toStdString();
    o.wallSeconds = 1;
    const Conversion late = Converter(o).convert(wav, 0);
    QVERIFY2(late.reason == "reading it took too long", late.reason.c_str());

    o.wallSeconds = 60;
    const Converter stuck(o);
    {
        ConvertQueue q(stuck, 1, 1);
        QVERIFY(q.submit(wav, 0, collect));
        QTRY_VERIFY(!leftovers().isEmpty());  // the worker took the first job
        QVERIFY(q.submit(wav, 0, collect));
        QVERIFY(!q.submit(wav, 0, collect));
    }
    QCOMPARE(results.size(), size_t(3));
    QVERIFY(results[1].status == ConvertStatus::Busy);
    QVERIFY(results[2].status == ConvertStatus::Busy);
    QCOMPARE(leftovers(), QStringList());
}

// Every worker takes a job and as many more wait as the queue holds, however
// soon the workers wake: uploads that arrive together are not turned away
// while a worker is still idle.
void TestConvert::queueAdmits_data()
{
    QTest::addColumn<int>("workers");
    QTest::addColumn<int>("waiting");
    QTest::newRow("the service's") << int(belfry::ConvertWorkers) << int(belfry::ConvertWaiting);
    QTest::newRow("more workers than room") << 8 << 1;
}

void TestConvert::queueAdmits()
{
    QFETCH(int, workers);
    QFETCH(int, waiting);
    const QString hang = work.filePath(QStringLiteral("hang-admits"));
    QVERIFY(writeScript(hang, "#!/bin/sh\nexec /bin/sleep 60\n"));
    ConvertOptions o = options();
    o.ffprobe = hang.toStdString();
    const Converter stuck(o);
    std::atomic<int> stopped {0};
    const auto count = [&](Conversion c) { stopped += c.status == ConvertStatus::Busy; };
    {
        ConvertQueue q(stuck, workers, waiting);
        for (int i = 0; i < workers + waiting; ++i)
            QVERIFY2(q.submit("x", 0, count), qPrintable(QStringLiteral("upload %1 turned away").arg(i + 1)));
        QVERIFY(!q.submit("x", 0, count));
    }
    QCOMPARE(stopped.load(), workers + waiting);
    QCOMPARE(leftovers(), QStringList());
}

// What the children get from the service: nothing of its environment,
// limits on CPU, memory and output, no core dumps, the file protocol only,
// at most 30 s of sound, and a wall-clock kill of everything they started.
void TestConvert::sandbox_data()
{
    QTest::addColumn<bool>("fork");
    QTest::addColumn<QString>("report");
    const ConvertOptions o;
    const auto limit = [](const char *what, size_t soft, size_t hard) {
        return QStringLiteral("Max %1 +%2 +%3 ").arg(QLatin1String(what)).arg(soft).arg(hard);
    };
    QTest::newRow("no environment") << false << "environment: \n";
    QTest::newRow("CPU time") << false << limit("cpu time", o.cpuSeconds, o.cpuSeconds + 1);
    QTest::newRow("address space") << false << limit("address space", o.memoryBytes, o.memoryBytes);
    QTest::newRow("output size") << false << limit("file size", o.outputBytes, o.outputBytes);
    QTest::newRow("open files") << false << limit("open files", size_t(o.openFiles), size_t(o.openFiles));
    QTest::newRow("no core dumps") << false << limit("core file size", 0, 0);
    QTest::newRow("file protocol only") << false << "-protocol_whitelist file -format_whitelist";
    QTest::newRow("30 s at most") << false << "-t 30 -i in .* -af afade=t=out:st=28.0+:d=2";
    QTest::newRow("wall-clock kill") << true << "grandchild";
}

void TestConvert::sandbox()
{
    QFETCH(bool, fork);
    QFETCH(QString, report);
    const QString script = work.filePath(QStringLiteral("stand-in")),
                  log = work.filePath(QStringLiteral("report"));
    QFile::remove(log);
    QVERIFY(standIn(script, log, fork));
    ConvertOptions o = options();
    o.ffprobe = o.ffmpeg = script.toStdString();
    o.wallSeconds = 1;
    const Conversion c = Converter(o).convert(slurp(in("tone.wav")).toStdString(), 0);
    const QString text = QString::fromUtf8(slurp(log));
    QVERIFY2(text.contains(QRegularExpression(report)), qPrintable(text));
    const QString grandchild
        = QRegularExpression(QStringLiteral("grandchild (\\d+)")).match(text).captured(1);
    if (fork)
        QTRY_VERIFY_WITH_TIMEOUT(!alive(grandchild), 2000);
    killStandIns(log);
    QVERIFY(c.status == ConvertStatus::Refused);
    QCOMPARE(leftovers(), QStringList());
}

// The service killed during a conversion: its next start removes what the
// conversion held, and nothing of another service's.
void TestConvert::crash()
{
    const QString script = work.filePath(QStringLiteral("hanging")),
                  log = work.filePath(QStringLiteral("crash"));
    QVERIFY(standIn(script, log, true));
    const QString other = QStringLiteral("belfry-convert-0123456789abcdef-other");
    QVERIFY(QDir(scratch.path()).mkdir(other));
    QProcess service;
    service.start(QStringLiteral(BELFRY_SERVICE),
        {"serve", "--listen", "127.0.0.1:0", "--data", work.filePath(QStringLiteral("data")),
            "--convert-temp", scratch.path(), "--ffprobe", script, "--ffmpeg", script});
    const int port = listening(service);
    QVERIFY(port > 0);
    const std::string pcid = "c0ffee00-0000-R000-8000-000000000001";
    httplib::Client client("127.0.0.1", port);
    client.Post("/p/v1/heart",
        nlohmann::json {{"pcid", pcid}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}}.dump(),
        "application/json");
    const auto paired = client.Post("/phone/v1/pair",
        nlohmann::json {{"pcid", pcid}, {"device_id", "dev"}, {"device_name", "Phone"}}.dump(),
        "application/json");
    QVERIFY(paired && paired->status == 200);
    const std::string token = nlohmann::json::parse(paired->body).value("device_token", "");
    std::thread upload([&] {
        httplib::Client("127.0.0.1", port)
            .Post(("/phone/v1/tune?name=Bell&device_id=dev&pcid=" + pcid).c_str(),
                {{"Authorization", "Bearer " + token}}, slurp(in("tone.wav")).toStdString(),
                "application/octet-stream");
    });
    QTRY_VERIFY(slurp(log).contains("grandchild"));
    ::kill(pid_t(service.processId()), SIGKILL);
    QVERIFY(service.waitForFinished());
    upload.join();
    killStandIns(log);
    QCOMPARE(leftovers().size(), 2);
    // Named as ours but another user's (only root can make one): not ours to remove.
    QStringList kept {other};
    if (::geteuid() == 0) {
        QString ours;
        for (const QString &folder : leftovers())
            ours = folder == other ? ours : folder;
        const QString foreign = ours + "-foreign";
        QVERIFY(QDir(scratch.path()).mkdir(foreign));
        QCOMPARE(::chown(qPrintable(scratch.path() + "/" + foreign), 65534, 65534), 0);
        kept << foreign;
        kept.sort();
    }

    service.start(service.program(), service.arguments());
    QVERIFY(listening(service) > 0);
    QCOMPARE(leftovers(), kept);
    service.terminate();
    QVERIFY(service.waitForFinished());
    for (const QString &folder : kept)
        QVERIFY(QDir(scratch.path()).rmdir(folder));
}

QTEST_GUILESS_MAIN(TestConvert)
#include "test_convert.moc"
