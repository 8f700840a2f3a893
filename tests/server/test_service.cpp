// belfry-service as a black box: started as a child process on 127.0.0.1 with
// a fresh data folder, spoken to over HTTP. With BELFRY_TEST_PG set to a libpq
// connection string it keeps its data in that PostgreSQL database instead;
// every case uses fresh client ids, so old rows there do not matter.

#include "tests/support/script.h"
#include "api/service.h"
#include "http/http.h"
#include "media/mp4.h"
#include "rules/codec.h"
#include "rules/fields.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <future>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <regex>
#include <fstream>
#include <thread>

using json = nlohmann::json;

namespace QTest {
template<> inline char *toString(const json &value)
{
    return qstrdup(value.dump().c_str());
}
}  // namespace QTest

namespace {

// A client id in the program's form: a UUID whose version digit is R.
std::string newPcid()
{
    QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    id[14] = QLatin1Char('R');
    return id.toStdString();
}

std::string be32(uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string box(const char *type, const std::string &body)
{
    return be32(uint32_t(8 + body.size())) + type + body;
}

// "mvhd" and "mdhd" up to the duration, then `rest` bytes of what follows it.
std::string timeHeader(uint32_t timescale, uint64_t duration, bool v1, size_t rest)
{
    return (v1 ? std::string("\1\0\0\0", 4) + std::string(16, '\0') + be32(timescale)
                       + be32(uint32_t(duration >> 32)) + be32(uint32_t(duration))
               : std::string(12, '\0') + be32(timescale) + be32(uint32_t(duration)))
        + std::string(rest, '\0');
}

// An MPEG-4 file reduced to what the service looks at: the media data, the
// movie header, and a track per handler, whose samples are one of `bytes`
// per chunk, the chunks `at` bytes into the media data.
struct Mp4
{
    const char *brand = "M4A ";
    uint32_t timescale = 1000;
    uint64_t duration = 5000;  // the movie's
    uint64_t trackDuration = 0, sampleTicks = 0;  // 0: the movie's
    bool v1 = false;
    std::vector<std::string> handlers {"soun"};
    size_t bytes = 64;
    std::vector<int64_t> at {0};

    std::string file() const
    {
        const std::string ftyp = box("ftyp", std::string(brand) + be32(0) + brand);
        const auto n = uint32_t(at.size());
        std::string chunks = be32(0) + be32(n), sizes = be32(0) + be32(0) + be32(n);
        for (int64_t offset : at) {
            chunks += be32(uint32_t(int64_t(ftyp.size() + 8) + offset));
            sizes += be32(uint32_t(bytes));
        }
        // The first sample lasts the whole time, any others nothing.
        const std::string times = be32(0) + be32(n > 1 ? 2 : 1) + be32(1)
            + be32(uint32_t(sampleTicks ? sampleTicks : duration)) + (n > 1 ? be32(n - 1) + be32(0) : "");
        const std::string stbl = box("stbl",
            box("stts", times) + box("stsc", be32(0) + be32(1) + be32(1) + be32(1) + be32(1))
                + box("stsz", sizes) + box("stco", chunks));
        std::string tracks;
        for (const std::string &handler : handlers)
            tracks += box("trak",
                box("mdia",
                    box("mdhd", timeHeader(timescale, trackDuration ? trackDuration : duration, v1, 4))
                        + box("hdlr", be32(0) + be32(0) + handler + std::string(13, '\0'))
                        + box("minf", stbl)));
        return ftyp + box("mdat", std::string(bytes, 's'))
            + box("moov", box("mvhd", timeHeader(timescale, duration, v1, 80)) + tracks);
    }
};

std::string mp4(const char *brand, uint32_t timescale, uint64_t duration, bool v1 = false, size_t padding = 0)
{
    Mp4 m;
    m.brand = brand;
    m.timescale = timescale;
    m.duration = duration;
    m.v1 = v1;
    m.bytes += padding;
    return m.file();
}

// A real file made by Debian's ffmpeg from `args` (inputs and codecs).
std::string ffmpeg(const QStringList &args)
{
    QTemporaryDir dir;
    const QString out = dir.filePath("out.mp4");
    QProcess p;
    p.start("ffmpeg", QStringList {"-nostdin", "-v", "error", "-fflags", "+bitexact"} + args << out);
    p.waitForFinished(60000);
    QFile f(out);
    return p.exitCode() == 0 && f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

// `file` with its (version 0) movie header saying it lasts `seconds`.
std::string movieSaysSeconds(std::string file, uint32_t seconds)
{
    const size_t at = file.find("mvhd") + 4 + 12;
    if (at < 16 || at + 8 > file.size())
        return {};
    const auto timescale
        = uint32_t(QByteArray::fromStdString(file.substr(at, 4)).toHex().toUInt(nullptr, 16));
    return file.replace(at + 4, 4, be32(timescale * seconds));
}

// What ffmpeg makes of `args` in the format `format`, as it would come from a phone.
std::string tuneFile(const char *format, const QStringList &args)
{
    return ffmpeg(args + QStringList {"-f", format});
}

// The audio packets of a ringtone as they lie in it: a copy into a new
// container keeps them, any re-encoding changes them.
bool sameAudio(const std::string &a, const std::string &b)
{
    const auto packets = [](const std::string &file) {
        QTemporaryFile f;
        if (!f.open() || f.write(file.data(), qint64(file.size())) != qint64(file.size()) || !f.flush())
            return QByteArray();
        QProcess p;
        p.start("ffmpeg", {"-v", "error", "-i", f.fileName(), "-map", "0:a", "-c", "copy", "-f", "md5", "-"});
        p.waitForFinished(30000);
        return p.exitCode() == 0 ? p.readAllStandardOutput() : QByteArray();
    };
    const QByteArray first = packets(a);
    return !first.isEmpty() && first == packets(b);
}

std::string sample(const char *name)
{
    QFile f(QStringLiteral(BELFRY_SAMPLES "/%1.m4r").arg(QLatin1String(name)));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

// The first value `statement` yields on the SQLite database `file`, or the error.
std::string sqlite(const QString &file, const std::string &statement)
{
    sqlite3 *db = nullptr;
    std::string value;
    char *error = nullptr;
    sqlite3_open(qPrintable(file), &db);
    sqlite3_exec(
        db, statement.c_str(),
        [](void *out, int, char **row, char **) {
            auto &text = *static_cast<std::string *>(out);
            text = text.empty() && row[0] ? row[0] : text;
            return 0;
        },
        &value, &error);
    if (error)
        value = std::string("error: ") + error;
    sqlite3_free(error);
    sqlite3_close(db);
    return value;
}

// The files of `from` into `to`, which is made.
bool copyFolder(const QString &from, const QString &to)
{
    bool copied = QDir().mkpath(to);
    for (const QString &name : QDir(from).entryList(QDir::Files))
        copied = QFile::copy(from + "/" + name, to + "/" + name) && copied;
    return copied;
}

// A check's answer: nothing for an acceptable input, else a refusal that
// says `refusal`.
void checkRefusal(const std::string &answer, const QString &refusal)
{
    const QString error = QString::fromStdString(answer);
    if (refusal.isEmpty())
        QVERIFY2(error.isEmpty(), qPrintable(error));
    else
        QVERIFY2(error.contains(refusal), qPrintable(error));
}

struct Reply
{
    int status = 0;
    json body;
    std::string raw;
    httplib::Headers headers;
};

// A connection made by hand, for what a well-behaved client would not do;
// `from` is any loopback address.
class Raw
{
public:
    Raw(int port, const char *from = "127.0.0.1")
        : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in addr {};
        addr.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &addr.sin_addr);
        const timeval wait {10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        connected = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        addr.sin_port = htons(uint16_t(port));
        ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        connected = connected && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~Raw() { close(); }
    bool send(const std::string &bytes)
    {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // Up to `most` bytes, or everything until the service closes.
    std::string receive(size_t most = SIZE_MAX)
    {
        std::string got;
        char buffer[65536];
        ssize_t n = 0;
        while (got.size() < most && (n = ::read(fd, buffer, std::min(sizeof buffer, most - got.size()))) > 0)
            got.append(buffer, size_t(n));
        ended = n == 0;
        return got;
    }
    // Closing with unread data makes the kernel reset the connection.
    void close(bool withUnread = false)
    {
        int unread = 0;
        for (int i = 0; withUnread && i < 200 && unread == 0; ++i, QTest::qWait(5))
            ::ioctl(fd, FIONREAD, &unread);
        ::close(fd);
        fd = -1;
    }

    int fd;
    bool connected = false;
    // By the service, as the last receive() saw it.
    bool ended = false;
};

// The peak of a process's resident memory.
// What one framing row may add to the service's peak: a read held to its
// bounds, where an unbounded one grows by the 32 MB it is sent. Under
// AddressSanitizer every allocation carries shadow and quarantine besides.
#ifdef __SANITIZE_ADDRESS__
constexpr size_t FramingGrowthKb = 24 * 1024;
#else
constexpr size_t FramingGrowthKb = 8 * 1024;
#endif

// What 300 readers of a 600 KB file that read nothing may add: a piece of it
// each, where a copy each came to 180 MB.
constexpr unsigned long long FileReadersGrowthKb = 30 * 1024;

size_t peakKb(qint64 pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

// The status of the answer that opens `raw`.
int statusOf(const std::string &raw)
{
    return raw.compare(0, 9, "HTTP/1.1 ") == 0 ? std::atoi(raw.c_str() + 9) : 0;
}

// One running service.
class Service
{
public:
    explicit Service(const QString &data)
        : data(data)
    { }
    ~Service() { stop(); }

    bool start(const QStringList &options = {})
    {
        launch(options);
        return listening(10000);
    }
    // Starts the service without waiting for it to listen.
    void launch(const QStringList &options)
    {
        QStringList args = QStringList {"serve", "--listen", "127.0.0.1:0", "--data", data} + options;
        if (!pg.isEmpty())
            args << "--pg" << pg;
        log.clear();
        if (wrapper.isEmpty())
            process.start(QStringLiteral(BELFRY_SERVICE), args);
        else
            process.start(wrapper.front(), wrapper.mid(1) + QStringList {QStringLiteral(BELFRY_SERVICE)} + args);
    }
    bool listening(int ms)
    {
        const QRegularExpression listening(QStringLiteral("listening on http://127.0.0.1:(\\d+)"));
        if (!waitForLog(QStringLiteral("listening on"), ms))
            return false;
        port = listening.match(log).captured(1).toInt();
        return port > 0;
    }
    // Ends the service as an operator would; its exit status, or -1 when it
    // did not end within `ms`.
    int stop(int ms = 10000)
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitCode();
        process.terminate();
        const bool ended = process.waitForFinished(ms);
        log += QString::fromUtf8(process.readAllStandardError());
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    bool waitForLog(const QString &needle, int ms = 5000)
    {
        return waitForLog(QRegularExpression(QRegularExpression::escape(needle)), ms);
    }
    bool waitForLog(const QRegularExpression &pattern, int ms = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!log.contains(pattern) && timer.elapsed() < ms) {
            const bool running = process.state() != QProcess::NotRunning;
            process.waitForReadyRead(50);
            log += QString::fromUtf8(process.readAllStandardError());
            if (!running)
                break;
        }
        return log.contains(pattern);
    }

    // `from` picks the client's own loopback address.
    Reply request(const char *method, const std::string &path, const std::string &body = {},
        const std::string &token = {}, httplib::Headers headers = {}, const char *from = nullptr)
    {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(15);
        if (from)
            client.set_socket_options([from](int fd) {
                sockaddr_in addr {};
                addr.sin_family = AF_INET;
                inet_pton(AF_INET, from, &addr.sin_addr);
                ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            });
        if (!token.empty())
            headers.emplace("Authorization", "Bearer " + token);
        auto r = std::string(method) == "GET" ? client.Get(path.c_str(), headers)
                                              : client.Post(path.c_str(), headers, body, "application/json");
        Reply reply;
        if (r) {
            reply.status = r->status;
            reply.headers = r->headers;
            reply.raw = r->body;
            reply.body = json::parse(r->body, nullptr, false);
        }
        return reply;
    }
    Reply post(const std::string &path, const json &body, const std::string &token = {})
    {
        return request("POST", path, body.dump(), token);
    }
    json beat(const std::string &pcid, int expire = 5, const std::string &version = "1.0.1")
    {
        return post(
            "/p/v1/heart", {{"pcid", pcid}, {"version", version}, {"platform", "window"}, {"expire", expire}})
            .body;
    }
    // As a program that confirms what it stored.
    Reply confirm(const std::string &pcid, const json &got)
    {
        return post("/p/v1/heart",
            {{"pcid", pcid}, {"version", "1.0.2"}, {"platform", "window"}, {"expire", 5}, {"got", got}});
    }
    // One series of the metrics as the admin scrapes them ("belfry_beats_total",
    // or with its labels); -1 when it is not there.
    double metric(const std::string &series)
    {
        const Reply r = request("GET", "/metrics", {}, adminToken());
        const size_t at = ("\n" + r.raw).find("\n" + series + " ");
        return r.status != 200 || at == std::string::npos ? -1 : std::stod(r.raw.substr(at + series.size() + 1));
    }
    std::string adminToken() const
    {
        QFile f(data + "/admin-token");
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toStdString() : std::string();
    }

    QString data;
    QString log;
    int port = 0;
    QProcess process;
    // A program the service runs under, with its arguments.
    QStringList wrapper;
    // The PostgreSQL database it keeps its data in; empty: SQLite in `data`.
    QString pg = qEnvironmentVariable("BELFRY_TEST_PG");
};

// A PostgreSQL cluster of a test's own, in `dir`, which it may stop and start
// again (scripts/pg-cluster.sh); its connection string, or empty.
QString pgCluster(const char *command, const QString &dir)
{
    QProcess p;
    p.start("bash", {QStringLiteral(BELFRY_SAMPLES "/../../scripts/pg-cluster.sh"), command, dir});
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return ok ? QString::fromUtf8(p.readAllStandardOutput()).trimmed() + " " : QString();
}

// A file the service may not read, as a root-owned file is to the unit's
// dynamic user. Root reads every file, so a root test takes the capability
// away from the service instead (`wrapper`).
bool makeUnreadable(const QString &path, QStringList &wrapper)
{
    if (::geteuid() != 0)
        return ::chmod(qPrintable(path), 0) == 0;
    wrapper = QStringList {"setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", "--"};
    return ::chown(qPrintable(path), 65534, 65534) == 0 && ::chmod(qPrintable(path), 0600) == 0;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A phone paired with one PC.
struct Phone
{
    std::string pcid, device, token;

    json credentials() const { return {{"pcid", pcid}, {"device_id", device}, {"device_token", token}}; }
};

// Connections that send one byte of their headers a second until told to stop.
class SlowClients
{
public:
    SlowClients(int port, int count, const char *from = "127.0.0.1")
    {
        for (int i = 0; i < count; ++i)
            clients.push_back(std::make_unique<Raw>(port, from));
        drip = std::thread([this] {
            const std::string request = "POST /p/v1/heart HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
            for (size_t at = 0; !done; ++at) {
                for (auto &c : clients)
                    c->send(at < request.size() ? request.substr(at, 1) : "a");
                for (int i = 0; i < 10 && !done; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~SlowClients()
    {
        done = true;
        drip.join();
    }

private:
    std::vector<std::unique_ptr<Raw>> clients;
    std::atomic<bool> done {false};
    std::thread drip;
};

}  // namespace

class TestService : public QObject
{
    Q_OBJECT

    // Beats in a row that the request log counts.
    static constexpr int Beats = 300;

    QTemporaryDir dir;
    std::unique_ptr<Service> service;
    // Tunes as a phone holds them, made at the start: 30 s of stereo noise
    // (WAV) and 90 s of a tone (MP3).
    std::string noise30, tone90;

    // Conversions keep their files here while they run.
    QString scratch() const { return dir.path() + "/convert"; }
    // Every case pairs and uploads from 127.0.0.1.
    QStringList options() const
    {
        return {"--pair-limit", "1000", "--upload-limit", "1000", "--new-pc-limit", "100000",
            "--convert-temp", scratch()};
    }

    // The PC has beaten before, as only then may a phone pair with it.
    Phone pair(const std::string &pcid, const std::string &device, const std::string &name = "Phone",
        Service *on = nullptr)
    {
        on = on ? on : service.get();
        on->beat(pcid, 1);
        const Reply r
            = on->post("/phone/v1/pair", {{"pcid", pcid}, {"device_id", device}, {"device_name", name}});
        return {pcid, device, r.status == 200 ? r.body.value("device_token", "") : ""};
    }
    Reply send(
        const Phone &phone, const std::string &bytes, const std::string &name = "Bell", Service *on = nullptr)
    {
        json body = phone.credentials();
        body["name"] = name;
        body["data"] = belfry::encodeBase64(bytes);
        return (on ? on : service.get())->post("/phone/v1/ringtone", body);
    }
    // As the page sends a tune; `query` adds to (or overrides) the address's.
    Reply tune(const Phone &phone, const std::string &bytes, const std::string &query = "&name=Bell",
        Service *on = nullptr, const char *from = nullptr)
    {
        return (on ? on : service.get())
            ->request("POST", "/phone/v1/tune?pcid=" + phone.pcid + "&device_id=" + phone.device + query,
                bytes, phone.token, {}, from);
    }
    // The status of the answer to the head of a request that declares a body
    // of `size` bytes, none of which is ever sent.
    Reply headOnly(const std::string &path, size_t size, const std::string &token = {}, Service *on = nullptr)
    {
        Raw client((on ? on : service.get())->port);
        client.send("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(size)
            + "\r\n" + (token.empty() ? "" : "Authorization: Bearer " + token + "\r\n") + "\r\n");
        Reply reply;
        reply.raw = client.receive();
        reply.status = statusOf(reply.raw);
        reply.body = json::parse(
            reply.raw.substr(std::min(reply.raw.size(), reply.raw.find("\r\n\r\n") + 4)), nullptr, false);
        return reply;
    }
    // As the program does it: a beat lists the ringtone, then its information is asked for.
    std::string downloadUrlPath(const std::string &pcid, int64_t id, bool receipts = false)
    {
        if (receipts)
            service->confirm(pcid, json::array());
        else
            service->beat(pcid);
        const Reply info = service->request("GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(id));
        if (info.status != 200)
            return {};
        const std::string url = info.body["data"].value("download_url", "");
        const std::string base = "http://127.0.0.1:" + std::to_string(service->port);
        return url.rfind(base, 0) == 0 ? url.substr(base.size()) : std::string();
    }
    json stats()
    {
        return service->request("GET", "/admin/v1/stats", {}, service->adminToken()).body["stats"];
    }
    static bool lists(const json &answer, int64_t id)
    {
        for (const json &v : answer["sync"])
            if (v == std::to_string(id))
                return true;
        return false;
    }
    // The service marks a delivery once it has seen the client close, a
    // moment after the client has read the file.
    bool delivered(const std::string &pcid, int64_t id)
    {
        for (int i = 0; i < 100; ++i, QTest::qWait(20))
            if (!lists(service->beat(pcid), id))
                return true;
        return false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid() && QDir().mkpath(scratch()));
        noise30 = tuneFile(
            "wav", {"-f", "lavfi", "-i", "anoisesrc=d=30:c=pink", "-ac", "2", "-c:a", "pcm_s16le"});
        tone90 = tuneFile("mp3", {"-f", "lavfi", "-i", "sine=f=440:d=90", "-c:a", "libmp3lame"});
        QVERIFY(!noise30.empty() && !tone90.empty());
        service = std::make_unique<Service>(dir.path() + "/data");
        QVERIFY2(service->start(options()), qPrintable(service->log));
        // PostgreSQL keeps the budgets per address between runs: each run starts with none spent.
        if (!qEnvironmentVariableIsEmpty("BELFRY_TEST_PG"))
            QCOMPARE(QProcess::execute("psql",
                         {qEnvironmentVariable("BELFRY_TEST_PG"), "-q", "-c", "TRUNCATE address_budgets"}),
                0);
    }

    void mp4Check_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("refusal");
        const auto row = [](const char *name, const std::string &file, const char *refusal) {
            QTest::newRow(name) << QByteArray::fromStdString(file) << QString::fromLatin1(refusal);
        };
        row("chime sample", sample("chime"), "");
        row("bell sample", sample("bell"), "");
        row("knock sample", sample("knock"), "");
        row("40 s exactly", mp4("M4A ", 1000, 40000), "");
        row("one tick over 40 s", mp4("M4A ", 1000, 40001), "longer than 40 seconds");
        row("64-bit header", mp4("isom", 44100, 44100 * 12, true), "");
        row("64-bit header, 41 s", mp4("isom", 44100, 44100ull * 41, true), "longer than 40 seconds");
        row("video brand only", mp4("qt  ", 1000, 5000), "no MPEG-4 audio brand");
        row("no ftyp first", box("moov", "") + mp4("M4A ", 1000, 5000), "no ftyp box first");
        row("no movie header", box("ftyp", "M4A " + be32(0) + "M4A "), "no movie header");
        row("zero timescale", mp4("M4A ", 0, 5000), "duration is unknown");
        row("zero duration", mp4("M4A ", 1000, 0), "duration is unknown");
        row("header cut short", mp4("M4A ", 1000, 5000).substr(0, 60), "cut short");
        row("over 5 MB", mp4("M4A ", 1000, 5000, false, 5 * 1024 * 1024), "larger than 5 MiB");
        row("empty", "", "empty");

        const auto crafted = [&](const char *name, const char *refusal, void (*change)(Mp4 &)) {
            Mp4 m;
            change(m);
            row(name, m.file(), refusal);
        };
        crafted("140-byte header, no sound", "no sound track", [](Mp4 &m) {
            m.handlers = {}, m.bytes = 0;
        });
        crafted("two sound tracks", "more than one sound", [](Mp4 &m) {
            m.handlers = {"soun", "soun"};
        });
        crafted("chapters beside the sound", "", [](Mp4 &m) {
            m.handlers = {"soun", "text"};
        });
        crafted("media header says 120 s", "longer than 40", [](Mp4 &m) {
            m.trackDuration = 120000;
        });
        crafted("samples last 120 s", "longer than 40", [](Mp4 &m) {
            m.sampleTicks = 120000;
        });
        crafted("sample data past the end", "past the end", [](Mp4 &m) {
            m.at = {1 << 20};
        });
        crafted("sample data in the ftyp box", "outside its media data", [](Mp4 &m) {
            m.at = {-28};
        });
        crafted("sample data read twice", "overlaps", [](Mp4 &m) {
            m.at = {0, 0};
        });
        const std::string program = "\177ELF" + std::string(4 << 20, '\x90');
        row("a program after the file", sample("knock") + program, "data after its last box");
        row("a program in a box after the file", sample("knock") + box("free", program), "not sound");
        const std::string small = mp4("M4A ", 1000, 5000);
        row("a second movie box", small + box("moov", ""), "two movie boxes");
        std::string many = small;  // three boxes
        for (int i = 0; i < 62; ++i)
            many += box("free", "");
        row("65 boxes", many, "too many boxes");
        const size_t room = belfry::MaxRingtoneOtherBytes - (small.size() - 64) - 8;
        row("1 MB beside the sound", small + box("free", std::string(room, '\0')), "");
        row("1 MB and a byte beside the sound", small + box("free", std::string(room + 1, '\0')),
            "not sound");

        const QStringList sine {"-f", "lavfi", "-i", "sine=duration=120"}, aac {"-c:a", "aac", "-b:a", "16k"};
        row("120 s, its movie header patched to 30 s",
            movieSaysSeconds(ffmpeg(sine + aac + QStringList {"-ac", "1", "-ar", "8000", "-f", "ipod"}), 30),
            "longer than 40");
        row("H.264 video with sound",
            ffmpeg(QStringList {"-f", "lavfi", "-i", "testsrc=size=64x64:rate=5:duration=2", "-f", "lavfi",
                       "-i", "sine=duration=2", "-c:v", "libx264", "-f", "mp4"}
                + aac),
            "video track");
    }
    void mp4Check()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, refusal);
        checkRefusal(belfry::checkRingtoneFile(file.toStdString()), refusal);
    }

    void pairingReportedOnce()
    {
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-1", "Anna’s phone");
        QCOMPARE(phone.token.size(), size_t(64));
        // The farewell beat of a quitting program must not take the news.
        QCOMPARE(service->beat(pcid, 1)["pair"], json::array());
        const json first = service->beat(pcid);
        QCOMPARE(first["status"], 0);
        QCOMPARE(first["pair"], (json::array({{{"id", "dev-1"}, {"name", "Anna’s phone"}}})));
        QCOMPARE(service->beat(pcid)["pair"], json::array());
        pair(pcid, "dev-1", "Anna’s phone");
        QCOMPARE(service->beat(pcid)["pair"].size(), size_t(1));
        QCOMPARE(service->beat(newPcid())["pair"], json::array());

        // Beats that arrive at once are stored together: each PC still gets
        // its own news, once, also when it beats twice in one go.
        std::vector<std::string> pcids;
        for (int i = 0; i < 24; ++i) {
            pcids.push_back(newPcid());
            pair(pcids.back(), "dev-" + std::to_string(i), "Phone " + std::to_string(i));
        }
        std::vector<json> answers(pcids.size() * 2);
        std::vector<std::thread> beats;
        for (size_t i = 0; i < answers.size(); ++i)
            beats.emplace_back([&, i] {
                answers[i] = service->beat(pcids[i % pcids.size()]);
            });
        for (std::thread &t : beats)
            t.join();
        for (size_t i = 0; i < pcids.size(); ++i) {
            json got = json::array();
            for (const json &answer : {answers[i], answers[i + pcids.size()]}) {
                QCOMPARE(answer.value("status", -1), 0);
                for (const json &pairing : answer["pair"])
                    got.push_back(pairing);
            }
            const std::string n = std::to_string(i);
            QCOMPARE(got, (json::array({{{"id", "dev-" + n}, {"name", "Phone " + n}}})));
        }
    }

    void queue()
    {
        const std::string pcid = newPcid(), other = newPcid();
        const Phone phone = pair(pcid, "dev-q");
        const Reply a = send(phone, sample("chime"), "Chime"), b = send(phone, sample("bell"), "Bell");
        QCOMPARE(a.status, 201);
        QCOMPARE(b.status, 201);
        const int64_t idA = a.body["id"], idB = b.body["id"];
        const json listed = service->beat(pcid)["sync"];
        QCOMPARE(listed, json::array({std::to_string(idA), std::to_string(idB)}));
        QCOMPARE(service->beat(other)["sync"], json::array());

        const Reply info = service->request("GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(idA));
        QCOMPARE(info.body["status"], 0);
        QCOMPARE(info.body["data"]["name"], "Chime");
        const std::string path = downloadUrlPath(pcid, idA);
        QVERIFY2(path.rfind("/f/", 0) == 0, info.raw.c_str());
        const Reply file = service->request("GET", path);
        QCOMPARE(file.status, 200);
        QVERIFY(sameAudio(file.raw, sample("chime")));

        // Delivered: no longer listed, and neither its information nor its file is handed out again.
        QVERIFY(delivered(pcid, idA));
        QCOMPARE(service->beat(pcid)["sync"], json::array({std::to_string(idB)}));
        QCOMPARE(service->request("GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(idA)).status, 404);
        QCOMPARE(service->request("GET", path).status, 404);
    }

    // A file counts as delivered only once the client has read all of it and
    // closed; a reader that takes the first bytes and resets leaves it waiting,
    // and so does a HEAD. For a PC that confirms, only its confirmation counts.
    void deliveries_data()
    {
        QTest::addColumn<bool>("large");
        QTest::addColumn<QString>("how");
        // The samples are the smallest ringtones; 30 s of stereo noise makes the
        // largest the service encodes.
        for (const auto &[name, large] : {std::pair {"34 KB", false}, {"600 KB", true}}) {
            for (const char *how : {"reset after 1,000 bytes", "whole, then closed"})
                QTest::newRow(qPrintable(QString("%1, %2").arg(name, how))) << large << QString(how);
        }
        QTest::newRow("first 100 bytes by Range") << true << "range";
        QTest::newRow("HEAD") << false << "head";
        QTest::newRow("whole, then closed, by a PC that confirms") << true << "whole, confirms";
        QTest::newRow("beaten while it is sent, then reset") << true << "reset while sent";
    }
    void deliveries()
    {
        QFETCH(bool, large);
        QFETCH(QString, how);
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-d");
        const int64_t id = (large ? tune(phone, noise30) : send(phone, sample("bell"))).body["id"];
        const bool receipts = how.endsWith("confirms");
        const std::string path = downloadUrlPath(pcid, id, receipts);
        QVERIFY(!path.empty());
        // A range, even of every byte, is no delivery.
        const std::string file = service->request("GET", path, {}, {}, {{"Range", "bytes=0-"}}).raw;
        QVERIFY(file.size() > (large ? 500000 : 30000));
        Raw client(service->port);
        // A reader that resets must not have taken the whole file into its
        // kernel first; one that reads it all needs no small window, which
        // on loopback makes 600 KB take seconds.
        const int small = 4096;
        if (how.startsWith("reset"))
            ::setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        const std::string range = how == "range" ? "Range: bytes=0-99\r\nConnection: close\r\n" : "";
        QVERIFY(client.send((how == "head" ? "HEAD " : "GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            + range + (receipts || how == "head" ? "Connection: close\r\n" : "") + "\r\n"));
        if (how.startsWith("reset")) {
            QCOMPARE(client.receive(1000).size(), size_t(1000));
            // Until its end is known, no beat lists it: the PC could fetch it twice.
            if (how == "reset while sent")
                QVERIFY(!lists(service->beat(pcid), id));
            client.close(true);
            QVERIFY(service->waitForLog(QString::fromStdString("method=GET path=" + path + " status=200")));
            QVERIFY(lists(service->beat(pcid), id));
            QVERIFY2(
                service->log.contains(QRegularExpression(QString::fromStdString(path) + " status=200 .*note=\"broken")),
                qPrintable(service->log.right(300)));
        } else {
            const std::string answer = client.receive();
            QCOMPARE(statusOf(answer), how == "range" ? 206 : 200);
            const std::string expected = how == "range" ? file.substr(0, 100) : how == "head" ? "" : file;
            QVERIFY(answer.substr(answer.find("\r\n\r\n") + 4) == expected);
            client.close();
        }
        if (how == "whole, then closed")
            QVERIFY(delivered(pcid, id));
        if (how == "range" || how == "head" || receipts) {
            QVERIFY(service->waitForLog(QString::fromStdString(path + " status=" + (how == "range" ? "206" : "200"))));
            QTest::qWait(100);
            QVERIFY(lists(receipts ? service->confirm(pcid, json::array()).body : service->beat(pcid), id));
        }
        if (receipts) {
            QVERIFY(!lists(service->confirm(pcid, {std::to_string(id)}).body, id));
            QCOMPARE(service->request("GET", path).status, 404);
        }
    }

    // A PC that confirms changes only its own ringtones, however often and
    // whatever it names; a malformed confirmation is refused whole.
    void confirmations()
    {
        const std::string pcid = newPcid(), other = newPcid();
        const Phone phone = pair(pcid, "dev-c"), theirs = pair(other, "dev-o");
        const int64_t id = send(phone, sample("bell")).body["id"], foreign = send(theirs, sample("knock")).body["id"];
        const std::string mine = std::to_string(id);
        for (const json &got : {json {std::to_string(foreign)}, json {"999"}, json::array(),
                 json(std::vector<std::string>(belfry::MaxConfirmedIds, "999"))}) {
            const Reply r = service->confirm(pcid, got);
            QCOMPARE(r.status, 200);
            QCOMPARE(r.body["sync"], json::array({mine}));
        }
        QVERIFY(lists(service->confirm(other, json::array()).body, foreign));
        for (const json &bad : {json {"abc"}, json {id}, json("1"), json {"0"},
                 json(std::vector<std::string>(belfry::MaxConfirmedIds + 1, mine))}) {
            const Reply r = service->confirm(pcid, bad);
            QCOMPARE(r.status, 400);
            QVERIFY2(r.body["error"].get<std::string>().find("got") != std::string::npos, r.raw.c_str());
        }
        QCOMPARE(service->post("/phone/v1/sent", phone.credentials()).body["ringtones"][0]["state"], "waiting");
        for (int twice = 0; twice < 2; ++twice)
            QCOMPARE(service->confirm(pcid, {mine}).body["sync"], json::array());
        QCOMPARE(service->post("/phone/v1/sent", phone.credentials()).body["ringtones"][0]["state"], "fetched");
        QVERIFY(lists(service->confirm(other, json::array()).body, foreign));
    }

    // A file answer streams its file and never holds it whole: HEAD and
    // Range read no more than they send, and none of them delivers.
    void fileRanges_data()
    {
        QTest::addColumn<QString>("range");
        QTest::addColumn<QString>("ifRange");  // "etag": the file's own
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("part");  // "from-to" of the file; "whole"; "" for none
        QTest::newRow("first 100") << "bytes=0-99" << "" << 206 << "0-99";
        QTest::newRow("last 100") << "bytes=-100" << "" << 206 << "-100";
        QTest::newRow("to the end") << "bytes=100-" << "" << 206 << "100-";
        QTest::newRow("If-Range of this file") << "bytes=0-99" << "etag" << 206 << "0-99";
        QTest::newRow("If-Range of another") << "bytes=0-99" << "\"other\"" << 200 << "whole";
        QTest::newRow("If-Range as a date") << "bytes=0-99" << "Tue, 08 Dec 2026 10:00:00 GMT" << 200 << "whole";
        QTest::newRow("two ranges") << "bytes=0-1,5-6" << "" << 200 << "whole";
        QTest::newRow("backwards") << "bytes=9-5" << "" << 416 << "";
        QTest::newRow("none of the end") << "bytes=-0" << "" << 416 << "";
        QTest::newRow("past the end") << "bytes=99999999-" << "" << 416 << "";
        QTest::newRow("another unit") << "lines=1-2" << "" << 200 << "whole";
    }
    void fileRanges()
    {
        QFETCH(QString, range);
        QFETCH(QString, ifRange);
        QFETCH(int, status);
        QFETCH(QString, part);
        // One ringtone for every row: none of them delivers it.
        static const std::string pcid = newPcid();
        static const int64_t id = send(pair(pcid, "dev-r"), sample("bell")).body.value("id", int64_t(0));
        const std::string path = downloadUrlPath(pcid, id);
        const Reply whole = service->request("GET", path, {}, {}, {{"Range", "bytes=0-"}});
        const std::string file = whole.raw, etag = whole.headers.find("ETag")->second;
        httplib::Headers headers {{"Range", range.toStdString()}};
        if (!ifRange.isEmpty())
            headers.emplace("If-Range", ifRange == "etag" ? etag : ifRange.toStdString());
        const Reply r = service->request("GET", path, {}, {}, headers);
        QCOMPARE(r.status, status);
        const size_t size = file.size();
        const std::string expected = part == "whole" ? file
            : part == "0-99"                         ? file.substr(0, 100)
            : part == "-100"                         ? file.substr(size - 100)
            : part == "100-"                         ? file.substr(100)
                                                     : std::string();
        QVERIFY(r.raw == expected);
        if (status == 416)
            QCOMPARE(r.headers.find("Content-Range")->second, "bytes */" + std::to_string(size));
        QVERIFY(service->waitForLog(QString::fromStdString(path + " status=" + std::to_string(status))));
        QVERIFY(lists(service->beat(pcid), id));
    }

    // Files being sent share their room in memory: past it a file is
    // refused with a 503 and Retry-After, and an answer's end gives its piece back.
    void fileRoom()
    {
        Service capped(dir.path() + "/file-room");
        QVERIFY2(capped.start(options() + QStringList {"--file-memory-mb", "1"}), qPrintable(capped.log));
        const std::string pcid = newPcid();
        const int64_t id = send(pair(pcid, "dev-room", "Phone", &capped), sample("bell"), "Bell", &capped).body["id"];
        capped.beat(pcid);
        const std::string url = capped.request("GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(id))
                                    .body["data"]
                                    .value("download_url", "");
        const std::string get = "GET " + url.substr(url.find("/f/")) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        const auto status = [&](Raw &client) {
            client.send(get);
            return statusOf(client.receive(12));
        };
        // Each holds its answer open: it never closes, as the delivery waits for.
        std::vector<std::unique_ptr<Raw>> holding;
        for (size_t i = 0; i < belfry::MiB / belfry::FilePieceBytes; ++i) {
            holding.push_back(std::make_unique<Raw>(capped.port));
            QCOMPARE(status(*holding.back()), 200);
        }
        Raw refused(capped.port);
        refused.send(get);
        const std::string answer = refused.receive();
        QCOMPARE(statusOf(answer), 503);
        QVERIFY2(answer.find("Retry-After: 10") != std::string::npos, answer.c_str());
        holding.back()->close(true);
        QVERIFY(capped.waitForLog("broken"));
        Raw again(capped.port);
        QCOMPARE(status(again), 200);
    }

    // Readers that read nothing cost a socket and one piece of the file
    // each, not a copy of it.
    void fileMemoryBounded()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("AddressSanitizer keeps what is freed in quarantine: the service's size says nothing here");
#endif
        const std::string pcid = newPcid();
        const int64_t id = tune(pair(pcid, "dev-m"), noise30).body["id"];
        const std::string path = downloadUrlPath(pcid, id, true);
        const auto rss = [&] {
            std::ifstream status("/proc/" + std::to_string(service->process.processId()) + "/status");
            std::string line;
            while (std::getline(status, line))
                if (line.compare(0, 6, "VmRSS:") == 0)
                    return std::strtoull(line.c_str() + 6, nullptr, 10);
            return 0ull;
        };
        const auto before = rss();
        std::vector<std::unique_ptr<Raw>> readers;
        for (int i = 0; i < 300; ++i) {
            readers.push_back(std::make_unique<Raw>(service->port, i % 2 ? "127.0.0.7" : "127.0.0.8"));
            const int small = 4096;
            ::setsockopt(readers.back()->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            QVERIFY(readers.back()->send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        }
        QTest::qWait(1500);
        const auto grown = rss() - before;
        QVERIFY2(grown < FileReadersGrowthKb, qPrintable(QString("grew by %1 kB").arg(grown)));
    }

    void statusFiveOnce()
    {
        const std::string pcid = newPcid();
        const Phone a = pair(pcid, "dev-a"), b = pair(pcid, "dev-b");
        service->beat(pcid);
        QCOMPARE(service->post("/phone/v1/unpair", a.credentials()).status, 200);
        QCOMPARE(service->beat(pcid)["status"], 0);  // dev-b is still paired
        QCOMPARE(service->post("/phone/v1/unpair", b.credentials()).status, 200);
        QCOMPARE(service->beat(pcid, 1)["status"], 0);  // a farewell beat does not take it
        QCOMPARE(service->beat(pcid), (json {{"status", 5}}));
        QCOMPARE(service->beat(pcid)["status"], 0);
        QCOMPARE(service->post("/phone/v1/unpair", b.credentials()).status, 403);

        // Paired again before the PC heard of the loss: the new pairing wins.
        const Phone c = pair(pcid, "dev-c");
        QCOMPARE(service->post("/phone/v1/unpair", c.credentials()).status, 200);
        pair(pcid, "dev-c");
        const json answer = service->beat(pcid);
        QCOMPARE(answer["status"], 0);
        QCOMPARE(answer["pair"].size(), size_t(1));

        // The PC's own unpair is no loss to report; the device can send nothing more.
        const Phone d = pair(pcid, "dev-d");
        std::vector<std::string> most {"dev-c", "dev-d"};
        while (most.size() < belfry::MaxUnpairIds)
            most.push_back("dev-" + std::to_string(most.size()));
        const Reply unpaired = service->post(
            "/p/v1/unpair", {{"pcid", pcid}, {"data", most}, {"version", "1.0.1"}, {"platform", "window"}});
        QCOMPARE(unpaired.body, (json {{"status", 0}}));
        QCOMPARE(service->beat(pcid)["status"], 0);
        QCOMPARE(send(d, sample("knock")).status, 403);
    }

    void confAndUpdate()
    {
        const std::string admin = service->adminToken(), pcid = newPcid(), other = newPcid();
        const auto conf = [&](const std::string &id) {
            return service->request("GET", "/p/conf?pcid=" + id + "&version=1.0.1&platform=window")
                .body["conf"];
        };
        const auto set = [&](json body) {
            return service->post("/admin/v1/conf", body, admin).status;
        };
        QCOMPARE(set({{"key", "Pulse"}, {"value", "30"}}), 200);
        QCOMPARE(set({{"key", "Server/Host"}, {"value", "http://a.example"}}), 200);
        QCOMPARE(set({{"pcid", pcid}, {"key", "Pulse"}, {"value", "60"}}), 200);
        QCOMPARE(conf(pcid)["Pulse"], "60");
        QCOMPARE(conf(pcid)["Server/Host"], "http://a.example");
        QCOMPARE(conf(other)["Pulse"], "30");
        QCOMPARE(set({{"pcid", pcid}, {"key", "Pulse"}, {"value", ""}}), 200);
        QCOMPARE(conf(pcid)["Pulse"], "30");
        // Without the admin token nobody points the PCs elsewhere.
        for (const std::string &token : {std::string(), std::string(64, 'a')})
            QCOMPARE(
                service->post(
                           "/admin/v1/conf", {{"key", "Server/Host"}, {"value", "http://b.example"}}, token)
                    .status,
                401);
        QCOMPARE(conf(other)["Server/Host"], "http://a.example");

        const auto update = [&](const char *version) {
            return service
                ->request("GET", "/p/update?pcid=" + pcid + "&version=" + version + "&platform=window")
                .body;
        };
        const auto publish = [&](const char *version, const char *url) {
            return service->post("/admin/v1/update", {{"version", version}, {"url", url}}, admin).status;
        };
        QCOMPARE(publish("2.0.0", "http://dl.example/2.0.0"), 200);
        QCOMPARE(publish("2.1.0", "http://dl.example/2.1.0"), 200);
        QCOMPARE(update("1.0.1")["update"],
            (json {{"version", "2.1.0"}, {"download", "http://dl.example/2.1.0"}}));
        QCOMPARE(update("2.1.0"), (json {{"status", 0}}));
        // A program learns of it at its next start too.
        QCOMPARE(service->request("GET", "/p/conf?pcid=" + pcid + "&version=1.0.1&platform=window")
                     .body["update"]["version"],
            "2.1.0");
        QCOMPARE(publish("3.0", "ftp://dl.example/3.0"), 400);
        QCOMPARE(update("1.0.1")["update"]["version"], "2.1.0");
    }

    void tokens()
    {
        const std::string pcid = newPcid();
        const Phone first = pair(pcid, "dev-t");
        const Phone second = pair(pcid, "dev-t");  // pairing again replaces the token
        QVERIFY(first.token != second.token);
        QCOMPARE(send(first, sample("knock")).status, 403);
        QCOMPARE(send(second, sample("knock")).status, 201);
        Phone elsewhere = second;
        elsewhere.pcid = newPcid();
        QCOMPARE(send(elsewhere, sample("knock")).status, 403);
        Phone otherDevice = second;
        otherDevice.device = "dev-u";
        QCOMPARE(send(otherDevice, sample("knock")).status, 403);
        // A wrong token costs the service no work on the file: nothing is written, not even for a moment.
        const QString files = service->data + "/ringtones";
        struct stat before
        {
        }, after {};
        QTest::qWait(20);
        ::stat(qPrintable(files), &before);
        QCOMPARE(send(first, mp4("M4A ", 1000, 5000, false, 4 * 1024 * 1024)).status, 403);
        ::stat(qPrintable(files), &after);
        QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

        QCOMPARE(service->request("GET", "/admin/v1/stats").status, 401);
        QCOMPARE(service->request("GET", "/admin/v1/stats", {}, std::string(64, 'a')).status, 401);
        QCOMPARE(service->request("GET", "/admin/v1/stats", {}, service->adminToken()).status, 200);
        struct stat info;
        QCOMPARE(::stat(qPrintable(service->data + "/admin-token"), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
    }

    // Under the default, a busy service's beats do not crowd its log: every
    // refusal and delivery stays, most beats go.
    void accessLog_data()
    {
        QTest::addColumn<QString>("mode");  // empty: the default
        QTest::addColumn<int>("fewestBeats");
        QTest::addColumn<int>("mostBeats");
        QTest::addColumn<bool>("rest");  // the refusal and the delivery are logged
        // And the farewell beat of pair(), which says so in its line.
        QTest::newRow("all") << "all" << Beats + 1 << Beats + 1 << true;
        QTest::newRow("sampled by default") << "" << 0 << Beats / 10 << true;
        QTest::newRow("off") << "off" << 0 << 0 << false;
    }
    void accessLog()
    {
        QFETCH(QString, mode);
        QFETCH(int, fewestBeats);
        QFETCH(int, mostBeats);
        QFETCH(bool, rest);
        QTemporaryDir folder;
        Service s(folder.path() + "/data");
        QVERIFY2(s.start(options() + (mode.isEmpty() ? QStringList() : QStringList {"--access-log", mode})),
            qPrintable(s.log));
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-log", "Phone", &s);
        const int64_t id = send(phone, sample("chime"), "Chime", &s).body["id"];
        for (int i = 0; i < Beats; ++i)
            QCOMPARE(s.beat(pcid)["status"], 0);
        QCOMPARE(s.post("/p/v1/heart", {{"pcid", pcid}}).status, 400);
        const std::string url
            = s.request("GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(id)).body["data"]["download_url"];
        QCOMPARE(s.request("GET", url.substr(url.find("/f/"))).status, 200);
        if (rest)
            QVERIFY(s.waitForLog("note=delivered"));
        QCOMPARE(s.stop(), 0);
        const int beats = s.log.count("path=/p/v1/heart status=200 ");
        QVERIFY2(beats >= fewestBeats && beats <= mostBeats, qPrintable(QString::number(beats)));
        QCOMPARE(s.log.contains("path=/p/v1/heart status=400 "), rest);
        QCOMPARE(s.log.contains("path=/phone/v1/pair status=200 "), rest);
        QCOMPARE(s.log.contains("path=/phone/v1/ringtone status=201 "), rest);
    }

    // The database away at the start and in service: the start waits for it,
    // requests meanwhile are answered 503 busy, and nothing is lost.
    void databaseAway()
    {
        if (qEnvironmentVariableIsEmpty("BELFRY_TEST_PG"))
            QSKIP("needs PostgreSQL (BELFRY_TEST_PG)");
        QTemporaryDir folder;
        QVERIFY(::chmod(qPrintable(folder.path()), 0755) == 0);  // for the cluster's owner under root
        const QString cluster = folder.path() + "/pg";
        Service s(folder.path() + "/data");
        s.pg = pgCluster("start", cluster).trimmed();
        const auto stopCluster = qScopeGuard([&] {
            s.stop();
            pgCluster("stop", cluster);
        });
        QVERIFY(!s.pg.isEmpty() && !pgCluster("stop", cluster).isEmpty());
        s.launch(options() + QStringList {"--db-retry", "1s"});
        QVERIFY2(s.waitForLog("the database cannot be reached (try 1)", 20000), qPrintable(s.log));
        QVERIFY(!pgCluster("resume", cluster).isEmpty());
        QVERIFY2(s.listening(60000), qPrintable(s.log));

        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-away", "Phone", &s);
        const int64_t id = send(phone, sample("chime"), "Chime", &s).body["id"];
        QVERIFY(!pgCluster("stop", cluster).isEmpty());
        for (const Reply &r : {s.post("/p/v1/heart", {{"pcid", pcid}, {"version", "1.0.1"}, {"platform", "window"},
                                   {"expire", 5}}),
                 send(phone, sample("bell"), "Bell", &s), s.request("GET", "/admin/v1/stats", {}, s.adminToken())}) {
            QCOMPARE(r.status, 503);
            QCOMPARE(r.body["code"], "busy");
            QVERIFY(r.headers.count("Retry-After"));
            QCOMPARE(r.headers.find("Retry-After")->second, std::to_string(belfry::DatabaseAwayRetryAfterSeconds));
        }
        QVERIFY(!pgCluster("resume", cluster).isEmpty());
        QCOMPARE(s.beat(pcid)["sync"], json::array({std::to_string(id)}));
        QVERIFY(s.waitForLog("the database is back"));
    }

    // A token file the service cannot use stops its start with its own
    // message, and stays where it was.
    void adminTokenFiles_data()
    {
        QTest::addColumn<QString>("file");  // "missing", "unreadable" or "short"
        QTest::addColumn<bool>("given");  // with --admin-token-file, else DATA/admin-token
        QTest::addColumn<QString>("logged");
        QTest::newRow("given and missing") << "missing" << true << "there is no admin token file";
        QTest::newRow("given, unreadable") << "unreadable" << true << "may not read the admin token file";
        QTest::newRow("own, unreadable") << "unreadable" << false << "may not read the admin token file";
        QTest::newRow("given, too short") << "short" << true << "holds no admin token";
    }
    void adminTokenFiles()
    {
        QFETCH(QString, file);
        QFETCH(bool, given);
        QFETCH(QString, logged);
        QTemporaryDir folder;
        Service s(folder.path() + "/data");
        QVERIFY(QDir().mkpath(s.data));
        const QString path = given ? folder.path() + "/admin-token" : s.data + "/admin-token";
        const QByteArray token = file == "short" ? "abc\n" : QByteArray(64, 'b') + "\n";
        if (file != "missing") {
            QVERIFY(writeFile(path, token));
            if (file == "unreadable")
                QVERIFY(makeUnreadable(path, s.wrapper));
        }
        QVERIFY(!s.start(options() + (given ? QStringList {"--admin-token-file", path} : QStringList())));
        QCOMPARE(s.stop(), 1);
        QVERIFY2(s.log.contains(logged), qPrintable(s.log));
        QCOMPARE(QFile::exists(path), file != "missing");
        if (file != "missing") {
            QFile kept(path);
            ::chmod(qPrintable(path), 0600);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), token);
        }
    }

    // SIGHUP reads the given file again; a file without a token keeps the old one.
    void adminTokenRotated()
    {
        QTemporaryDir folder;
        const QString path = folder.path() + "/admin-token";
        const std::string first(64, 'c'), second(64, 'd');
        QVERIFY(writeFile(path, QByteArray::fromStdString(first) + "\n"));
        Service s(folder.path() + "/data");
        QVERIFY2(s.start(options() + QStringList {"--admin-token-file", path}), qPrintable(s.log));
        QVERIFY(!QFile::exists(s.data + "/admin-token"));
        QCOMPARE(s.request("GET", "/admin/v1/stats", {}, first).status, 200);

        const struct
        {
            QByteArray file;
            std::string refused, taken;
            const char *logged;
        } steps[] = {
            {QByteArray::fromStdString(second) + "\n", first, second, "admin token read again"},
            {"short\n", first, second, "the admin token stays as it was"},
        };
        for (const auto &step : steps) {
            QVERIFY(writeFile(path, step.file));
            const int before = s.log.count(step.logged);
            ::kill(pid_t(s.process.processId()), SIGHUP);
            QVERIFY(s.waitForLog(QRegularExpression(
                QString("(%1.*){%2}").arg(QRegularExpression::escape(step.logged)).arg(before + 1),
                QRegularExpression::DotMatchesEverythingOption)));
            QCOMPARE(s.request("GET", "/admin/v1/stats", {}, step.refused).status, 401);
            QCOMPARE(s.request("GET", "/admin/v1/stats", {}, step.taken).status, 200);
        }
        QCOMPARE(s.stop(), 0);
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");  // empty: any
        const std::string pc = "0123abcd-0000-R000-8000-00000000cafe";
        const auto beat = [&](const char *name, const char *key, const json &value) {
            json body = {{"pcid", pc}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}};
            body[key] = value;
            QTest::newRow(name) << QByteArray("POST") << QByteArray("/p/v1/heart")
                                << QByteArray::fromStdString(body.dump()) << 400 << "bad-request";
        };
        beat("pcid in capitals", "pcid", "0123ABCD-0000-R000-8000-00000000CAFE");
        beat("pcid too short", "pcid", "0123abcd-0000-R000-8000-00000000caf");
        beat("R off the version digit", "pcid", "0123abcd-R000-4000-8000-00000000cafe");
        beat("pcid a number", "pcid", 12);
        beat("expire a string", "expire", "5");
        beat("expire zero", "expire", 0);
        beat("expire a fraction", "expire", 5.5);
        beat("version with a space", "version", "1 0");
        const auto row = [](const char *name, const char *method, const std::string &path,
                             const std::string &body, int status, const char *code = "") {
            QTest::newRow(name) << QByteArray(method) << QByteArray::fromStdString(path)
                                << QByteArray::fromStdString(body) << status << code;
        };
        row("beat not JSON", "POST", "/p/v1/heart", "pcid=1", 400);
        row("beat an array", "POST", "/p/v1/heart", "[1]", 400);
        row("beat nested deep", "POST", "/p/v1/heart", std::string(5000, '[') + std::string(5000, ']'), 400);
        json padded = {{"pcid", pc}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}};
        padded["padding"] = std::vector<int>(1000, 1);  // scalars count as values too
        row("beat padded with a thousand numbers", "POST", "/p/v1/heart", padded.dump(), 400);
        std::vector<std::string> tooMany(belfry::MaxUnpairIds + 1, "dev-1");
        row("unpair of one id too many", "POST", "/p/v1/unpair",
            json({{"pcid", pc}, {"version", "1"}, {"platform", "window"}, {"data", tooMany}}).dump(), 400);
        row("unpair ids not strings", "POST", "/p/v1/unpair",
            json({{"pcid", pc}, {"version", "1"}, {"platform", "window"}, {"data", {1}}}).dump(), 400);
        row("conf without pcid", "GET", "/p/conf?version=1.0.1&platform=window", "", 400);
        row("feedback event with a slash", "GET", "/p/feedback?pcid=" + pc + "&ver=1.0.1&event=a/b", "", 400);
        row("ringtone id letters", "GET", "/apiv1/ringtone?ringtoneid=x1", "", 400);
        row("ringtone id zero", "GET", "/apiv1/ringtone?ringtoneid=0", "", 400);
        row("ringtone id too large", "GET", "/apiv1/ringtone?ringtoneid=99999999999", "", 400);
        row("ringtone unknown", "GET", "/apiv1/ringtone?ringtoneid=12", "", 404);
        row("file unknown", "GET", "/f/0123456789abcdef0123456789abcdef.m4r", "", 404);
        row("no such address", "GET", "/p/v2/heart", "", 404, "not-found");
        const auto pairRow = [&](const char *name, const std::string &device, const std::string &deviceName) {
            row(name, "POST", "/phone/v1/pair",
                json({{"pcid", pc}, {"device_id", device}, {"device_name", deviceName}}).dump(), 400);
        };
        pairRow("device id with a space", "dev 1", "Phone");
        pairRow("device name with a tab", "dev-1", "Pho\tne");
        pairRow("device name too long", "dev-1", std::string(65, 'n'));
        pairRow("device name empty", "dev-1", "");
        pairRow("device name with a bidi override", "dev-1", "Ann\u202Ea");
        row("pairing with a PC never online", "POST", "/phone/v1/pair",
            json({{"pcid", "0123abcd-0000-R000-8000-00000000dead"}, {"device_id", "dev-1"},
                     {"device_name", "Phone"}})
                .dump(),
            404, "unknown-pc");
        row("device name not UTF-8", "POST", "/phone/v1/pair",
            "{\"pcid\":\"" + pc + "\",\"device_id\":\"d\",\"device_name\":\"\xff\"}", 400);
        // The placeholders are filled in with a real pairing: only the named fault is left.
        const auto sendRow = [&](const char *name, const std::string &ringtone, const json &data, int status,
                                 const char *code = "") {
            row(name, "POST", "/phone/v1/ringtone",
                json({{"pcid", "PCID"}, {"device_id", "dev-x"}, {"device_token", "TOKEN"}, {"name", ringtone},
                         {"data", data}})
                    .dump(),
                status, code);
        };
        const std::string knock = belfry::encodeBase64(sample("knock"));
        sendRow("name with a path", "../evil", knock, 400, "name");
        sendRow("name with a backslash", "a\\b", knock, 400, "name");
        sendRow("name ending in a dot", "Bell.", knock, 400, "name");
        sendRow("name with a newline", "Be\nll", knock, 400, "name");
        sendRow("name Windows keeps", "com1", knock, 400, "name");
        sendRow("data a number", "Bell", 12, 400);
        sendRow("data not base64", "Bell", "a*==", 400);
        sendRow("data not MPEG-4", "Bell", belfry::encodeBase64("ID3\3\0\0\0\0\0\0 not an m4a file"), 422,
            "not-audio");
        sendRow("ringtone too long", "Bell", belfry::encodeBase64(mp4("M4A ", 600, 600 * 45)), 422);
        sendRow("ringtone too large", "Bell", belfry::encodeBase64(std::string(5 * 1024 * 1024 + 1, 'x')),
            413, "too-large");
        // Passes the checks of its size and its boxes; the converter finds no sound in it.
        const std::string fiveMiB
            = mp4("M4A ", 1000, 5000, false, 5 * 1024 * 1024 - mp4("M4A ", 1000, 5000).size());
        sendRow("ringtone of exactly 5 MiB, not sound", "Bell", belfry::encodeBase64(fiveMiB), 422);
        const auto startRow = [&](const char *name, const json &start, int status = 400) {
            row(name, "POST", "/phone/v1/ringtone",
                json({{"pcid", "PCID"}, {"device_id", "dev-x"}, {"device_token", "TOKEN"}, {"name", "Bell"},
                         {"data", knock}, {"start", start}})
                    .dump(),
                status);
        };
        startRow("start negative", -1);
        startRow("start a string", "5");
        startRow("start past twenty minutes", 1201);
        startRow("start past the end", 3, 422);
        row("body too large", "POST", "/phone/v1/ringtone", std::string(8 * 1024 * 1024, ' '), 413,
            "too-large");
        row("JSON upload's body at its limit, read", "POST", "/phone/v1/ringtone",
            std::string(belfry::MaxRingtoneJsonBodyBytes, ' '), 400, "bad-request");
        row("JSON upload's body a byte past it", "POST", "/phone/v1/ringtone",
            std::string(belfry::MaxRingtoneJsonBodyBytes + 1, ' '), 413, "too-large");
        row("admin without token", "POST", "/admin/v1/update",
            json({{"version", "9"}, {"url", "http://x.example"}}).dump(), 401);
    }
    void badInput()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-x");
        std::string text = body.toStdString();
        for (const auto &[from, to] :
            {std::pair {"\"PCID\"", "\"" + pcid + "\""}, {"\"TOKEN\"", "\"" + phone.token + "\""}})
            if (const size_t at = text.find(from); at != std::string::npos)
                text.replace(at, std::strlen(from), to);
        const Reply reply = service->request(method.constData(), path.toStdString(), text);
        QCOMPARE(reply.status, status);
        QVERIFY2(reply.body.is_object() && reply.body["error"].is_string(), reply.raw.c_str());
        QVERIFY2(reply.body.value("code", "") != ""
                && (code.isEmpty() || reply.body["code"] == code.toStdString()),
            reply.raw.c_str());
        const std::string logged
            = "path=" + path.split('?').first().toStdString() + " status=" + std::to_string(status) + " ";
        QVERIFY2(service->waitForLog(QString::fromStdString(logged)), qPrintable(service->log.right(300)));
        QCOMPARE(service->beat(pcid)["sync"], json::array());  // still answering, nothing stored
    }

    // Uploads that are no tune, or no upload to take, are refused with nothing
    // stored and nothing left behind. `declared` > 0: only the head of a
    // request with that Content-Length is sent, and the answer must come
    // before any of the body.
    void hostileUploads_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<qint64>("declared");
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("why");
        const QStringList sine {"-f", "lavfi", "-i", "sine=duration=3"};
        // Made here; a file that could not be made fails its row.
        const std::string video
            = ffmpeg(QStringList {"-f", "lavfi", "-i", "testsrc=size=64x64:rate=5:duration=2"} + sine
                + QStringList {"-c:v", "libx264", "-c:a", "aac", "-shortest", "-f", "mp4"});
        // A sample count that no file of this size can hold.
        std::string crafted = ffmpeg(sine + QStringList {"-c:a", "aac", "-f", "ipod"});
        if (const size_t at = crafted.find("stsz"); at != std::string::npos)
            crafted.replace(at + 12, 4, be32(0x3fffffff));
        const std::string claims = "Never gonna give you up\n";
        // Two hours of near silence cost little to make and 7 MB to send.
        const std::string hours = tuneFile("mp3",
            {"-f", "lavfi", "-i", "anullsrc=r=8000:cl=mono", "-t", "7200", "-c:a", "libmp3lame", "-b:a",
                "8k"});
        const auto row = [](const char *name, const char *route, const std::string &file, qint64 declared,
                             const char *query, int status, const char *why) {
            QTest::newRow(name) << route << QByteArray::fromStdString(file) << declared << query << status
                                << why;
        };
        const qint64 MiB = 1024 * 1024;
        row("tune: 50 MB", "tune", {}, 50 * 1000 * 1000, "", 413, "too large");
        row("tune: 40 MiB with a wrong token", "tune", {}, 40 * MiB, "&wrong-token", 403, "not paired");
        row("tune: a byte past 40 MiB", "tune", {}, qint64(belfry::MaxTuneBytes) + 1, "", 413, "too large");
        row("tune: 40 MiB named ../evil", "tune", {}, 40 * MiB, "&name=../evil", 400, "name");
        row("tune: 40 MiB from a start that is no number", "tune", {}, 40 * MiB, "&start=1e3", 400, "start");
        row("tune: text that claims to be an MP3", "tune", claims, 0, "&name=song.mp3", 422, "not a tune");
        row("tune: a crafted container", "tune", crafted, 0, "", 422, "not a tune");
        row("tune: a video", "tune", video, 0, "", 422, "h264");
        row("tune: two hours", "tune", hours, 0, "", 422, "120 min");
        row("JSON: 50 MB", "ringtone", {}, 50 * 1000 * 1000, "", 413, "too large");
        row("JSON: text that claims to be a ringtone", "ringtone", claims, 0, "", 422, "no ftyp");
        row("JSON: a crafted container", "ringtone", crafted, 0, "", 422, "truncated");
        row("JSON: a video", "ringtone", video, 0, "", 422, "video track");
    }
    void hostileUploads()
    {
        QFETCH(QString, route);
        QFETCH(QByteArray, file);
        QFETCH(qint64, declared);
        QFETCH(QString, query);
        QFETCH(int, status);
        QFETCH(QString, why);
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-h");
        if (query == "&wrong-token")
            pair(pcid, "dev-h");  // pairing again replaces the token
        const std::string tuneQuery = (query.contains("name=") ? query : "&name=Bell" + query).toStdString();
        const Reply reply = declared > 0
            ? headOnly(route == "tune" ? "/phone/v1/tune?pcid=" + pcid + "&device_id=dev-h" + tuneQuery
                                       : "/phone/v1/ringtone",
                size_t(declared), phone.token)
            : route == "tune" ? tune(phone, file.toStdString(), tuneQuery)
                              : send(phone, file.toStdString());
        QCOMPARE(reply.status, status);
        QVERIFY2(QString::fromStdString(reply.body.value("error", "")).contains(why), reply.raw.c_str());
        QCOMPARE(service->beat(pcid)["sync"], json::array());
        QCOMPARE(QDir(scratch()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // Requests as bytes on the wire: limits hold whatever the framing, before
    // the body is read; `expected` matches the answer or the log.
    void framing_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("expected");
        const std::string beat = json(
            {{"pcid", "0123abcd-0000-R000-8000-00000000cafe"}, {"version", "1.0.1"}, {"platform", "window"},
                {"expire", 5}}).dump();
        const auto post = [](const std::string &path, const std::string &headers, const std::string &body) {
            return QByteArray::fromStdString("POST " + path
                + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n" + body);
        };
        const auto sized = [&](const std::string &path, const std::string &body) {
            return post(path, "Content-Length: " + std::to_string(body.size()) + "\r\n", body);
        };
        QTest::newRow("chunked past the beat's cap")
            << post("/p/v1/heart", "Transfer-Encoding: chunked\r\n", "5000\r\n" + std::string(0x5000, ' '))
            << 413 << "too large";
        QTest::newRow("chunked in small pieces past the cap") << post(
            "/p/v1/heart", "Transfer-Encoding: chunked\r\n", [] {
                std::string body;
                for (int i = 0; i < 5; ++i)
                    body += "1000\r\n" + std::string(0x1000, ' ') + "\r\n";
                return body;
            }()) << 413 << "too large";
        // The beat's cap to the byte: its JSON padded with spaces.
        const std::string atCap = beat + std::string(belfry::MaxJsonBodyBytes - beat.size(), ' ');
        QTest::newRow("a beat at its cap") << sized("/p/v1/heart", atCap) << 200 << "\"status\":0";
        QTest::newRow("a byte past it") << sized("/p/v1/heart", atCap + " ") << 413 << "too large";
        QTest::newRow("Content-Length past the beat's cap")
            << post("/p/v1/heart", "Content-Length: 20000\r\n", "") << 413 << "too large";
        QTest::newRow("gzip-encoded")
            << post("/p/v1/heart", "Content-Encoding: gzip\r\nContent-Length: 2\r\n", "{}") << 415
            << "compressed";
        QTest::newRow("64 KB of headers")
            << post("/p/v1/heart", "X-Big: " + std::string(65536, 'a') + "\r\n", "") << 431
            << "method=- path=- status=431 bytes=\\d+ ms=\\d{1,4} note=\"the request headers are too large";  // timed from its first byte
        QTest::newRow("12 KB of headers")
            << post("/p/v1/heart", "X-Big: " + std::string(12288, 'a') + "\r\n", "") << 431 << "too large";
        const std::string chunked = "Transfer-Encoding: chunked\r\n";
        QTest::newRow("a trailer of 70,000 bytes")
            << post("/p/v1/heart", chunked, "2\r\n{}\r\n0\r\nX: " + std::string(70000, 'a') + "\r\n\r\n")
            << 400 << "longer than";
        std::string fields;
        while (fields.size() < (4 << 20))
            fields += "X: a\r\n";
        QTest::newRow("4 MB of trailer fields")
            << post("/p/v1/heart", chunked, "2\r\n{}\r\n0\r\n" + fields + "\r\n") << 400 << "longer than";
        QTest::newRow("a trailer field") << post("/p/v1/heart", chunked, "2\r\n{}\r\n0\r\nX: a\r\n\r\n")
                                         << 400 << "trailer fields are not accepted";
        QTest::newRow("a chunk extension of 32 MB")
            << post("/p/v1/heart", chunked, "2;" + std::string(32 << 20, 'a') + "\r\n{}\r\n0\r\n\r\n") << 400
            << "longer than";
        QTest::newRow("a chunk extension")
            << post("/p/v1/heart", chunked, "2;a=b\r\n{}\r\n0\r\n\r\n") << 400 << "chunk extension";
        // Read otherwise by a proxy in front, the rest would be a second request.
        QTest::newRow("chunked, identity") << post("/p/v1/heart", "Transfer-Encoding: chunked, identity\r\n",
            "2\r\n{}\r\n0\r\n\r\n") << 400 << "transfer coding";
        QTest::newRow("xchunked with Content-Length")
            << post("/p/v1/heart", "Transfer-Encoding: xchunked\r\nContent-Length: 2\r\n", "{}") << 400
            << "transfer coding";
        QTest::newRow("gzip, chunked")
            << post("/p/v1/heart", "Transfer-Encoding: gzip, chunked\r\n", "2\r\n{}\r\n0\r\n\r\n") << 501
            << "transfer coding";
        QTest::newRow("no Host") << sized("/p/v1/heart", beat).replace("Host: 127.0.0.1\r\n", "") << 400
                                 << "Host exactly once";
        QTest::newRow("two Hosts")
            << post("/p/v1/heart", "Host: evil.example\r\nContent-Length: 2\r\n", "{}") << 400
            << "Host exactly once";
        QTest::newRow("HTTP/1.0 chunked")
            << post("/p/v1/heart", "Transfer-Encoding: chunked\r\n", "2\r\n{}\r\n0\r\n\r\n")
                   .replace("HTTP/1.1", "HTTP/1.0")
            << 400 << "1.0 takes no Transfer-Encoding";
        QTest::newRow("absolute-form target")
            << sized("http://127.0.0.1/p/v1/heart", beat) << 200
            << "\"status\":0";
        QTest::newRow("a JSON answer")
            << sized("/p/v1/heart", beat) << 200 << "X-Content-Type-Options: nosniff";
        QTest::newRow("HEAD /") << QByteArray("HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") << 200
                                << "Content-Length: [1-9][0-9]*\r\n[^{]*\r\n\r\n$";
        std::string empties = "{}";
        for (int i = 0; i < 3000; ++i)
            empties += ",{}";
        QTest::newRow("JSON of many empty values")
            << sized("/phone/v1/ringtone", "{\"data\":[" + empties + "]}") << 400 << "too many values";
        QTest::newRow("repeated slashes") << sized("//p//v1/heart", beat) << 200 << "\"status\":0";
        QTest::newRow("line feed in the path")
            << QByteArray("GET /p/%0A2000-01-01T00:00:00Z%20forged HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            << 404 << "path=/p/\\\\x0a2000-01-01T00:00:00Z\\\\x20forged status=404";
        QTest::newRow("an escape in the path")
            << QByteArray("GET /p/\\x0aforged HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") << 404
            << "path=/p/\\\\x5cx0aforged status=404";
        // The rest of the refused body is no request: the connection ends.
        QTest::newRow("chunked past the cap after a kept-alive request")
            << sized("/p/v1/heart", beat).replace("Connection: close\r\n", "")
                + post("/p/v1/heart", "Transfer-Encoding: chunked\r\n", "5000\r\n" + std::string(0x5000, ' '))
                      .replace("Connection: close\r\n", "")
            << 200 << "413 [^{]*Connection: close";
        QTest::newRow("kept alive") << sized("/p/v1/heart", beat).replace("Connection: close\r\n", "")
                + sized("/p/v1/heart", beat)
                                    << 200 << "\"sync\":\\[\\]}HTTP/1.1 200 OK";
    }
    void framing()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QString, expected);
        const qint64 pid = service->process.processId();
        QVERIFY(
            std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5");  // the peak starts anew
        const size_t before = peakKb(pid);
        Raw client(service->port);
        QVERIFY(client.send(request.toStdString()));
        const std::string answer = client.receive();
        QCOMPARE(statusOf(answer), status);
        const QRegularExpression pattern(expected);
        if (!QString::fromStdString(answer).contains(pattern))
            QVERIFY2(service->waitForLog(pattern),
                qPrintable(QString::fromStdString(answer) + service->log.right(300)));
        QVERIFY2(peakKb(pid) < before + FramingGrowthKb, qPrintable(QString::number(peakKb(pid) - before)));
        QCOMPARE(service->beat(newPcid())["status"], 0);
    }

    // Slow and idle connections cost a socket each, not a worker: beats are
    // answered meanwhile, and the service still stops at once.
    void slowClients()
    {
        std::vector<std::unique_ptr<Raw>> idle;
        for (int i = 0; i < 200; ++i)
            idle.push_back(std::make_unique<Raw>(service->port));
        SlowClients slow(service->port, 32);
        QTest::qWait(1100);
        httplib::Client client("127.0.0.1", service->port);
        client.set_read_timeout(2, 0);  // the fault was a wait of 10 to 30 s
        const auto beat = client.Post("/p/v1/heart",
            json({{"pcid", newPcid()}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}}).dump(),
            "application/json");
        QVERIFY(beat && beat->status == 200);

        QCOMPARE(service->stop(5000), 0);  // the fault was no end while they kept sending
        QVERIFY(service->log.contains("stopped"));
        QVERIFY2(service->start(options()), qPrintable(service->log));

        // The deadlines shortened, in a server of this process.
        belfry::HttpOptions shortened;
        shortened.log = false;
        shortened.idleTimeout = shortened.headerTimeout = shortened.writeTimeout = std::chrono::seconds(1);
        const std::string big(24 << 20, 'x');
        shortened.writeRate = big.size();  // one second more for it
        shortened.stopGrace = std::chrono::seconds(60);
        belfry::HttpServer server(
            {{"GET", "/big", 0,
                 [&](const belfry::Request &, belfry::Response &res) {
                     res.setContent(big, "text/plain");
                 }},
                {"POST", "/small", 100, [](const belfry::Request &, belfry::Response &) {}}},
            shortened);
        std::string error;
        const int port = server.listen("127.0.0.1", 0, error);
        QVERIFY2(port > 0, error.c_str());
        auto running = std::async(std::launch::async, [&] {
            server.run();
        });
        // A row that fails leaves the server running: it stops all the same.
        const std::shared_ptr<void> stop(nullptr, [&](void *) {
            if (running.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                ::kill(::getpid(), SIGTERM);
        });
        Raw waiting(port), drip(port), reader(port);
        const int small = 65536;
        ::setsockopt(reader.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        QVERIFY(reader.send("GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        int dripped = 0;
        while (dripped < 40 && drip.send(dripped ? "a" : "GET /"))
            ++dripped, QTest::qWait(100);
        QVERIFY2(dripped < 40, "the headers' deadline counts from their first byte");
        QCOMPARE(waiting.receive(), std::string());
        QVERIFY(waiting.ended);
        QTest::qWait(2500);
        QVERIFY(reader.receive().size() < big.size());
        Raw sending(port);
        QVERIFY(sending.send("POST /small HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{"));
        QTest::qWait(200);
        ::kill(::getpid(), SIGTERM);
        QVERIFY2(running.wait_for(std::chrono::seconds(10)) == std::future_status::ready,
            "a request still arriving is dropped at once");
    }

    // A reader that stops, whether before the end of the file or after it
    // without closing, reaches the deadline: that is no delivery.
    void stalledReaders_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("stops within a file the kernels cannot hold") << (24 << 20);
        QTest::newRow("takes a small file and never closes") << (100 << 10);
    }
    void stalledReaders()
    {
        QFETCH(int, size);
        belfry::HttpOptions shortened;
        shortened.log = false;
        shortened.writeTimeout = std::chrono::seconds(1);
        shortened.writeRate = size_t(size);  // one second more for it
        const std::string content(size_t(size), 'x');
        std::atomic<int> deliveries {0};
        const auto file = std::make_shared<belfry::FileBody>();
        file->size = content.size();
        file->read = [&](uint64_t offset, size_t length, std::string &out) {
            out = content.substr(offset, length);
            return true;
        };
        belfry::HttpServer server({{"GET", "/file", 0,
                                      [&](const belfry::Request &, belfry::Response &res) {
                                          res.file = file;
                                          res.delivered = [&] {
                                              ++deliveries;
                                              return std::string("delivered");
                                          };
                                      }}},
            shortened);
        std::string error;
        const int port = server.listen("127.0.0.1", 0, error);
        QVERIFY2(port > 0, error.c_str());
        auto running = std::async(std::launch::async, [&] {
            server.run();
        });
        const auto stop = qScopeGuard([&] {
            ::kill(::getpid(), SIGTERM);
            running.wait();
        });
        Raw whole(port), stalled(port);
        QVERIFY(whole.send("GET /file HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        QVERIFY(whole.receive().size() > content.size());
        whole.close();
        QVERIFY(stalled.send("GET /file HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        QCOMPARE(stalled.receive(100).size(), size_t(100));
        QTest::qWait(3500);
        QCOMPARE(deliveries.load(), 1);
    }

    // Past the cap of an address its new connections are refused, other
    // addresses' are not; a connection that only waits makes room. Uploads
    // held in memory at once have a cap of their own, which beats never meet.
    void caps()
    {
        Service capped(dir.path() + "/capped");
        QVERIFY2(capped.start({"--max-per-address", "4", "--max-connections", "8", "--upload-memory-mb", "1",
                     "--pair-limit", "1"}),
            qPrintable(capped.log));
        const std::string beat
            = "POST /p/v1/heart HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}";
        const auto status = [&](const char *from) {
            Raw client(capped.port, from);
            client.send(beat);
            return statusOf(client.receive());
        };
        {
            std::vector<std::unique_ptr<Raw>> idle;
            for (int i = 0; i < 4; ++i)
                idle.push_back(std::make_unique<Raw>(capped.port));
            QTest::qWait(200);
            QCOMPARE(status("127.0.0.1"), 400);
        }
        // Connections that only send slowly are no idle ones. Another
        // address keeps them clear of the ones above, whose end the service
        // may not have seen yet; the wait lets their first bytes be read.
        SlowClients slow(capped.port, 4, "127.0.0.5");
        QTest::qWait(1000);
        QCOMPARE(status("127.0.0.5"), 503);
        QCOMPARE(status("127.0.0.2"), 400);
        // An answered connection holds its place until the service sees it
        // end, which a busy machine may take a while to do: the eight below
        // must all be the slow ones.
        QTest::qWait(1000);
        {
            SlowClients more(capped.port, 4, "127.0.0.6");
            QTest::qWait(1000);
            // Eight in all. Each try that got in leaves an answered
            // connection behind, which a later one may reap; the slow ones
            // are never reaped.
            int got = 0;
            for (int tries = 0; tries < 6 && (got = status("127.0.0.7")) != 503; ++tries)
                QTest::qWait(400);
            QCOMPARE(got, 503);
        }
        QTest::qWait(200);

        const std::string upload = "POST /phone/v1/ringtone HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 700000\r\n\r\n{";
        Raw first(capped.port, "127.0.0.3"), second(capped.port, "127.0.0.4");
        QVERIFY(first.send(upload));
        QTest::qWait(200);
        QVERIFY(second.send(upload));
        QCOMPARE(statusOf(second.receive()), 503);
        QCOMPARE(status("127.0.0.2"), 400);
        first.close();  // its room is given back
        QTest::qWait(200);
        Raw third(capped.port, "127.0.0.4");
        QVERIFY(third.send(upload + std::string(700000 - 1, ' ')));
        QCOMPARE(statusOf(third.receive()), 400);

        const std::string pcid = newPcid();
        capped.beat(pcid);
        const auto pairing = [&] {
            return capped.post(
                "/phone/v1/pair", {{"pcid", pcid}, {"device_id", "dev-1"}, {"device_name", "P"}});
        };
        QCOMPARE(pairing().status, 200);
        const Reply refused = pairing();
        QCOMPARE(refused.status, 429);
        QCOMPARE(refused.headers.find("Retry-After")->second, std::to_string(belfry::HourSeconds + 1));
    }

    // The phone's page: its files, from a fixed list, with headers that let
    // nothing on it load or run from elsewhere.
    void phonePage_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("type");
        QTest::newRow("/") << "/" << 200 << "text/html; charset=utf-8";
        QTest::newRow("/index.html") << "/index.html" << 200 << "text/html; charset=utf-8";
        QTest::newRow("the decoder") << "/vendor/jsQR.js" << 200 << "text/javascript; charset=utf-8";
        QTest::newRow("the icon") << "/icon.svg" << 200 << "image/svg+xml";
        QTest::newRow("another file beside them") << "/vendor/VENDOR.md" << 404 << "";
        QTest::newRow("up and out") << "/vendor/%2e%2e/%2e%2e/service.cpp" << 404 << "";
        QTest::newRow("with the folder's name") << "/web/app.js" << 404 << "";
    }
    void phonePage()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QString, type);
        const Reply r = service->request("GET", path.toStdString());
        QCOMPARE(r.status, status);
        if (status != 200)
            return;
        QFile f(QStringLiteral(BELFRY_WEB "/%1").arg(path == "/" ? "index.html" : path.mid(1)));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(r.raw == f.readAll().toStdString());
        const auto header = [&](const char *name) {
            const auto it = r.headers.find(name);
            return it == r.headers.end() ? QString() : QString::fromStdString(it->second);
        };
        QCOMPARE(header("Content-Type"), type);
        QVERIFY(header("Content-Security-Policy").startsWith("default-src 'none'; script-src 'self';"));
        QCOMPARE(header("X-Content-Type-Options"), "nosniff");
        QCOMPARE(header("Referrer-Policy"), "no-referrer");
    }

    // What anyone may write without pairing is bounded: usage events and PCs
    // not seen before per address, events kept as counts per PC, name and day,
    // and both forgotten in time.
    // A budget kept in memory forgets addresses rather than grow without
    // end: past the addresses it can keep, the one seen least recently goes,
    // so a spent one that keeps asking stays spent, and one that left starts
    // afresh.
    void addressesKeptInMemoryBounded()
    {
        using belfry::Allowance;
        belfry::AddressLimit limit(1, 3600);
        for (const char *spent : {"198.51.100.1", "198.51.100.2"}) {
            QCOMPARE(limit.take(spent, 1000), Allowance::Yes);
            QCOMPARE(limit.take(spent, 1000), Allowance::No);
        }
        size_t taken = 0;
        for (size_t i = 0; i < belfry::MaxTrackedAddresses; ++i) {
            taken += limit.take("2001:db8::" + std::to_string(i), 1000) == Allowance::Yes;
            if (i % 1000 == 0)
                QCOMPARE(limit.take("198.51.100.2", 1000), Allowance::No);
        }
        QCOMPARE(taken, belfry::MaxTrackedAddresses);
        QCOMPARE(limit.take("198.51.100.1", 1000), Allowance::Yes);
        QCOMPARE(limit.take("198.51.100.2", 1000), Allowance::No);
    }

    void anonymousWritesBounded()
    {
        Service limited(dir.path() + "/anonymous");
        QVERIFY2(limited.start({"--new-pc-limit", "5"}), qPrintable(limited.log));
        const auto statsNow = [&] {
            return limited.request("GET", "/admin/v1/stats", {}, limited.adminToken()).body["stats"];
        };
        const json before = statsNow();
        const std::string pcid = newPcid(), query = "/p/feedback?pcid=" + pcid + "&ver=1.0.1&event=";
        const auto event = [&](const std::string &name) {
            return limited.request("GET", query + name);
        };
        for (const char *name : {"save", "download", "save"})
            QCOMPARE(event(name).body, (json {{"status", 0}}));
        QCOMPARE(statsNow()["events"].value("save", 0) - before["events"].value("save", 0), 2);
        int refused = 0;
        for (int i = 0; i < 130; ++i) {
            const Reply r = event("invented-" + std::to_string(i));
            refused += r.status == 429 && r.headers.count("Retry-After") && r.body["code"] == "rate";
        }
        QVERIFY2(refused >= 10, qPrintable(QString::number(refused)));
        QCOMPARE(statsNow()["events"].size(), size_t(50));  // the most counted names only

        std::vector<std::string> pcs;
        for (int i = 0; i < 5; ++i) {
            pcs.push_back(newPcid());
            QCOMPARE(limited.beat(pcs.back())["status"], 0);
        }
        QCOMPARE(limited.beat(newPcid()).value("code", ""), "rate");
        QCOMPARE(limited.beat(pcs[0])["status"], 0);  // a PC it knows
        const json elsewhere
            = {{"pcid", newPcid()}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}};
        QCOMPARE(limited.request("POST", "/p/v1/heart", elsewhere.dump(), {}, {}, "127.0.0.2").status, 200);
        QCOMPARE(statsNow()["pcs"].get<int>() - before["pcs"].get<int>(), 6);
        if (!qEnvironmentVariableIsEmpty("BELFRY_TEST_PG"))
            return;
        // A repeated event is one count; PCs that never paired and old counts go in time.
        const QString file = limited.data + "/belfry.sqlite";
        QCOMPARE(sqlite(file, "SELECT count FROM event_counts WHERE name = 'save'"), "2");
        QCOMPARE(limited.stop(), 0);
        QCOMPARE(
            sqlite(file, "UPDATE pcs SET last_beat = last_beat - 31 * 86400 WHERE pcid = '" + pcs[0] + "'"),
            "");
        QCOMPARE(sqlite(file, "UPDATE event_counts SET day = day - 91 WHERE name = 'save'"), "");
        QVERIFY2(limited.start(), qPrintable(limited.log));
        QCOMPARE(statsNow()["pcs"].get<int>() - before["pcs"].get<int>(), 5);
        QVERIFY(!statsNow()["events"].contains("save"));
    }

    void phoneCommandLine()
    {
        const std::string pcid = newPcid();
        const auto run = [&](QStringList args) {
            QProcess phone;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("BELFRY_PHONE_STATE", dir.path() + "/phone.json");
            phone.setProcessEnvironment(env);
            args << "--service" << QStringLiteral("http://127.0.0.1:%1").arg(service->port) << "--data"
                 << service->data;
            phone.start(QStringLiteral(BELFRY_PHONE), args);
            phone.waitForFinished(20000);
            return phone.exitCode() == 0 ? QString::fromUtf8(phone.readAllStandardOutput()) : QString();
        };
        // The state file holds the tokens: its owner's alone, also after a copy made it wider.
        const QByteArray state = QFile::encodeName(dir.path() + "/phone.json");
        const auto mode = [&] {
            struct stat info;
            return ::stat(state.constData(), &info) == 0 ? info.st_mode & 0777 : 0;
        };
        ::umask(022);
        const QString id = QString::fromStdString(pcid);
        service->beat(pcid);
        QVERIFY(run({"pair", "--pcid", id, "--name", "Test phone"}).startsWith("paired"));
        QCOMPARE(mode(), mode_t(0600));
        ::chmod(state.constData(), 0644);
        QVERIFY(run({"send", "--pcid", id, BELFRY_SAMPLES "/bell.m4r"}).startsWith("sent bell"));
        QCOMPARE(mode(), mode_t(0600));
        QVERIFY(run({"set-conf", "--pcid", id, "Pulse", "20"}).startsWith("set Pulse"));
        QVERIFY(run({"publish-update", "9.9.9", "http://dl.example/9"}).startsWith("published"));
        QVERIFY(run({"stats"}).contains("ringtones_waiting"));
        const json answer = service->beat(pcid);
        QCOMPARE(answer["pair"][0]["name"], "Test phone");
        QCOMPARE(answer["sync"].size(), size_t(1));
        // Any other audio goes up as the page sends it, from its --start.
        const QString mp3 = dir.path() + "/tone.mp3";
        QFile f(mp3);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(tone90.data(), qint64(tone90.size())) > 0);
        f.close();
        QVERIFY(run({"send", "--pcid", id, mp3, "--start", "90"}).isEmpty());  // past its end
        QVERIFY(run({"send", "--pcid", id, mp3, "--start", "70", "--name", "Tone"}).startsWith("sent Tone"));
        const QStringList sent = run({"sent", "--pcid", id}).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(sent.size(), 2);
        QVERIFY2(sent[0].contains("\twaiting\t") && sent[0].endsWith("\tTone"), qPrintable(sent.join('|')));
        QVERIFY(run({"withdraw", "--pcid", id, sent[0].section('\t', 0, 0)}).startsWith("withdrew"));
        QCOMPARE(service->beat(pcid)["sync"].size(), size_t(1));
        QVERIFY(run({"unpair", "--pcid", id}).startsWith("unpaired"));
        QCOMPARE(service->beat(pcid)["status"], 5);
        QVERIFY(run({"send", "--pcid", id, BELFRY_SAMPLES "/bell.m4r"}).isEmpty());  // no pairing left
    }

    // The program's lookup carries no client id: a ringtone is only described
    // to where the beat that listed it came from.
    void lookupFromWhereItWasListed()
    {
        const std::string pcid = newPcid();
        const int64_t id = send(pair(pcid, "dev-l"), sample("knock")).body["id"];
        const std::string lookup = "/apiv1/ringtone?ringtoneid=" + std::to_string(id);
        QCOMPARE(service->request("GET", lookup).status, 404);  // no beat listed it yet
        service->beat(pcid);
        QCOMPARE(service->request("GET", lookup, {}, {}, {}, "127.0.0.2").status, 404);
        // No proxy is trusted: its header counts for nothing.
        QCOMPARE(
            service->request("GET", lookup, {}, {}, {{"X-Forwarded-For", "127.0.0.1"}}, "127.0.0.2").status,
            404);
        QCOMPARE(service->request("GET", lookup).body["data"]["name"], "Bell");
        // How long a listing holds: test_rules' lookups.

        Service proxied(dir.path() + "/proxied");
        QVERIFY2(proxied.start({"--trust-proxy", "127.0.0.1"}), qPrintable(proxied.log));
        const std::string other = newPcid();
        const int64_t behind
            = send(pair(other, "dev-p", "Phone", &proxied), sample("knock"), "Bell", &proxied).body["id"];
        const auto via = [&](const char *method, const std::string &path, const std::string &forwarded,
                             const std::string &body = {}) {
            return proxied.request(method, path, body, {}, {{"X-Forwarded-For", forwarded}}).status;
        };
        // A client's own X-Forwarded-For comes first; the proxy appends what it saw.
        const json beat = {{"pcid", other}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}};
        QCOMPARE(via("POST", "/p/v1/heart", "198.51.100.7, 203.0.113.9", beat.dump()), 200);
        const std::string path = "/apiv1/ringtone?ringtoneid=" + std::to_string(behind);
        QCOMPARE(via("GET", path, "203.0.113.9, 198.51.100.7"), 404);
        QCOMPARE(proxied.request("GET", path).status, 404);
        QCOMPARE(via("GET", path, "2001:db8::1,203.0.113.9"), 200);
        // A trusted hop (another proxy of ours) is passed over.
        QCOMPARE(via("GET", path, "203.0.113.9, 127.0.0.1"), 200);
    }

    void guessingIsStopped()
    {
        // The guesser shares its address with a PC that has ringtones waiting.
        const char *guesser = "127.0.0.3";
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-g");
        const int64_t fetched = send(phone, sample("knock")).body["id"],
                      id = send(phone, sample("bell")).body["id"];
        const auto beatFrom = [&](const char *from) {
            return service
                ->request("POST", "/p/v1/heart",
                    json({{"pcid", pcid}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}})
                        .dump(),
                    {}, {}, from)
                .body;
        };
        const auto lookup = [&](int64_t ringtone, const char *from) {
            return service->request(
                "GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(ringtone), {}, {}, {}, from);
        };
        beatFrom(guesser);
        const std::string url = lookup(fetched, guesser).body["data"].value("download_url", "");
        QVERIFY(sameAudio(service->request("GET", url.substr(url.find("/f/"))).raw, sample("knock")));
        // Every beat comes from the PC's address, also while the delivery is being recorded.
        for (int i = 0; i < 100 && lists(beatFrom(guesser), fetched); ++i)
            QTest::qWait(20);
        // The PC asking again for what it fetched is not guessing.
        for (int i = 0; i < 5; ++i)
            QCOMPARE(lookup(fetched, guesser).status, 404);
        QCOMPARE(lookup(id, guesser).status, 200);
        int misses = 0;
        while (misses < 100 && lookup(misses + 1, guesser).status == 404)
            ++misses;
        QCOMPARE(misses, 30);
        QCOMPARE(lookup(misses + 1, guesser).status, 429);
        QCOMPARE(lookup(id, guesser).status, 429);  // not even a hit gets through now
        QCOMPARE(lookup(misses + 1, "127.0.0.1").status, 404);  // other addresses are not affected
    }

    void pairingsLimited()
    {
        Service limited(dir.path() + "/limited");
        QVERIFY2(limited.start({"--pair-limit", "2"}), qPrintable(limited.log));
        const std::string pcid = newPcid();
        limited.beat(pcid);
        const auto pairing = [&](const char *from) {
            return limited
                .request("POST", "/phone/v1/pair",
                    json({{"pcid", pcid}, {"device_id", "dev-1"}, {"device_name", "Phone"}}).dump(), {}, {},
                    from)
                .status;
        };
        QCOMPARE(pairing("127.0.0.1"), 200);
        QCOMPARE(pairing("127.0.0.1"), 200);
        QCOMPARE(pairing("127.0.0.1"), 429);
        QCOMPARE(pairing("127.0.0.2"), 200);
    }

    // Ringtones that wait too long go at start; while it runs, and at which
    // second: test_rules' expiry.
    void expiry()
    {
        Service expiring(dir.path() + "/expiring");
        QVERIFY2(expiring.start({"--keep", "1s"}), qPrintable(expiring.log));
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-e", "Phone", &expiring);
        const int64_t second = send(phone, sample("knock"), "Bell", &expiring).body["id"];
        const int64_t sent = expiring.post("/phone/v1/sent", phone.credentials()).body["ringtones"][0]["sent"];
        QCOMPARE(expiring.stop(), 0);
        // Kept for a second: any start two seconds after it was sent removes it.
        while (int64_t(std::time(nullptr)) < sent + 2)
            QTest::qWait(50);
        QVERIFY2(expiring.start({"--keep", "1s"}), qPrintable(expiring.log));
        if (qEnvironmentVariableIsEmpty("BELFRY_TEST_PG"))
            QCOMPARE(QDir(expiring.data + "/ringtones").entryList(QDir::Files), QStringList());
        QVERIFY(!lists(expiring.beat(pcid), second));
        QCOMPARE(expiring.post("/phone/v1/sent", phone.credentials()).body["ringtones"], json::array());
    }

    // Quotas per PC, and a budget per address whatever the PCs: one address
    // pairing with made-up client ids stores no more. Their edges, and the
    // quota's bytes: test_rules' quotas and uploadBudget.
    void quotas()
    {
        Service limited(dir.path() + "/quotas");
        QVERIFY2(limited.start({"--max-waiting", "3", "--upload-limit", "4", "--convert-temp", scratch()}),
            qPrintable(limited.log));
        const Phone many = pair(newPcid(), "dev-m", "Phone", &limited);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(send(many, sample("knock"), "Bell", &limited).status, 201);
        const Reply refused = send(many, sample("knock"), "Bell", &limited);
        QCOMPARE(refused.status, 507);
        QVERIFY2(refused.body.value("error", "").find("at most 3") != std::string::npos, refused.raw.c_str());
        // A full PC is told before any of a tune is read, and the page can tell beforehand.
        const Reply early = headOnly("/phone/v1/tune?pcid=" + many.pcid + "&device_id=dev-m&name=Bell",
            40 * 1024 * 1024, many.token, &limited);
        QCOMPARE(early.status, 507);
        QCOMPARE(early.body["code"], "quota");
        QCOMPARE(limited.post("/phone/v1/sent", many.credentials()).body["full"], true);
        QCOMPARE(send(pair(newPcid(), "dev-m", "Phone", &limited), sample("knock"), "Bell", &limited).status,
            201);  // per PC
        // That was the address's fourth upload: a full PC cost none.
        const Phone next = pair(newPcid(), "dev-n", "Phone", &limited);
        QCOMPARE(tune(next, noise30, "&name=Noise", &limited).status, 429);
        QCOMPARE(send(next, sample("knock"), "Bell", &limited).status, 429);
        QCOMPARE(tune(next, noise30, "&name=Noise", &limited, "127.0.0.2").status, 201);
        const json sent = limited.post("/phone/v1/sent", next.credentials()).body;
        QCOMPARE(sent["ringtones"].size(), size_t(1));
        QCOMPARE(sent["full"], false);

        // The page's limits come from the service.
        const json limits = limited.request("GET", "/phone/v1/limits").body;
        QCOMPARE(limits["tune_max_bytes"], 40 * 1024 * 1024);
        QCOMPARE(limits["name_max_bytes"], 251);
        QCOMPARE(limits["fade_seconds"], belfry::RingtoneFadeSeconds);  // the fade the page draws is the one made
        const std::regex pcidForm(limits.value("pcid_pattern", "$^"));
        QVERIFY(std::regex_match(newPcid(), pcidForm));
        QVERIFY(!std::regex_match("0123ABCD-0000-R000-8000-00000000CAFE", pcidForm));
    }

    void sentAndWithdrawn()
    {
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-s"), other = pair(pcid, "dev-o");
        const int64_t fetched = send(phone, sample("chime"), "Chime").body["id"];
        const int64_t waiting = send(phone, sample("bell"), "Bell").body["id"];
        const int64_t others = send(other, sample("knock")).body["id"];
        const std::string chime = service->request("GET", downloadUrlPath(pcid, fetched)).raw;
        QVERIFY(sameAudio(chime, sample("chime")));
        QVERIFY(delivered(pcid, fetched));
        const std::string file = downloadUrlPath(pcid, waiting);

        const json list = service->post("/phone/v1/sent", phone.credentials()).body["ringtones"];
        QCOMPARE(list.size(), size_t(2));
        QCOMPARE(list[0]["id"], waiting);
        QCOMPARE(list[0]["name"], "Bell");
        QCOMPARE(list[0]["state"], "waiting");
        QVERIFY(std::abs(list[0]["sent"].get<int64_t>() - int64_t(std::time(nullptr))) < 60);
        QCOMPARE(list[1]["id"], fetched);
        QCOMPARE(list[1]["size"], chime.size());
        QCOMPARE(list[1]["state"], "fetched");

        const auto withdraw = [&](const Phone &by, int64_t id) {
            json body = by.credentials();
            body["id"] = id;
            return service->post("/phone/v1/withdraw", body).status;
        };
        Phone wrongToken = phone;
        wrongToken.token = other.token;
        QCOMPARE(withdraw(wrongToken, waiting), 403);
        QCOMPARE(withdraw(phone, fetched), 404);
        QCOMPARE(withdraw(phone, others), 404);
        QCOMPARE(withdraw(phone, waiting), 200);
        QCOMPARE(withdraw(phone, waiting), 404);
        QCOMPARE(service->beat(pcid)["sync"], json::array({std::to_string(others)}));
        QCOMPARE(service->request("GET", file).status, 404);
        QCOMPARE(service->post("/phone/v1/sent", phone.credentials()).body["ringtones"].size(), size_t(1));
        QCOMPARE(service->post("/phone/v1/sent", wrongToken.credentials()).status, 403);
    }

    // A full disk stops uploads and pairings, not what frees it: beats, ringtone
    // information and downloads go on, the log says so once, and everything
    // resumes by itself once there is room. The disk is a small tmpfs, or on
    // PostgreSQL a trigger that fails every write as a full disk does.
    void fullDisk()
    {
        const bool pg = !qEnvironmentVariableIsEmpty("BELFRY_TEST_PG");
        const QString data = dir.path() + "/full";
        QVERIFY(QDir().mkpath(data));
        if (!pg && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=16m", "tmpfs", data}) != 0)
            QSKIP("a full disk needs a small tmpfs, which only root may mount here");
        const auto psql = [](const char *statement) {
            return QProcess::execute("psql",
                       {qEnvironmentVariable("BELFRY_TEST_PG"), "-q", "-v", "ON_ERROR_STOP=1", "-c",
                           QString("SET client_min_messages TO warning; ") + statement})
                == 0;
        };
        const char *room = "DROP FUNCTION IF EXISTS belfry_test_full() CASCADE";
        const auto restore = qScopeGuard([&] {
            if (!pg)
                QProcess::execute("umount", {data});
            else
                psql(room);
        });
        Service full(data);
        QVERIFY2(full.start(options()), qPrintable(full.log));
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-f", "Phone", &full);
        const int64_t id = send(phone, sample("knock"), "Bell", &full).body["id"];
        const int64_t confirmed = send(phone, sample("chime"), "Chime", &full).body["id"];
        QFile filler(data + "/filler");
        if (pg) {
            QVERIFY(psql(R"(CREATE FUNCTION belfry_test_full() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN
                            RAISE EXCEPTION 'could not extend file' USING ERRCODE = 'disk_full'; END $$;
                            CREATE TRIGGER full_pcs BEFORE INSERT OR UPDATE ON pcs FOR EACH ROW
                                EXECUTE FUNCTION belfry_test_full();
                            CREATE TRIGGER full_pairings BEFORE INSERT OR UPDATE ON pairings FOR EACH ROW
                                EXECUTE FUNCTION belfry_test_full();
                            CREATE TRIGGER full_ringtones BEFORE INSERT OR UPDATE ON ringtones FOR EACH ROW
                                EXECUTE FUNCTION belfry_test_full();
                            CREATE TRIGGER full_budgets BEFORE INSERT OR UPDATE ON address_budgets FOR EACH ROW
                                EXECUTE FUNCTION belfry_test_full();
                            CREATE TRIGGER full_events BEFORE INSERT OR UPDATE ON event_counts FOR EACH ROW
                                EXECUTE FUNCTION belfry_test_full();)"));
        } else {
            // Its log emptied first, the database needs room for any write.
            QCOMPARE(sqlite(data + "/belfry.sqlite", "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
            QVERIFY(filler.open(QIODevice::WriteOnly));
            const QByteArray block(1 << 16, 'x');
            while (filler.write(block) == block.size() && filler.flush()) { }
            filler.close();
        }
        const json beat = full.beat(pcid);
        QCOMPARE(beat["sync"], json::array({std::to_string(id), std::to_string(confirmed)}));
        QCOMPARE(full.beat(newPcid())["sync"], json::array());  // a PC the full disk cannot take in
        const Reply info = full.request("GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(id));
        const std::string url = info.body.value("data", json::object()).value("download_url", "");
        QVERIFY2(url.find("/f/") != std::string::npos, info.raw.c_str());
        const Reply file = full.request("GET", url.substr(url.find("/f/")));
        QCOMPARE(file.status, 200);
        QVERIFY(!file.raw.empty());
        // A delivery or a confirmation the disk cannot take is kept in
        // memory: neither is listed again, so neither is fetched twice.
        QVERIFY(full.waitForLog("delivered; not recorded yet"));
        QCOMPARE(full.confirm(pcid, {std::to_string(confirmed)}).body["sync"], json::array());
        QVERIFY(full.waitForLog(QString("ringtone %1 was confirmed; the delivery is not recorded").arg(confirmed)));
        QCOMPARE(full.beat(pcid)["sync"], json::array());
        for (const Reply &refused : {send(phone, sample("bell"), "Bell", &full),
                 // From an address of its own: on PostgreSQL earlier rows spent this one's events.
                 full.request("GET", "/p/feedback?pcid=" + pcid + "&ver=1.0.1&event=opened", {}, {}, {},
                     "127.0.0.19"),
                 full.post(
                     "/phone/v1/pair", {{"pcid", pcid}, {"device_id", "dev-g"}, {"device_name", "Phone"}})}) {
            QCOMPARE(refused.status, 507);
            QCOMPARE(refused.body["code"], "disk-full");
        }
        QCOMPARE(full.metric("belfry_disk_full"), 1.0);
        QVERIFY(full.waitForLog("disk is full: "));
        QCOMPARE(full.log.count("disk is full: "), 1);  // once a minute, not once per request

        QVERIFY(pg ? psql(room) : filler.remove());
        QCOMPARE(
            full.post("/phone/v1/pair", {{"pcid", pcid}, {"device_id", "dev-g"}, {"device_name", "Phone"}})
                .status,
            200);
        QCOMPARE(send(phone, sample("bell"), "Bell", &full).status, 201);
        // When what was kept in memory is written: test_rules' unrecordedRetried.
        QCOMPARE(full.beat(pcid)["sync"].size(), size_t(1));
    }

    // A write waits for a writer outside the service; reads go on meanwhile.
    void outsideWriterHoldsUpOnlyWrites()
    {
        if (!qEnvironmentVariableIsEmpty("BELFRY_TEST_PG"))
            QSKIP("the database file is SQLite's");
        sqlite3 *outside = nullptr;
        QCOMPARE(sqlite3_open(qPrintable(service->data + "/belfry.sqlite"), &outside), SQLITE_OK);
        QCOMPARE(sqlite3_exec(outside, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        const std::string pcid = newPcid();
        auto pairing = std::async(std::launch::async, [&] {
            return pair(pcid, "dev-w").token;
        });
        QTest::qWait(300);
        QCOMPARE(
            service->request("GET", "/p/conf?pcid=" + pcid + "&version=1.0.1&platform=window").status, 200);
        QVERIFY(pairing.wait_for(std::chrono::seconds(0)) == std::future_status::timeout);
        sqlite3_exec(outside, "COMMIT", nullptr, nullptr, nullptr);
        QCOMPARE(pairing.get().size(), size_t(64));

        // Beats that waited meanwhile go together, in one transaction: when one
        // of them fails, none took its news, which the next beat gets once.
        const std::string failing = newPcid();
        service->beat(failing);
        const std::string trigger
            = "BEGIN IMMEDIATE; CREATE TRIGGER failing BEFORE UPDATE ON pcs WHEN NEW.pcid = '" + failing
            + "' BEGIN SELECT RAISE(ABORT, 'injected'); END";
        QCOMPARE(sqlite3_exec(outside, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        const auto beating = [&](const std::string &id) {
            return std::async(std::launch::async, [&, id] {
                return service->post("/p/v1/heart",
                    {{"pcid", id}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}});
            });
        };
        auto first = beating(failing);  // leads a batch of its own, waiting for the writer
        QTest::qWait(300);
        auto news = beating(pcid);
        QTest::qWait(150);
        auto again = beating(failing);
        QTest::qWait(300);
        sqlite3_exec(outside, "COMMIT", nullptr, nullptr, nullptr);
        const int statuses[] = {first.get().status, news.get().status, again.get().status};
        sqlite3_exec(outside, "DROP TRIGGER failing", nullptr, nullptr, nullptr);
        sqlite3_close(outside);
        for (int status : statuses)
            QCOMPARE(status, 500);
        QCOMPARE(service->beat(pcid)["pair"].size(), size_t(1));
        QCOMPARE(service->beat(pcid)["pair"], json::array());
    }

    // Pairings made before tokens were hashed keep working; the database files hold no token.
    void tokensKeptAsHashes()
    {
        if (!qEnvironmentVariableIsEmpty("BELFRY_TEST_PG"))
            QSKIP("the database file is SQLite's");
        Service earlier(dir.path() + "/hashes");
        QVERIFY2(earlier.start(), qPrintable(earlier.log));
        const Phone old = pair(newPcid(), "dev-h", "Phone", &earlier);
        QCOMPARE(earlier.stop(), 0);
        const QString file = earlier.data + "/belfry.sqlite";
        // As the schema was then; events were kept one by one.
        QCOMPARE(
            sqlite(file,
                "ALTER TABLE pcs DROP COLUMN receipts; ALTER TABLE pairings RENAME COLUMN token_hash TO token;"
                " UPDATE pairings SET token = '"
                    + old.token
                    + "'; DROP TABLE event_counts; CREATE TABLE events (seq INTEGER"
                      " PRIMARY KEY AUTOINCREMENT, pcid TEXT NOT NULL, version TEXT NOT NULL, name TEXT NOT"
                      " NULL, at INTEGER NOT NULL); INSERT INTO events (pcid, version, name, at) VALUES ('"
                    + old.pcid + "', '1.0.1', 'kept', strftime('%s')); PRAGMA user_version = 2"),
            "");
        QVERIFY2(earlier.start(), qPrintable(earlier.log));
        QCOMPARE(earlier.request("GET", "/admin/v1/stats", {}, earlier.adminToken()).body["stats"]["events"],
            (json {{"kept", 1}}));
        QCOMPARE(send(old, sample("knock"), "Bell", &earlier).status, 201);
        const Phone fresh = pair(newPcid(), "dev-n", "Phone", &earlier);
        QCOMPARE(send(fresh, sample("knock"), "Bell", &earlier).status, 201);
        QByteArray stored;  // while it runs: no later checkpoint is waited for
        for (const char *suffix : {"", "-wal"}) {
            QFile f(file + suffix);
            if (f.open(QIODevice::ReadOnly))
                stored += f.readAll();
        }
        QVERIFY(!stored.contains(QByteArray::fromStdString(old.token)));
        QVERIFY(!stored.contains(QByteArray::fromStdString(fresh.token)));
    }

    // Nothing is deleted on the word of a database that could not be read.
    void damagedStoreRefused_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("logged");  // by the next request that touches it
        QTest::addColumn<QString>("named");  // by the refusal to start
        const auto row = [](const char *name, const char *damage, const char *logged, const char *named) {
            QTest::newRow(name) << damage << logged << named;
        };
        row("garbage in the ringtones table", "ringtones", "storage: beat: database disk image is malformed",
            "belfry.sqlite is damaged");
        row("garbage in a table no start reads", "event_counts", "", "belfry.sqlite is damaged");
        row("a failed query at start", "column", "", "belfry.sqlite (no such column: file_key)");
        row("the ringtones folder unreadable", "folder", "", "ringtones (Not a directory)");
    }
    void damagedStoreRefused()
    {
        if (!qEnvironmentVariableIsEmpty("BELFRY_TEST_PG"))
            QSKIP("the database file is SQLite's");
        QFETCH(QString, damage);
        QFETCH(QString, logged);
        QFETCH(QString, named);
        // Thirty ringtones are made once; each row damages a copy of their folder.
        static const QString made = dir.path() + "/damaged";
        static const std::string pcid = [&] {
            Service once(made);
            const std::string id = newPcid();
            if (once.start()) {
                const Phone phone = pair(id, "dev-d", "Phone", &once);
                for (int i = 0; i < 30; ++i)
                    send(phone, sample("knock"), "Bell", &once);
            }
            once.stop();
            return id;
        }();
        Service damaged(made + "-" + damage);
        QVERIFY(copyFolder(made, damaged.data) && copyFolder(made + "/ringtones", damaged.data + "/ringtones"));
        QVERIFY2(damaged.start(), qPrintable(damaged.log));
        QCOMPARE(damaged.beat(pcid)["sync"].size(), size_t(30));

        const QString file = damaged.data + "/belfry.sqlite";
        QString files = damaged.data + "/ringtones";
        if (damage == "column") {
            QCOMPARE(sqlite(file, "ALTER TABLE ringtones RENAME COLUMN file_key TO key"), "");
        } else if (damage == "folder") {
            QVERIFY(QDir().rename(files, files + "-moved"));
            QVERIFY(QFile(files).open(QIODevice::WriteOnly));
            files += "-moved";
        } else {
            QCOMPARE(sqlite(file, "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
            const qint64 page = std::stoll(sqlite(file, "PRAGMA page_size"));
            const qint64 root = std::stoll(sqlite(
                file, "SELECT rootpage FROM sqlite_schema WHERE name = '" + damage.toStdString() + "'"));
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadWrite) && f.seek((root - 1) * page));
            QCOMPARE(f.write(QByteArray(64, '\xa5')), 64);
            f.close();
            // A write elsewhere makes the service read its pages anew.
            QCOMPARE(sqlite(file, "INSERT INTO conf VALUES ('', 'Pulse', '9')"), "");
        }
        damaged.beat(pcid);
        if (!logged.isEmpty())
            QVERIFY2(damaged.waitForLog(logged), qPrintable(damaged.log.right(500)));
        QCOMPARE(damaged.stop(), 0);
        QVERIFY(!damaged.start());
        QVERIFY2(damaged.log.contains(named), qPrintable(damaged.log));
        QCOMPARE(QDir(files).entryList(QDir::Files).size(), 30);
    }

    // Two conversions run and four wait: the next upload is turned away at
    // once. A stop ends the conversions under way: their uploads are told so.
    void stopDuringConversion()
    {
        const QString hang = dir.path() + "/hang", temp = dir.path() + "/stopping-convert";
        QVERIFY(writeScript(hang, "#!/bin/sh\nexec /bin/sleep 60\n"));
        QVERIFY(QDir().mkpath(temp));
        Service stopping(dir.path() + "/stopping");
        QVERIFY2(stopping.start({"--ffprobe", hang, "--convert-temp", temp}), qPrintable(stopping.log));
        const Phone phone = pair(newPcid(), "dev-s", "Phone", &stopping);
        std::vector<std::future<int>> uploads;
        for (int i = 0; i < int(belfry::ConvertWorkers + belfry::ConvertWaiting + 1); ++i)
            uploads.push_back(std::async(std::launch::async, [&] {
                return tune(phone, sample("knock"), "&name=Bell", &stopping).status;
            }));
        const auto answered = [&] {
            return std::count_if(uploads.begin(), uploads.end(), [](const std::future<int> &u) {
                return u.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(answered(), 1, 20000);
        QVERIFY2(stopping.waitForLog("busy making other ringtones"), qPrintable(stopping.log));
        QCOMPARE(stopping.stop(), 0);
        for (auto &upload : uploads)
            QCOMPARE(upload.get(), 503);
        QCOMPARE(stopping.log.count(QRegularExpression("/phone/v1/tune status=503 .*the service is stopping")),
            int(belfry::ConvertWorkers + belfry::ConvertWaiting));
    }

    // Last: stops the service and starts it again on the same data.
    void restartKeepsEverything()
    {
        const std::string pcid = newPcid(), admin = service->adminToken();
        const Phone phone = pair(pcid, "dev-r");
        const int64_t delivered = send(phone, sample("chime")).body["id"];
        const int64_t waiting = send(phone, sample("bell"), "Bell").body["id"];
        QVERIFY(sameAudio(service->request("GET", downloadUrlPath(pcid, delivered)).raw, sample("chime")));
        pair(pcid, "dev-k", "Kept");
        service->post("/admin/v1/conf", {{"pcid", pcid}, {"key", "Pulse"}, {"value", "15"}}, admin);
        service->post("/admin/v1/update", {{"version", "9.9.9"}, {"url", "http://dl.example/9"}}, admin);
        const json statsBefore = stats();

        QCOMPARE(service->stop(), 0);
        QVERIFY(service->log.contains("stopped"));
        const bool sqlite = qEnvironmentVariableIsEmpty("BELFRY_TEST_PG");
        const QString files = service->data + "/ringtones/";
        if (sqlite) {
            // What a kill at the wrong moment leaves behind.
            for (const char *name :
                {"tmp-0123456789abcdef0123456789abcdef", "fedcba9876543210fedcba9876543210.m4r"}) {
                QFile f(files + name);
                QVERIFY(f.open(QIODevice::WriteOnly));
            }
        }
        QVERIFY2(service->start(options()), qPrintable(service->log));

        QCOMPARE(service->adminToken(), admin);
        QCOMPARE(stats()["pairings"], statsBefore["pairings"]);
        const json answer = service->beat(pcid);
        QCOMPARE(answer["pair"], (json::array({{{"id", "dev-k"}, {"name", "Kept"}}})));
        QCOMPARE(answer["sync"], json::array({std::to_string(waiting)}));
        QVERIFY(sameAudio(service->request("GET", downloadUrlPath(pcid, waiting)).raw, sample("bell")));
        QCOMPARE(send(phone, sample("knock")).status, 201);
        QCOMPARE(service->request("GET", "/p/conf?pcid=" + pcid + "&version=1.0.1&platform=window")
                     .body["conf"]["Pulse"],
            "15");
        QCOMPARE(service->request("GET", "/p/update?pcid=" + pcid + "&version=1.0.1&platform=window")
                     .body["update"]["version"],
            "9.9.9");
        if (sqlite) {
            const QStringList left = QDir(files).entryList(QDir::Files);
            QVERIFY2(!left.contains("tmp-0123456789abcdef0123456789abcdef"), qPrintable(left.join(' ')));
            QVERIFY2(!left.contains("fedcba9876543210fedcba9876543210.m4r"), qPrintable(left.join(' ')));
        }
    }

    // Each family of the metrics moves when its event happens.
    void metricsMove_data()
    {
        QTest::addColumn<QString>("series");
        QTest::addColumn<QString>("event");
        const auto row = [](const char *series, const char *event) {
            QTest::newRow(qPrintable(QString("%1 on %2").arg(series, event))) << series << event;
        };
        row("belfry_beats_total", "beat");
        row("belfry_confirmations_total", "confirmation");
        row("belfry_deliveries_total", "delivery");
        row("belfry_uploads_total", "upload");
        row("belfry_conversion_seconds_count", "upload");
        row("belfry_refusals_total{code=\"not-found\"}", "unknown address");
        row("belfry_refusals_total{code=\"bad-request\"}", "malformed beat");
        row("belfry_refusals_total{code=\"denied\"}", "wrong admin token");
        row("belfry_refusals_total{code=\"method\"}", "GET of a beat");
        row("belfry_store_seconds_count{op=\"beat\"}", "beat");
        row("belfry_store_seconds_count{op=\"write\"}", "pairing");
        row("belfry_store_seconds_count{op=\"read\"}", "settings");
        row("belfry_store_seconds_count{op=\"file\"}", "delivery");
    }
    void metricsMove()
    {
        QFETCH(QString, series);
        QFETCH(QString, event);
        const std::string pcid = newPcid();
        const std::map<QString, std::function<void()>> events = {
            {"beat", [&] { service->beat(pcid); }},
            {"pairing", [&] { pair(pcid, "dev-m"); }},
            {"settings", [&] { service->request("GET", "/p/conf?pcid=" + pcid + "&version=1.0.1"); }},
            {"confirmation",
                [&] {
                    const int64_t id = send(pair(pcid, "dev-m"), sample("knock")).body["id"];
                    service->confirm(pcid, {std::to_string(id)});
                }},
            {"delivery",
                [&] {
                    const int64_t id = send(pair(pcid, "dev-m"), sample("knock")).body["id"];
                    service->request("GET", downloadUrlPath(pcid, id));
                    QVERIFY(delivered(pcid, id));
                }},
            {"upload", [&] { QCOMPARE(tune(pair(pcid, "dev-m"), tone90).status, 201); }},
            {"unknown address", [&] { service->request("GET", "/nowhere"); }},
            {"malformed beat", [&] { service->post("/p/v1/heart", {{"pcid", pcid}}); }},
            {"wrong admin token", [&] { service->request("GET", "/admin/v1/stats", {}, "wrong"); }},
            {"GET of a beat", [&] { service->request("GET", "/p/v1/heart"); }},
        };
        const std::string name = series.toStdString();
        const double before = service->metric(name);
        QVERIFY2(before >= 0, name.c_str());
        events.at(event)();
        QVERIFY2(service->metric(name) > before, name.c_str());
    }

    // Gauges say what is held while it is held.
    void metricsHold_data()
    {
        QTest::addColumn<QString>("series");
        QTest::newRow("open connections") << "belfry_open_connections";
        QTest::newRow("upload bodies") << "belfry_upload_memory_bytes";
        QTest::newRow("files being sent") << "belfry_file_memory_bytes";
        QTest::newRow("conversions") << "belfry_conversion_queue_depth";
    }
    void metricsHold()
    {
        QFETCH(QString, series);
        const std::string pcid = newPcid();
        const Phone phone = pair(pcid, "dev-h");
        Raw held(service->port);
        std::future<Reply> converting;
        if (series.contains("upload"))
            held.send("POST /phone/v1/tune?pcid=" + pcid + "&device_id=dev-h&name=Held HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                "Authorization: Bearer " + phone.token + "\r\nContent-Length: 2000000\r\n\r\nxx");
        if (series.contains("file")) {
            const int small = 4096;
            ::setsockopt(held.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            const Reply made = tune(phone, noise30);
            QCOMPARE(made.status, 201);
            const std::string path = downloadUrlPath(pcid, made.body["id"]);
            held.send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        }
        if (series.contains("conversion"))
            converting = std::async(std::launch::async, [&] { return tune(phone, noise30); });
        // Taken once the request's head is read, which the scrape does not wait for.
        double value = 0;
        for (int i = 0; i < 500 && value <= 0; ++i, QTest::qWait(10))
            value = service->metric(series.toStdString());
        QVERIFY2(value > 0, qPrintable(series));
        if (converting.valid())
            QCOMPARE(converting.get().status, 201);
    }

    // What Prometheus' own checker says of a scrape, every family having moved.
    void metricsPassPromtool()
    {
        const QString promtool = QStandardPaths::findExecutable("promtool");
        if (promtool.isEmpty())
            QSKIP("promtool is not installed (Debian's prometheus package; scripts/setup.sh installs it)");
        const Reply scrape = service->request("GET", "/metrics", {}, service->adminToken());
        QCOMPARE(scrape.status, 200);
        QVERIFY(QString::fromStdString(scrape.headers.find("Content-Type")->second).startsWith("text/plain; version=0.0.4"));
        QProcess check;
        check.start(promtool, {"check", "metrics"});
        check.write(QByteArray::fromStdString(scrape.raw));
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(30000));
        const QString said = check.readAll();
        QVERIFY2(check.exitCode() == 0 && said.trimmed().isEmpty(), qPrintable(said));
    }

    // The metrics' own address serves them without the token, and nothing
    // else; the service's own address only with it.
    void metricsListen_data()
    {
        QTest::addColumn<bool>("own");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("token");
        QTest::addColumn<int>("status");
        QTest::newRow("metrics' address, no token") << true << "/metrics" << false << 200;
        QTest::newRow("metrics' address, a route of the service") << true << "/phone/v1/limits" << false << 404;
        QTest::newRow("metrics' address, the admin's stats") << true << "/admin/v1/stats" << true << 404;
        QTest::newRow("service's address, no token") << false << "/metrics" << false << 401;
        QTest::newRow("service's address, the token") << false << "/metrics" << true << 200;
    }
    void metricsListen()
    {
        QFETCH(bool, own);
        QFETCH(QString, path);
        QFETCH(bool, token);
        QFETCH(int, status);
        Service apart(dir.path() + "/metrics-apart");
        QVERIFY2(apart.start({"--metrics-listen", "127.0.0.1:0"}), qPrintable(apart.log));
        const QRegularExpression address(QStringLiteral("metrics on http://127.0.0.1:(\\d+)/metrics"));
        const int metricsPort = address.match(apart.log).captured(1).toInt();
        QVERIFY2(metricsPort > 0 && metricsPort != apart.port, qPrintable(apart.log));
        const int servicePort = apart.port;
        apart.port = own ? metricsPort : servicePort;
        const Reply r = apart.request("GET", path.toStdString(), {}, token ? apart.adminToken() : "");
        apart.port = servicePort;
        QCOMPARE(r.status, status);
        if (status == 200)
            QVERIFY(r.raw.find("\nbelfry_beats_total ") != std::string::npos);
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
