// The service's rules in-process: core/ on a real SQLite store in a
// temporary folder, with a clock the test turns. No sockets: each edge of a
// budget, an expiry or a delivery is one row.

#include "api/service.h"
#include "core/beats.h"
#include "core/budgets.h"
#include "core/deliveries.h"
#include "core/uploads.h"
#include "media/convert.h"
#include "rules/fields.h"
#include "service_limits.h"
#include "store/storage.h"
#include "tests/support/devicenames.h"

#include <QDir>
#include <QTemporaryDir>
#include "tests/support/script.h"

#include <QtTest>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

using namespace belfry;

namespace {

constexpr int64_t Start = 1800000000;
const std::string Here = "192.0.2.1";
const std::string Elsewhere = "198.51.100.7";

std::string pcid(int n)
{
    const std::string digits = std::to_string(n);
    return "00000000-0000-4000-8000-" + std::string(12 - digits.size(), '0') + digits;
}

// A store whose disk fills at the test's word: while `full`, every write is
// refused as a full disk refuses it (nothing written, Full), reads go on.
class FillingStore : public Storage
{
public:
    explicit FillingStore(std::unique_ptr<Storage> store)
        : store(std::move(store))
    { }
    bool full = false;

    Result beat(const Beat &b, BeatAnswer &a) override { return full ? Result::Full : store->beat(b, a); }
    Result peekBeat(const Beat &b, BeatAnswer &a) override { return store->peekBeat(b, a); }
    Result unpair(const std::string &pc, const std::vector<std::string> &ids) override
    {
        return full ? Result::Full : store->unpair(pc, ids);
    }
    Result conf(const std::string &pc, std::map<std::string, std::string> &v) override { return store->conf(pc, v); }
    Result latestUpdate(Update &u) override { return store->latestUpdate(u); }
    Result ringtone(int64_t id, RingtoneInfo &i) override { return store->ringtone(id, i); }
    Result ringtoneByFileKey(const std::string &k, RingtoneInfo &i) override { return store->ringtoneByFileKey(k, i); }
    Result ringtoneFilePart(const RingtoneInfo &i, int64_t offset, size_t length, std::string &bytes) override
    {
        return store->ringtoneFilePart(i, offset, length, bytes);
    }
    Result markDelivered(int64_t id, int64_t now) override
    {
        return full ? Result::Full : store->markDelivered(id, now);
    }
    Result recordEvent(const std::string &pc, const std::string &e, int64_t now) override
    {
        return full ? Result::Full : store->recordEvent(pc, e, now);
    }
    Result pair(const std::string &pc, const Device &d, const std::string &token, int64_t now) override
    {
        return full ? Result::Full : store->pair(pc, d, token, now);
    }
    Result removePairing(const std::string &pc, const std::string &device, const std::string &token) override
    {
        return full ? Result::Full : store->removePairing(pc, device, token);
    }
    Result checkPairing(const std::string &pc, const std::string &device, const std::string &token) override
    {
        return store->checkPairing(pc, device, token);
    }
    Result waitingLoad(const std::string &pc, Load &load) override { return store->waitingLoad(pc, load); }
    Result addRingtone(const NewRingtone &r, const std::string &bytes) override
    {
        return full ? Result::Full : store->addRingtone(r, bytes);
    }
    Result sentRingtones(const std::string &pc, const std::string &device, const std::string &token, size_t limit,
        std::vector<SentRingtone> &out) override
    {
        return store->sentRingtones(pc, device, token, limit, out);
    }
    Result withdrawRingtone(const std::string &pc, const std::string &device, const std::string &token,
        int64_t id) override
    {
        return full ? Result::Full : store->withdrawRingtone(pc, device, token, id);
    }
    Result expireRingtones(int64_t before, int64_t &removed) override
    {
        return full ? Result::Full : store->expireRingtones(before, removed);
    }
    Result expireAnonymous(int64_t events, int64_t pcs) override
    {
        return full ? Result::Full : store->expireAnonymous(events, pcs);
    }
    Result publishUpdate(const Update &u) override { return full ? Result::Full : store->publishUpdate(u); }
    Result setConf(const std::string &pc, const std::string &key, const std::string &value) override
    {
        return full ? Result::Full : store->setConf(pc, key, value);
    }
    Result stats(int64_t now, Stats &s) override { return store->stats(now, s); }

private:
    std::unique_ptr<Storage> store;
};

// A store, a clock and the rules over them.
struct Rules
{
    explicit Rules(int64_t keepSeconds = DefaultKeepSeconds, int64_t newPcsPerDay = DefaultNewPcsPerDay,
        Quota quota = {}, int64_t uploadsPerHour = DefaultUploadsPerHour)
    {
        std::string error;
        std::unique_ptr<Storage> sqlite = openSqliteStorage(dir.path().toStdString(), error);
        if (!sqlite) {
            qWarning("%s", error.c_str());
            return;
        }
        storage = std::make_unique<FillingStore>(std::move(sqlite));
        beats = std::make_unique<Beats>(*storage, keepSeconds, newPcsPerDay, [this] { return now; });
        uploads = std::make_unique<Uploads>(*storage, *beats, queue, quota, uploadsPerHour);
    }

    Verdict beat(const std::string &pc, const std::string &address = Here, bool receipts = false,
        std::vector<int64_t> got = {})
    {
        Beat b;
        b.pcid = pc;
        b.version = "1.0.1";
        b.expire = 60;
        b.address = address;
        b.receipts = receipts;
        b.got = std::move(got);
        answer = {};
        return beats->beat(b, answer);
    }

    bool listed(int64_t id) const
    {
        return std::find(answer.waiting.begin(), answer.waiting.end(), id) != answer.waiting.end();
    }

    // A phone paired with `pc` now sends it a ringtone.
    static NewRingtone from(const std::string &pc)
    {
        NewRingtone r;
        r.pcid = pc;
        r.deviceId = "dev-1";
        r.deviceToken = "token";
        r.name = "Bell";
        return r;
    }

    // A ringtone for `pc` from a phone paired with it now.
    int64_t send(const std::string &pc, int64_t id = 4242, size_t size = 14)
    {
        if (storage->pair(pc, {"dev-1", "Phone"}, "token", now) != Result::Ok)
            return 0;
        NewRingtone r = from(pc);
        r.id = id;
        r.fileKey = "key" + std::to_string(id);
        r.now = now;
        return storage->addRingtone(r, std::string(size, 'x')) == Result::Ok ? id : 0;
    }

    // What the converter made of an upload: `size` bytes.
    static Conversion made(size_t size)
    {
        Conversion c;
        c.status = ConvertStatus::Ok;
        c.ringtone = std::string(size, 'x');
        return c;
    }

    QTemporaryDir dir;
    int64_t now = Start;
    std::unique_ptr<FillingStore> storage;
    std::unique_ptr<Beats> beats;
    // Never given a file here: the rows hand the store what it would make.
    const Converter converter;
    ConvertQueue queue {converter, 1, 1};
    std::unique_ptr<Uploads> uploads;
    BeatAnswer answer;
};

// The service's routes over a rules' store, called as the transport calls
// them once a request is read: the fields' checks and the budgets' answers
// as a client meets them, without a socket. The service keeps its own clock.
struct Api
{
    using json = nlohmann::json;
    static constexpr const char *AdminToken = "0123456789abcdef0123456789abcdef";
    static constexpr const char *DeviceToken = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

    explicit Api(Storage &storage)
        : service(storage, options()), routes(service.routes())
    { }
    static ServiceOptions options()
    {
        ServiceOptions o;
        o.adminToken = AdminToken;
        o.listenAddress = "127.0.0.1:8750";
        return o;
    }

    // `target` is a path with its query; the admin's token or `bearer` goes along.
    Response call(const char *method, const std::string &target, const json &body = nullptr,
        const std::string &bearer = AdminToken)
    {
        Request req;
        req.method = method;
        req.path = target.substr(0, target.find('?'));
        if (target.find('?') != std::string::npos) {
            for (const QString &pair : QString::fromStdString(target.substr(target.find('?') + 1)).split('&')) {
                const QStringList kv = pair.split('=');
                req.params.emplace_back(kv.value(0).toStdString(), kv.value(1).toStdString());
            }
        }
        req.body = body.is_null() ? std::string() : body.dump();
        req.peer = req.source = Here;
        req.headers.emplace_back("Authorization", "Bearer " + bearer);
        Response res;
        res.status = 0;
        for (const Route &r : routes)
            if (req.method == r.method && req.path == r.path) {
                res.status = 200;
                if (r.admit)
                    r.admit(req, res);
                else
                    r.handle(req, res);
            }
        return res;
    }
    static json beatOf(const std::string &pc)
    {
        return {{"pcid", pc}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 60}};
    }
    static std::string header(const Response &res, const char *name)
    {
        for (const auto &[key, value] : res.headers)
            if (key == name)
                return value;
        return {};
    }

    Service service;
    std::vector<Route> routes;
};

// A request whose `field` is `size` long (or large), from a PC that beat
// and a phone paired with it; every other field as a client sends it.
Response askWithField(Api &api, const QString &field, int64_t size)
{
    using json = nlohmann::json;
    const std::string pc = pcid(1), text(size_t(std::max<int64_t>(0, std::min<int64_t>(size, 1 << 20))), 'a');
    json beat = Api::beatOf(pc), nested = 1;
    if (field == "beat: version")
        beat["version"] = text;
    else if (field == "beat: platform")
        beat["platform"] = text;
    else if (field == "beat: expire")
        beat["expire"] = size;
    else if (field == "JSON: values")  // the beat and its padding's brackets and separators are ten
        beat["padding"] = std::vector<int>(size_t(size - 10), 1);
    else if (field == "JSON: depth") {
        for (int64_t i = 1; i < size; ++i)
            nested = json::array({nested});
        beat["padding"] = nested;
    }
    if (field.startsWith("beat") || field.startsWith("JSON"))
        return api.call("POST", "/p/v1/heart", beat);
    json unpair = {{"pcid", pc}, {"version", "1.0.1"}, {"platform", "window"}, {"data", json::array()}};
    if (field == "unpair: a device id") {
        unpair["data"] = {text};
        return api.call("POST", "/p/v1/unpair", unpair);
    }
    if (field == "feedback: event")
        return api.call("GET", "/p/feedback?pcid=" + pc + "&ver=1.0.1&event=" + text);
    if (field == "lookup: ringtone id")
        return api.call("GET", "/apiv1/ringtone?ringtoneid=" + std::to_string(size));
    if (field.startsWith("pair"))
        return api.call("POST", "/phone/v1/pair",
            {{"pcid", pc}, {"device_id", field == "pair: device id" ? text : "dev-2"},
                {"device_name", field == "pair: device name" ? text : "Phone"}});
    if (field == "update: version" || field == "update: url")
        return api.call("POST", "/admin/v1/update",
            {{"version", field == "update: version" ? text : "9"},
                {"url", field == "update: url" ? "http://" + text.substr(7) : "http://x.example/"}});
    if (field.startsWith("conf"))
        return api.call("POST", "/admin/v1/conf",
            {{"key", field == "conf: key" ? text : "Pulse"}, {"value", field == "conf: value" ? text : "1"}});
    // The tune's start in seconds, or the digits of a start of 1200 s.
    const std::string start = field == "tune: start" ? std::to_string(size)
                                                     : std::string(size_t(size) - 4, '0') + "1200";
    return api.call("POST", "/phone/v1/tune?pcid=" + pc + "&device_id=dev-1&name=Bell&start=" + start, nullptr,
        Api::DeviceToken);
}

}  // namespace

class TestRules : public QObject
{
    Q_OBJECT

private slots:
    // PCs not seen before cost their address; known ones never do.
    void newPcBudget_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("before");  // new PCs from Here first
        QTest::addColumn<int>("pause");  // seconds before the last beat
        QTest::addColumn<bool>("known");  // the last beat is of the first PC
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("refused");
        const int share = int(DaySeconds / 3);
        QTest::newRow("the last unit") << 3 << 2 << 0 << false << "here" << false;
        QTest::newRow("the first refused") << 3 << 3 << 0 << false << "here" << true;
        QTest::newRow("a second short of a unit back") << 3 << 3 << share - 1 << false << "here" << true;
        QTest::newRow("a unit back after its share of the day") << 3 << 3 << share << false << "here" << false;
        QTest::newRow("a known PC costs nothing") << 1 << 1 << 0 << true << "here" << false;
        QTest::newRow("another address has its own") << 1 << 1 << 0 << false << "elsewhere" << false;
    }
    void newPcBudget()
    {
        QFETCH(int, capacity);
        QFETCH(int, before);
        QFETCH(int, pause);
        QFETCH(bool, known);
        QFETCH(QString, from);
        QFETCH(bool, refused);
        Rules rules(DefaultKeepSeconds, capacity);
        QVERIFY(rules.beats);
        for (int i = 1; i <= before; ++i)
            QVERIFY(rules.beat(pcid(i)).ok());
        rules.now += pause;
        const Verdict last = rules.beat(known ? pcid(1) : pcid(before + 1), from == "here" ? Here : Elsewhere);
        QCOMPARE(last.spent, refused);
        QCOMPARE(last.wait, refused ? DaySeconds / capacity + 1 : 0);
        QCOMPARE(rules.answer.created, !refused && !known);
    }

    // Wider networks have budgets of their own, and the service one for all:
    // addresses that each have units left are refused once their network, or
    // everyone, has none. One new PC a day per address here.
    void nestedBudgets_data()
    {
        QTest::addColumn<QString>("spread");  // how the first PCs' addresses differ
        QTest::addColumn<int>("filled");  // new PCs from as many addresses first
        QTest::addColumn<QString>("last");  // the address of the last new PC
        QTest::addColumn<bool>("refused");
        QTest::newRow("the /24's last unit") << "v4" << 7 << "192.0.2.200" << false;
        QTest::newRow("the /24's first refused") << "v4" << 8 << "192.0.2.200" << true;
        QTest::newRow("another /24 has its own") << "v4" << 8 << "192.0.3.1" << false;
        QTest::newRow("the /56's last unit") << "v6" << 3 << "2001:db8:0:ff::/64" << false;
        QTest::newRow("the /56's first refused") << "v6" << 4 << "2001:db8:0:ff::/64" << true;
        QTest::newRow("the /48's last unit")
            << "v6" << int(BudgetNestings[2].times) - 1 << "2001:db8:0:ff00::/64" << false;
        QTest::newRow("the /48's first refused") << "v6" << 16 << "2001:db8:0:ff00::/64" << true;
        QTest::newRow("another /48 has its own") << "v6" << 16 << "2001:db8:1::/64" << false;
        QTest::newRow("the ceiling's last unit") << "wide" << int(NewPcsCeilingTimes) - 1 << "10.200.0.1" << false;
        QTest::newRow("the ceiling's first refused") << "wide" << int(NewPcsCeilingTimes) << "10.200.0.1" << true;
    }
    void nestedBudgets()
    {
        QFETCH(QString, spread);
        QFETCH(int, filled);
        QFETCH(QString, last);
        QFETCH(bool, refused);
        Rules rules(DefaultKeepSeconds, 1);
        QVERIFY(rules.beats);
        const auto address = [&](int i) {
            if (spread == "v4")
                return "192.0.2." + std::to_string(i + 1);
            if (spread == "wide")
                return "10." + std::to_string(i) + ".0.1";
            // Four /64s in each /56, in one /48.
            return QString::asprintf("2001:db8:0:%x::/64", (i / 4) * 0x100 + i % 4).toStdString();
        };
        for (int i = 0; i < filled; ++i)
            QVERIFY(rules.beat(pcid(i + 1), address(i)).ok());
        QCOMPARE(rules.beat(pcid(filled + 1), last.toStdString()).spent, refused);
    }

    // A ringtone is handed out by id only where a beat listed it, for a while.
    void lookups_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("after");  // seconds after the beat that listed it
        QTest::addColumn<bool>("delivered");
        QTest::addColumn<bool>("found");
        QTest::newRow("where it was listed") << "here" << 0 << false << true;
        QTest::newRow("the announcement's last second") << "here" << int(AnnouncementSeconds) << false << true;
        QTest::newRow("a second past it") << "here" << int(AnnouncementSeconds) + 1 << false << false;
        QTest::newRow("from another address") << "elsewhere" << 0 << false << false;
        QTest::newRow("once delivered") << "here" << 0 << true << false;
    }
    void lookups()
    {
        QFETCH(QString, from);
        QFETCH(int, after);
        QFETCH(bool, delivered);
        QFETCH(bool, found);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(id);
        QVERIFY(rules.beat(pcid(1)).ok() && rules.listed(id));
        RingtoneInfo info;
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info), Result::Ok);
        if (delivered)
            QCOMPARE(rules.beats->onClose(info)(), std::string("delivered"));
        rules.now += after;
        const std::string address = from == "here" ? Here : Elsewhere;
        QVERIFY(rules.beats->mayLookUp(address).ok());
        QCOMPARE(rules.beats->lookup(id, address, info) == Result::Ok, found);
    }

    // Lookups of what was never listed to an address are counted, the last
    // allowed and the next refused; asking again for one's own is free.
    void lookupMisses_data()
    {
        QTest::addColumn<QString>("asker");
        QTest::addColumn<int>("misses");
        QTest::addColumn<bool>("refused");
        QTest::newRow("the last miss") << "elsewhere" << int(MissesPerHour) - 1 << false;
        QTest::newRow("the first refused") << "elsewhere" << int(MissesPerHour) << true;
        QTest::newRow("where it was listed, asked again and again") << "here" << int(MissesPerHour) << false;
    }
    void lookupMisses()
    {
        QFETCH(QString, asker);
        QFETCH(int, misses);
        QFETCH(bool, refused);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(rules.beat(pcid(1)).ok() && rules.listed(id));
        const std::string address = asker == "here" ? Here : Elsewhere;
        RingtoneInfo info;
        for (int i = 0; i < misses; ++i)
            rules.beats->lookup(id, address, info);
        const Verdict next = rules.beats->mayLookUp(address);
        QCOMPARE(next.spent, refused);
        QCOMPARE(next.wait, refused ? HourSeconds / MissesPerHour + 1 : 0);
    }

    // What waits longer than it may is removed, at the next beat.
    void expiry_data()
    {
        QTest::addColumn<int>("keepDays");
        QTest::addColumn<int>("age");  // seconds past the keep
        QTest::addColumn<bool>("kept");
        QTest::newRow("a second before its last") << 30 << -1 << true;
        QTest::newRow("its last second") << 30 << 0 << true;
        QTest::newRow("a second past it") << 30 << 1 << false;
        QTest::newRow("kept one day, a second past it") << 1 << 1 << false;
    }
    void expiry()
    {
        QFETCH(int, keepDays);
        QFETCH(int, age);
        QFETCH(bool, kept);
        Rules rules(keepDays * DaySeconds);
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(id);
        rules.now += keepDays * DaySeconds + age;
        QVERIFY(rules.beat(pcid(1)).ok());
        QCOMPARE(rules.listed(id), kept);
        RingtoneInfo info;
        QCOMPARE(rules.storage->ringtone(id, info) == Result::Ok, kept);
        QCOMPARE(QDir(rules.dir.path() + "/ringtones").entryList(QDir::Files).size(), kept ? 1 : 0);
    }

    // Who may say that a ringtone arrived, and what the PCs are told after.
    void receipts_data()
    {
        QTest::addColumn<bool>("confirms");  // the PC sends "got"
        QTest::addColumn<int>("confirmer");  // the PC whose beat names the id; 0: none
        QTest::addColumn<bool>("closed");  // its file was sent and the connection closed
        QTest::addColumn<bool>("delivered");
        QTest::newRow("named by its PC") << true << 1 << false << true;
        QTest::newRow("named by another PC") << true << 2 << false << false;
        QTest::newRow("a confirming PC's file sent, not named") << true << 0 << true << false;
        QTest::newRow("a PC that does not confirm: the close") << false << 0 << true << true;
        QTest::newRow("a PC that does not confirm: not fetched") << false << 0 << false << false;
    }
    void receipts()
    {
        QFETCH(bool, confirms);
        QFETCH(int, confirmer);
        QFETCH(bool, closed);
        QFETCH(bool, delivered);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1), Here, confirms).ok());
        QVERIFY(rules.beat(pcid(2), Here, confirms).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(rules.beat(pcid(1), Here, confirms).ok() && rules.listed(id));
        RingtoneInfo info;
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info), Result::Ok);
        QCOMPARE(info.receipts, confirms);
        auto close = rules.beats->onClose(info);
        QCOMPARE(bool(close), !confirms);
        if (closed && close)
            close();
        close = nullptr;
        if (confirmer)
            QVERIFY(rules.beat(pcid(confirmer), Here, true, {id}).ok());
        QVERIFY(rules.beat(pcid(1), Here, confirms).ok());
        QCOMPARE(rules.listed(id), !delivered);
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info) == Result::NotFound, delivered);
    }

    // No beat lists a ringtone while its file is being sent; a connection
    // reset before the close leaves it waiting.
    void beingSent()
    {
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        RingtoneInfo info;
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info), Result::Ok);
        auto close = rules.beats->onClose(info);
        QVERIFY(rules.beat(pcid(1)).ok());
        QVERIFY(!rules.listed(id));
        close = nullptr;
        QVERIFY(rules.beat(pcid(1)).ok());
        QVERIFY(rules.listed(id));
    }

    // An upload costs its address a unit once its PC has room: the room is
    // asked first, so a full PC costs nothing and is told so.
    void uploadBudget_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("before");  // uploads admitted from Here first
        QTest::addColumn<int>("toFull");  // then these, to a PC with no room
        QTest::addColumn<int>("pause");  // seconds before the last
        QTest::addColumn<bool>("lastToFull");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("outcome");  // "ok", "rate" or "quota"
        const int share = int(HourSeconds / 3);
        QTest::newRow("the last unit") << 3 << 2 << 0 << 0 << false << "here" << "ok";
        QTest::newRow("the first refused") << 3 << 3 << 0 << 0 << false << "here" << "rate";
        QTest::newRow("a second short of a unit back") << 3 << 3 << 0 << share - 1 << false << "here" << "rate";
        QTest::newRow("a unit back after its share of the hour") << 3 << 3 << 0 << share << false << "here" << "ok";
        QTest::newRow("a full PC costs no unit") << 1 << 0 << 5 << 0 << false << "here" << "ok";
        QTest::newRow("a full PC is told so, budget or not") << 1 << 1 << 0 << 0 << true << "here" << "quota";
        QTest::newRow("another address has its own") << 1 << 1 << 0 << 0 << false << "elsewhere" << "ok";
    }
    void uploadBudget()
    {
        QFETCH(int, capacity);
        QFETCH(int, before);
        QFETCH(int, toFull);
        QFETCH(int, pause);
        QFETCH(bool, lastToFull);
        QFETCH(QString, from);
        QFETCH(QString, outcome);
        Rules rules(DefaultKeepSeconds, DefaultNewPcsPerDay, Quota {1, DefaultMaxWaitingBytes}, capacity);
        QVERIFY(rules.uploads);
        const std::string fullPc = pcid(99);
        QVERIFY(rules.beat(fullPc).ok() && rules.send(fullPc));
        for (int i = 1; i <= before; ++i)
            QVERIFY(rules.uploads->admit(pcid(i), Here).ok());
        for (int i = 0; i < toFull; ++i)
            QCOMPARE(rules.uploads->admit(fullPc, Here).verdict.result, Result::OverQuota);
        rules.now += pause;
        const UploadOutcome last
            = rules.uploads->admit(lastToFull ? fullPc : pcid(before + 1), from == "here" ? Here : Elsewhere);
        QCOMPARE(last.verdict.spent, outcome == "rate");
        QCOMPARE(last.verdict.wait, outcome == "rate" ? HourSeconds / capacity + 1 : 0);
        QCOMPARE(last.verdict.result, outcome == "quota" ? Result::OverQuota : Result::Ok);
        QCOMPARE(last.why.empty(), outcome == "ok");
    }

    // An upload the converter had no room for never ran: its unit comes back.
    void busyConverterGivesBack()
    {
        Rules rules;
        QVERIFY(rules.storage);
        const QString hang = rules.dir.filePath(QStringLiteral("hang"));
        QVERIFY(writeScript(hang, "#!/bin/sh\nexec /bin/sleep 60\n"));
        ConvertOptions o;
        o.ffprobe = hang.toStdString();
        const Converter stuck(o);
        ConvertQueue queue(stuck, 1, 1);
        Uploads uploads(*rules.storage, *rules.beats, queue, {}, 3);
        const auto nothing = [](Conversion) {};
        for (int i = 1; i <= 2; ++i)
            QVERIFY(uploads.admit(pcid(i), Here).ok() && uploads.convert("x", 0, Here, nothing));
        QVERIFY(uploads.admit(pcid(3), Here).ok());
        QVERIFY(!uploads.convert("x", 0, Here, nothing));
        QVERIFY(uploads.admit(pcid(4), Here).ok());
        queue.stop();
    }

    // What one PC may have waiting, by count and by bytes, to the last unit.
    // Its admission knows only whether one more fits; the store knows its size.
    void quotas_data()
    {
        QTest::addColumn<int>("maxCount");
        QTest::addColumn<int>("maxBytes");
        QTest::addColumn<int>("waiting");  // ringtones of 100 bytes
        QTest::addColumn<int>("delivered");  // of those
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("admitted");
        QTest::addColumn<bool>("stored");
        QTest::newRow("the last by count") << 3 << 1000000 << 2 << 0 << 100 << true << true;
        QTest::newRow("one over the count") << 3 << 1000000 << 3 << 0 << 100 << false << false;
        QTest::newRow("a delivered one frees its place") << 3 << 1000000 << 3 << 1 << 100 << true << true;
        QTest::newRow("the last byte") << 3 << 1000 << 2 << 0 << 800 << true << true;
        QTest::newRow("a byte over, known once made") << 3 << 1000 << 2 << 0 << 801 << true << false;
        QTest::newRow("no byte left") << 3 << 200 << 2 << 0 << 1 << false << false;
    }
    void quotas()
    {
        QFETCH(int, maxCount);
        QFETCH(int, maxBytes);
        QFETCH(int, waiting);
        QFETCH(int, delivered);
        QFETCH(int, size);
        QFETCH(bool, admitted);
        QFETCH(bool, stored);
        Rules rules(DefaultKeepSeconds, DefaultNewPcsPerDay, Quota {maxCount, maxBytes});
        QVERIFY(rules.uploads);
        QVERIFY(rules.beat(pcid(1)).ok());
        for (int i = 1; i <= waiting; ++i)
            QVERIFY(rules.send(pcid(1), 100 + i, 100));
        for (int i = 1; i <= delivered; ++i)
            QCOMPARE(rules.storage->markDelivered(100 + i, rules.now), Result::Ok);
        bool full = false;
        QCOMPARE(rules.uploads->full(pcid(1), full), Result::Ok);
        QCOMPARE(full, !admitted);
        QCOMPARE(rules.uploads->admit(pcid(1), Here).ok(), admitted);
        const UploadOutcome o = rules.uploads->store(Rules::from(pcid(1)), Rules::made(size_t(size)));
        QCOMPARE(o.verdict.result, stored ? Result::Ok : Result::OverQuota);
        QVERIFY2(stored || o.why.find("at most " + std::to_string(maxCount)) != std::string::npos, o.why.c_str());
        RingtoneInfo info;
        QCOMPARE(rules.storage->ringtone(o.id, info) == Result::Ok && info.size == size, stored);
    }

    // While the store refuses writes, what frees the disk goes on: a beat is
    // answered from what is stored, a delivery or a confirmation is kept in
    // memory and not listed again, and an upload is refused as the disk is.
    void fullDisk_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("listed");  // the ringtone, at the beat after the step
        QTest::newRow("a beat lists what waits") << "beat" << true;
        QTest::newRow("the close after its file") << "close" << false;
        QTest::newRow("its PC's confirmation") << "confirm" << false;
        QTest::newRow("another PC's confirmation") << "confirm elsewhere" << true;
        QTest::newRow("an upload") << "upload" << true;
        QTest::newRow("a PC not seen before") << "new pc" << true;
    }
    void fullDisk()
    {
        QFETCH(QString, step);
        QFETCH(bool, listed);
        Rules rules;
        QVERIFY(rules.uploads);
        QVERIFY(rules.beat(pcid(1)).ok() && rules.beat(pcid(2)).ok());
        const int64_t id = rules.send(pcid(1));
        const std::string key = "key" + std::to_string(id);
        RingtoneInfo info;
        QCOMPARE(rules.beats->file(key, info), Result::Ok);
        rules.storage->full = true;
        if (step == "close") {
            QCOMPARE(rules.beats->onClose(info)(),
                std::string("delivered; not recorded yet (the store cannot write): kept in memory and tried again"));
        } else if (step.startsWith("confirm")) {
            QVERIFY(rules.beat(pcid(step == "confirm" ? 1 : 2), Here, true, {id}).ok());
        } else if (step == "upload") {
            QVERIFY(rules.uploads->admit(pcid(1), Here).ok());
            QCOMPARE(rules.uploads->store(Rules::from(pcid(1)), Rules::made(100)).verdict.result, Result::Full);
        } else if (step == "new pc") {
            QVERIFY(rules.beat(pcid(3)).ok());
            QVERIFY(!rules.answer.created && rules.answer.waiting.empty());
        }
        QVERIFY(rules.beat(pcid(1)).ok());
        QCOMPARE(rules.listed(id), listed);
        QCOMPARE(rules.answer.waiting.size(), size_t(listed));
        QCOMPARE(rules.beats->file(key, info) == Result::Ok, listed);
        QCOMPARE(rules.beats->lookup(id, Here, info) == Result::Ok, listed);
    }

    // What the full disk kept in memory is written at the first try once
    // there is room; the tries come every DeliveryRetrySeconds.
    void unrecordedRetried_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("after");  // seconds after the last try
        QTest::addColumn<bool>("room");
        QTest::addColumn<bool>("recorded");
        const int retry = int(DeliveryRetrySeconds);
        for (const char *how : {"close", "confirm"}) {
            const auto row = [how](const char *what) -> QTestData & {
                return QTest::newRow(qPrintable(QString("%1: %2").arg(how, what))) << QString(how);
            };
            row("a second before the next try") << retry - 1 << true << false;
            row("the next try") << retry << true << true;
            row("the next try, the disk still full") << retry << false << false;
        }
    }
    void unrecordedRetried()
    {
        QFETCH(QString, how);
        QFETCH(int, after);
        QFETCH(bool, room);
        QFETCH(bool, recorded);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());  // the last try: nothing to write
        const int64_t id = rules.send(pcid(1));
        RingtoneInfo info;
        QCOMPARE(rules.beats->file("key" + std::to_string(id), info), Result::Ok);
        rules.storage->full = true;
        if (how == "close")
            QVERIFY(!rules.beats->onClose(info)().empty());
        else
            QVERIFY(rules.beat(pcid(1), Here, true, {id}).ok());
        rules.storage->full = !room;
        rules.now += after;
        rules.beats->expire();
        rules.storage->full = false;
        QCOMPARE(rules.storage->ringtone(id, info), Result::Ok);
        QCOMPARE(info.delivered, recorded);
        QVERIFY(rules.beat(pcid(1)).ok());
        QVERIFY(!rules.listed(id));
    }

    // What anyone may write unpaired is forgotten after its keep, to the
    // second for a PC and to the day for a usage event, in as many batches as
    // it takes.
    void sweeps_data()
    {
        QTest::addColumn<int>("pcs");
        // The first this many PCs beat again just before the sweep.
        QTest::addColumn<int>("fresh");
        QTest::addColumn<int64_t>("age");
        QTest::addColumn<int>("pcsLeft");
        QTest::addColumn<int>("eventsLeft");
        const int64_t pc = UnpairedPcKeepSeconds, event = EventKeepSeconds;
        const int batch = int(SweepBatchRows);
        QTest::newRow("a PC on its last second") << 1 << 0 << pc << 1 << 1;
        QTest::newRow("a PC a second past") << 1 << 0 << pc + 1 << 0 << 1;
        QTest::newRow("more than a batch") << batch + 1 << 0 << pc + 1 << 0 << 1;
        QTest::newRow("an old PC past a batch of fresh ones") << batch + 1 << batch << pc + 1 << batch << 1;
        QTest::newRow("an event on its last day") << 1 << 0 << event << 0 << 1;
        QTest::newRow("an event a day past") << 1 << 0 << event + DaySeconds << 0 << 0;
    }
    void sweeps()
    {
        QFETCH(int, pcs);
        QFETCH(int, fresh);
        QFETCH(int64_t, age);
        QFETCH(int, pcsLeft);
        QFETCH(int, eventsLeft);
        Rules rules;
        QVERIFY(rules.beats);
        const auto beat = [&](int count) {
            for (int i = 1; i <= count; ++i) {
                BeatAnswer answer;
                QCOMPARE(rules.storage->beat({pcid(i), "1.0.1", 60, rules.now}, answer), Result::Ok);
            }
        };
        beat(pcs);
        QCOMPARE(rules.storage->recordEvent(pcid(1), "opened", rules.now), Result::Ok);
        rules.now += age;
        beat(fresh);
        rules.beats->expire();
        Stats stats;
        QCOMPARE(rules.storage->stats(rules.now, stats), Result::Ok);
        QCOMPARE(stats.pcs, int64_t(pcsLeft));
        QCOMPARE(int(stats.events.size()), eventsLeft);
    }

    // Deliveries the store could not write are kept up to a bound: past it
    // one more is refused (and may be listed again) rather than memory grow.
    void unrecordedBounded_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<bool>("kept");
        QTest::newRow("the last kept") << int(MaxUnrecordedDeliveries) - 1 << true;
        QTest::newRow("the first refused") << int(MaxUnrecordedDeliveries) << false;
    }
    void unrecordedBounded()
    {
        QFETCH(int, before);
        QFETCH(bool, kept);
        Deliveries deliveries;
        int taken = 0;
        for (int i = 1; i <= before; ++i)
            taken += deliveries.unrecorded(i);
        QCOMPARE(taken, before);
        QCOMPARE(deliveries.unrecorded(before + 1), kept);
        std::vector<int64_t> waiting {before + 1};
        deliveries.hide(waiting);
        QCOMPARE(waiting.empty(), kept);
    }

    // What a ringtone may be called: it becomes a file name on the PC.
    void ringtoneNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("refusal");
        const auto row = [](const char *tag, const std::string &name, const char *refusal) {
            QTest::newRow(tag) << QByteArray::fromStdString(name) << QString::fromLatin1(refusal);
        };
        for (const DeviceNames::Row &r : DeviceNames::rows())
            row(r.name.c_str(), r.name, r.device ? "keeps for a device" : "");
        row("right-to-left override", "Bell\u202Eevil", "bidirectional");
        row("right-to-left isolate", "\u2067Bell", "bidirectional");
        row("zero-width space", "Be\u200Bll", "invisible");
        row("byte order mark", "\uFEFFBell", "invisible");
        row("joiner between letters", "a\u200Db", "invisible");
        row("word joiner", "Be\u2060ll", "invisible");
        row("joiner inside an emoji", "\U0001F469\u200D\U0001F4BB work", "");
        // Every character Unicode says may draw nothing, not a list of ours.
        for (const char *invisible : {"\U000E0041", "\u2064", "\u115F", "\u3164", "\uFFA0", "\u00AD",
                 "\u034F", "\u180B"})
            row(invisible, std::string("Be") + invisible + "ll", "invisible");
        row("unassigned U+0378", "Bell\u0378", "not assigned");
        row("VS16 after an emoji", "\u2764\uFE0F and \u0031\uFE0F\u20E3", "");
        row("joiner after VS16", "\U0001F441\uFE0F\u200D\U0001F5E8\uFE0F", "");
        row("VS16 after a letter", "Bell\uFE0F", "invisible");
        row("noncharacter U+FDD0", "Bell\uFDD0", "noncharacter");
        row("noncharacter U+1FFFE", "Bell\U0001FFFE", "noncharacter");
        std::string bells;
        for (int i = 0; i < 80; ++i)
            bells += "\U0001F514";  // four bytes each
        row("80 emoji, 320 bytes", bells, "at most 251 bytes");
        row("252 bytes", bells.substr(0, 252), "at most 251 bytes");
        row("251 bytes", bells.substr(0, 248) + "abc", "");
        const std::string most = " to " + std::to_string(MaxRingtoneNameChars) + " characters";
        QTest::newRow("the most characters") << QByteArray(int(MaxRingtoneNameChars), 'a') << QString();
        QTest::newRow("a character more") << QByteArray(int(MaxRingtoneNameChars) + 1, 'a')
                                          << QString::fromStdString(most);
    }
    void ringtoneNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, refusal);
        const QString error = QString::fromStdString(checkRingtoneName(name.toStdString()));
        if (refusal.isEmpty())
            QVERIFY2(error.isEmpty(), qPrintable(error));
        else
            QVERIFY2(error.contains(refusal), qPrintable(error));
    }

    // Each field of a request on both sides of its limit, as the routes read
    // it: the last allowed is answered, the first refused is a 400.
    void fieldLimits_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("accepted");
        const auto edge = [](const char *field, int64_t limit) {
            QTest::newRow(qPrintable(QString("%1, the last allowed").arg(field)))
                << QString(field) << qint64(limit) << true;
            QTest::newRow(qPrintable(QString("%1, the first refused").arg(field)))
                << QString(field) << qint64(limit + 1) << false;
        };
        edge("beat: version", MaxVersionChars);
        edge("beat: platform", MaxPlatformChars);
        edge("beat: expire", MaxExpireSeconds);
        edge("JSON: values", MaxJsonValues);
        edge("JSON: depth", MaxJsonDepth);
        edge("unpair: a device id", MaxDeviceIdChars);
        edge("feedback: event", MaxEventChars);
        edge("lookup: ringtone id", MaxRingtoneId);
        edge("pair: device id", MaxDeviceIdChars);
        edge("pair: device name", MaxDeviceNameChars);
        edge("update: version", MaxVersionChars);
        edge("update: url", MaxUrlChars);
        edge("conf: key", MaxConfKeyChars);
        edge("conf: value", MaxConfValueChars);
        edge("tune: start", MaxTuneSeconds);
        edge("tune: start's digits", MaxNumberDigits);
    }
    void fieldLimits()
    {
        QFETCH(QString, field);
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        Rules rules;
        QVERIFY(rules.storage);
        Api api(*rules.storage);
        QCOMPARE(api.call("POST", "/p/v1/heart", Api::beatOf(pcid(1))).status, 200);
        QCOMPARE(rules.storage->pair(pcid(1), {"dev-1", "Phone"}, Api::DeviceToken, rules.now), Result::Ok);
        const Response res = askWithField(api, field, size);
        // A ringtone id that may be one is looked up, and there is none.
        const int answered = field == "lookup: ringtone id" ? 404 : 200;
        QVERIFY2(res.status == (accepted ? answered : 400), qPrintable(QString::number(res.status) + " "
            + QString::fromStdString(res.body)));
    }

    // A budget of an address answers its first refusal with 429 and the
    // exact wait for its next unit; its last unit is answered as usual.
    void budgetAnswers_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("answered");  // the status of each one allowed
        QTest::addColumn<QString>("retryAfter");  // empty: the last one is allowed
        const auto edge = [](const char *what, int64_t capacity, int64_t period, int answered) {
            QTest::newRow(qPrintable(QString("%1, the last allowed").arg(what)))
                << QString(what) << int(capacity - 1) << answered << QString();
            QTest::newRow(qPrintable(QString("%1, the first refused").arg(what)))
                << QString(what) << int(capacity) << answered << QString::number(period / capacity + 1);
        };
        edge("pairings", DefaultPairingsPerHour, HourSeconds, 200);
        edge("uploads", DefaultUploadsPerHour, HourSeconds, 200);
        edge("events", EventsPerHour, HourSeconds, 200);
        edge("lookups of what was never listed", MissesPerHour, HourSeconds, 404);
        edge("new PCs", DefaultNewPcsPerDay, DaySeconds, 200);
    }
    void budgetAnswers()
    {
        QFETCH(QString, what);
        QFETCH(int, before);
        QFETCH(int, answered);
        QFETCH(QString, retryAfter);
        Rules rules;
        QVERIFY(rules.storage);
        Api api(*rules.storage);
        QCOMPARE(api.call("POST", "/p/v1/heart", Api::beatOf(pcid(1))).status, 200);
        QCOMPARE(rules.storage->pair(pcid(1), {"dev-1", "Phone"}, Api::DeviceToken, rules.now), Result::Ok);
        int pcs = 1;
        const auto ask = [&]() -> Response {
            if (what == "pairings")
                return api.call("POST", "/phone/v1/pair",
                    {{"pcid", pcid(1)}, {"device_id", "dev-2"}, {"device_name", "Phone"}});
            if (what == "uploads")
                return api.call("POST", "/phone/v1/tune?pcid=" + pcid(1) + "&device_id=dev-1&name=Bell", nullptr,
                    Api::DeviceToken);
            if (what == "events")
                return api.call("GET", "/p/feedback?pcid=" + pcid(1) + "&ver=1.0.1&event=opened");
            if (what == "new PCs")
                return api.call("POST", "/p/v1/heart", Api::beatOf(pcid(++pcs)));
            return api.call("GET", "/apiv1/ringtone?ringtoneid=12");
        };
        // The first PC's beat was a new PC's.
        for (int i = what == "new PCs" ? 1 : 0; i < before; ++i)
            QCOMPARE(ask().status, answered);
        const Response last = ask();
        QCOMPARE(last.status, retryAfter.isEmpty() ? answered : 429);
        QCOMPARE(QString::fromStdString(Api::header(last, "Retry-After")), retryAfter);
    }

    // The statistics count a PC online for a grace after its beat's "expire"
    // ran out, and name the most counted events up to a bound.
    void statsLimits_data()
    {
        QTest::addColumn<int>("after");  // seconds past the beat's "expire"
        QTest::addColumn<int>("events");  // names counted
        QTest::addColumn<int>("online");
        QTest::addColumn<int>("named");
        const int grace = int(OnlineGraceSeconds), most = int(MaxStatsEvents);
        QTest::newRow("the grace's last second") << grace << 1 << 1 << 1;
        QTest::newRow("a second past it") << grace + 1 << 1 << 0 << 1;
        QTest::newRow("the most events named") << 0 << most << 1 << most;
        QTest::newRow("one more event, not named") << 0 << most + 1 << 1 << most;
    }
    void statsLimits()
    {
        QFETCH(int, after);
        QFETCH(int, events);
        QFETCH(int, online);
        QFETCH(int, named);
        Rules rules;
        QVERIFY(rules.storage);
        BeatAnswer answer;
        QCOMPARE(rules.storage->beat({pcid(1), "1.0.1", 60, rules.now}, answer), Result::Ok);
        for (int i = 0; i < events; ++i)
            QCOMPARE(rules.storage->recordEvent(pcid(1), "event-" + std::to_string(i), rules.now), Result::Ok);
        Stats stats;
        QCOMPARE(rules.storage->stats(rules.now + 60 + after, stats), Result::Ok);
        QCOMPARE(stats.pcsOnline, int64_t(online));
        QCOMPARE(int(stats.events.size()), named);
    }

    // A budget kept in memory remembers as many addresses as it may: the one
    // seen least recently is forgotten only when one more comes.
    void trackedAddresses_data()
    {
        QTest::addColumn<int>("others");  // addresses after the spent one
        QTest::addColumn<bool>("remembered");
        QTest::newRow("the last remembered") << int(MaxTrackedAddresses) - 1 << true;
        QTest::newRow("the first forgotten") << int(MaxTrackedAddresses) << false;
    }
    void trackedAddresses()
    {
        QFETCH(int, others);
        QFETCH(bool, remembered);
        AddressLimit limit(1, HourSeconds);
        QCOMPARE(limit.take(Here, Start), Allowance::Yes);
        for (int i = 0; i < others; ++i)
            QCOMPARE(limit.take("2001:db8::" + std::to_string(i), Start), Allowance::Yes);
        QCOMPARE(limit.left(Here, Start), remembered ? Allowance::No : Allowance::Yes);
    }

    // What one PC may have waiting unless the service is told otherwise, as
    // an upload meets it: the last place and the last byte, and none left.
    void waitingDefaults_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<qint64>("size");  // of each ringtone waiting
        QTest::addColumn<int>("status");
        QTest::newRow("the last place") << int(DefaultMaxWaiting) - 1 << qint64(1) << 200;
        QTest::newRow("no place left") << int(DefaultMaxWaiting) << qint64(1) << 507;
        QTest::newRow("the last byte") << 1 << qint64(DefaultMaxWaitingBytes) - 1 << 200;
        QTest::newRow("no byte left") << 1 << qint64(DefaultMaxWaitingBytes) << 507;
    }
    void waitingDefaults()
    {
        QFETCH(int, count);
        QFETCH(qint64, size);
        QFETCH(int, status);
        Rules rules;
        QVERIFY(rules.storage);
        Api api(*rules.storage);
        const std::string pc = pcid(1);
        QCOMPARE(api.call("POST", "/p/v1/heart", Api::beatOf(pc)).status, 200);
        QCOMPARE(rules.storage->pair(pc, {"dev-1", "Phone"}, Api::DeviceToken, rules.now), Result::Ok);
        for (int i = 1; i <= count; ++i) {
            NewRingtone r = Rules::from(pc);
            r.deviceToken = Api::DeviceToken;
            r.id = 1000 + i;
            r.fileKey = "key" + std::to_string(r.id);
            r.now = rules.now;
            QCOMPARE(rules.storage->addRingtone(r, std::string(size_t(size), 'x')), Result::Ok);
        }
        const Response res = api.call("POST", "/phone/v1/tune?pcid=" + pc + "&device_id=dev-1&name=Bell", nullptr,
            Api::DeviceToken);
        QVERIFY2(res.status == status, res.body.c_str());
    }

    // What expired is removed at most once an interval, counted from the
    // last removal: a second before the next one it is still there.
    void expiryInterval_data()
    {
        QTest::addColumn<int>("after");  // seconds after the last removal
        QTest::addColumn<bool>("kept");
        QTest::newRow("a second before the next removal") << int(ExpiryIntervalSeconds) - 1 << true;
        QTest::newRow("the next removal") << int(ExpiryIntervalSeconds) << false;
    }
    void expiryInterval()
    {
        QFETCH(int, after);
        QFETCH(bool, kept);
        Rules rules;
        QVERIFY(rules.beats);
        QVERIFY(rules.beat(pcid(1)).ok());
        const int64_t id = rules.send(pcid(1));
        QVERIFY(id);
        rules.now += DefaultKeepSeconds;  // its last second: the removal keeps it
        rules.beats->expire();
        RingtoneInfo info;
        QCOMPARE(rules.storage->ringtone(id, info), Result::Ok);
        rules.now += after;
        rules.beats->expire();
        QCOMPARE(rules.storage->ringtone(id, info) == Result::Ok, kept);
    }

    // Secrets as the service hands them out, and the admin token as it is
    // read: made at first start, or written by hand no shorter than a bound.
    void secrets_data()
    {
        QTest::addColumn<QString>("secret");
        QTest::addColumn<int>("written");  // characters in the admin token file; -1: none
        QTest::addColumn<int>("length");  // of the secret; 0: refused
        QTest::newRow("an admin token made") << "admin" << -1 << int(2 * AdminTokenBytes);
        QTest::newRow("the shortest admin token written") << "admin" << int(MinAdminTokenChars)
                                                         << int(MinAdminTokenChars);
        QTest::newRow("a character short of it") << "admin" << int(MinAdminTokenChars) - 1 << 0;
        QTest::newRow("a device token") << "device" << -1 << int(2 * DeviceTokenBytes);
        QTest::newRow("a file's key") << "file" << -1 << int(2 * FileKeyBytes);
    }
    void secrets()
    {
        QFETCH(QString, secret);
        QFETCH(int, written);
        QFETCH(int, length);
        Rules rules;
        QVERIFY(rules.uploads);
        std::string made;
        if (secret == "admin") {
            const std::string path = rules.dir.filePath(QStringLiteral("admin-token")).toStdString();
            QFile file(QString::fromStdString(path));
            if (written >= 0)
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(written, 'a') + '\n') > 0);
            file.close();
            std::string error;
            made = loadAdminToken(path, true, error);
            QCOMPARE(error.empty(), length > 0);
        } else if (secret == "device") {
            Api api(*rules.storage);
            QCOMPARE(api.call("POST", "/p/v1/heart", Api::beatOf(pcid(1))).status, 200);
            const Response res = api.call("POST", "/phone/v1/pair",
                {{"pcid", pcid(1)}, {"device_id", "dev-1"}, {"device_name", "Phone"}});
            made = nlohmann::json::parse(res.body).value("device_token", "");
        } else {
            QVERIFY(rules.beat(pcid(1)).ok());
            QCOMPARE(rules.storage->pair(pcid(1), {"dev-1", "Phone"}, "token", rules.now), Result::Ok);
            const UploadOutcome o = rules.uploads->store(Rules::from(pcid(1)), Rules::made(100));
            RingtoneInfo info;
            QCOMPARE(rules.storage->ringtone(o.id, info), Result::Ok);
            made = info.fileKey;
        }
        QCOMPARE(int(made.size()), length);
    }

    // What a device sent is listed newest first, up to a bound.
    void sentListed_data()
    {
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("listed");
        QTest::newRow("the last listed") << int(MaxSentListed) << int(MaxSentListed);
        QTest::newRow("the first left out") << int(MaxSentListed) + 1 << int(MaxSentListed);
    }
    void sentListed()
    {
        QFETCH(int, sent);
        QFETCH(int, listed);
        Rules rules;
        QVERIFY(rules.storage);
        Api api(*rules.storage);
        const std::string pc = pcid(1);
        QCOMPARE(api.call("POST", "/p/v1/heart", Api::beatOf(pc)).status, 200);
        QCOMPARE(rules.storage->pair(pc, {"dev-1", "Phone"}, Api::DeviceToken, rules.now), Result::Ok);
        for (int i = 1; i <= sent; ++i) {
            NewRingtone r = Rules::from(pc);
            r.deviceToken = Api::DeviceToken;
            r.id = 1000 + i;
            r.fileKey = "key" + std::to_string(r.id);
            r.now = rules.now + i;
            r.quota = {sent, DefaultMaxWaitingBytes};
            QCOMPARE(rules.storage->addRingtone(r, "x"), Result::Ok);
        }
        const Response res = api.call("POST", "/phone/v1/sent",
            {{"pcid", pc}, {"device_id", "dev-1"}, {"device_token", Api::DeviceToken}});
        QCOMPARE(res.status, 200);
        const auto ringtones = nlohmann::json::parse(res.body)["ringtones"];
        QCOMPARE(int(ringtones.size()), listed);
        QCOMPARE(ringtones.front()["id"].get<int64_t>(), int64_t(1000 + sent));
    }
};

QTEST_GUILESS_MAIN(TestRules)
#include "test_rules.moc"
