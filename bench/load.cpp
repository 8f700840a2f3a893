// Many PCs beating against one service on loopback: beats per second and the
// latency percentiles, with a share of the PCs receiving ringtones meanwhile.
//
//   bench_load --url http://127.0.0.1:8750 [--pcs 10000] [--rate 5000] [--seconds 20]
//              [--connections 200] [--receivers 200] [--sends 10] [--sample FILE]
//              [--idle 0] [--slow 0] [--from 127.0.0.2] [--sources 64] [--cpu NAME=PID ...]
//
// --rate 0 beats as fast as the connections allow (closed loop); any other rate
// schedules beats at fixed times and counts each one's latency from the time it
// was due, so a stalled server shows in the percentiles instead of slowing the
// generator down with it. One thread, non-blocking sockets and epoll; a second
// one holds the attack's connections (--idle, --slow) from the address --from.
// The PCs' and phones' connections come from --sources loopback addresses,
// 127.0.10.1, 127.0.11.1 and on, a /24 each, so that the service's limits per
// address and network (new PCs a day, pairings and uploads an hour) see a
// crowd of addresses, not one.
// --cpu reports the CPU a process and its children used during the run,
// both together and apart.

#include "bench/load_http.h"

#include <dirent.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t MaxBacklog = 100000;

enum Kind { Beat, Info, File, Send, Kinds };
const char *const KindNames[Kinds] = {"beat", "ringtone info", "ringtone file", "phone send"};

struct Options
{
    std::string host = "127.0.0.1";
    int port = 8750;
    int pcs = 10000;
    double rate = 5000;
    double seconds = 20;
    int connections = 200;
    int receivers = 200;
    double sends = 10;
    std::string sample;
    long beats = 0;  // stop after this many beats; 0: no limit
    int idle = 0;  // the attack's connections that send nothing
    int slow = 0;  // and those that send their headers a byte a second
    std::string from = "127.0.0.2";
    int sources = 64;  // PCs and phones connect from 127.0.0.10 and on; 0: from 127.0.0.1
    std::vector<std::pair<std::string, int>> cpu;  // processes whose CPU the run reports
};

struct Request
{
    Request() = default;
    Request(Kind kind, int pc, Clock::time_point due, std::string target = {}, std::string id = {})
        : kind(kind)
        , pc(pc)
        , due(due)
        , target(std::move(target))
        , id(std::move(id))
    { }

    Kind kind = Beat;
    int pc = 0;
    Clock::time_point due;
    std::string target;  // ringtone id for Info, path for File
    std::string id;  // the ringtone a File request fetches
    bool retried = false;
    int source = -1;  // for Info and File: the source address of the beat that listed the ringtone
};

struct Conn
{
    int fd = -1;
    bool connected = false;
    bool used = false;  // served a request already, so a close before any answer is a keep-alive race
    std::string out;
    size_t sent = 0;
    Response in;
    Request req;
    bool busy = false;
    size_t index = 0;
};

struct Stats
{
    std::vector<uint32_t> micros[Kinds];
    long errors[Kinds] = {};
    long late = 0;  // beats the generator could not even send before the run ended
};

// The source address of connection `index`: the connections, and with them
// the PCs' beats, are spread over the addresses in turn. Each address is in
// a /24 of its own, as a crowd's are: the service budgets networks too.
std::string sourceAddress(const Options &o, size_t index)
{
    return o.sources == 0 ? std::string() : "127.0." + std::to_string(10 + index % size_t(o.sources)) + ".1";
}

std::string pcid(int i)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "b3e1f00d-0000-R000-8000-%012x", i);
    return buf;
}

class Load
{
public:
    Load(const Options &o, const std::vector<Phone> &phones, const std::string &ringtone)
        : o(o)
        , phones(phones)
        , ringtone(ringtone)
        , conns(size_t(o.connections))
    {
        ep = epoll_create1(0);
        for (size_t i = 0; i < conns.size(); ++i) {
            conns[i].index = i;
            idle.push_back(i);
        }
    }

    void run()
    {
        const auto start = Clock::now();
        const auto end
            = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
        // Answers still due after the run get a short grace to arrive, then count as errors.
        const auto hardEnd = end + std::chrono::seconds(5);
        auto nextBeat = start;
        auto nextSend = start;
        const auto beatGap = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / std::max(o.rate, 1.0)));
        const auto sendGap = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / std::max(o.sends, 0.001)));
        long pc = 0;
        epoll_event events[256];
        for (;;) {
            const auto now = Clock::now();
            if (now < end && (o.beats == 0 || pc < o.beats)) {
                if (o.rate > 0) {
                    // A service that stopped answering must not make the
                    // backlog grow without bound: what is past it never goes.
                    while (nextBeat <= now) {
                        if (pending.size() < MaxBacklog)
                            pending.push_back({Beat, int(pc % o.pcs), nextBeat});
                        else
                            ++stats.late;
                        ++pc;
                        nextBeat += beatGap;
                    }
                } else {
                    while (pending.size() + busy < conns.size() && (o.beats == 0 || pc < o.beats))
                        pending.push_back({Beat, int(pc++ % o.pcs), now});
                }
                while (o.sends > 0 && !phones.empty() && nextSend <= now) {
                    pending.push_front({Send, int(sends++ % phones.size()), nextSend});
                    nextSend += sendGap;
                }
            } else if ((pending.empty() && bound.empty() && busy == 0) || now >= hardEnd) {
                break;
            }
            dispatch();
            const int n = epoll_wait(ep, events, 256, 1);
            for (int i = 0; i < n; ++i)
                service(conns[events[i].data.u32], events[i].events);
        }
        for (Conn &c : conns) {
            if (c.busy)
                ++stats.errors[c.req.kind];
            if (c.fd >= 0)
                ::close(c.fd);
        }
        for (const Request &r : pending)
            r.kind == Beat ? ++stats.late : ++stats.errors[r.kind];
        for (const Request &r : bound)
            ++stats.errors[r.kind];
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }

    size_t answered() const { return stats.micros[Beat].size(); }

    void report() const
    {
        long beats = long(stats.micros[Beat].size());
        std::printf("%d PCs, %d connections, %.1f s: %ld beats answered, %.0f beats/s", o.pcs, o.connections,
            elapsed, beats, beats / elapsed);
        if (o.rate > 0)
            std::printf(" (scheduled %.0f/s, %ld never sent)", o.rate, stats.late);
        std::printf("\n%-14s %8s %7s %9s %9s %9s %9s\n", "request", "count", "errors", "p50 ms", "p99 ms",
            "p99.9 ms", "max ms");
        for (int k = 0; k < Kinds; ++k) {
            std::vector<uint32_t> v = stats.micros[k];
            if (v.empty() && !stats.errors[k])
                continue;
            std::sort(v.begin(), v.end());
            auto pct = [&](double p) {
                return v.empty() ? 0.0 : v[std::min(v.size() - 1, size_t(p * v.size()))] / 1000.0;
            };
            std::printf("%-14s %8zu %7ld %9.2f %9.2f %9.2f %9.2f\n", KindNames[k], v.size(), stats.errors[k],
                pct(0.5), pct(0.99), pct(0.999), v.empty() ? 0.0 : v.back() / 1000.0);
        }
    }

private:
    // Idle connections are taken in turn, so with one connection per PC each
    // one sits idle between beats as long as a real PC's would.
    void dispatch()
    {
        // The service hands a ringtone only to the address whose beat listed
        // it, so its lookup and its file go from there too, ahead of beats.
        for (auto r = bound.begin(); r != bound.end() && !idle.empty();) {
            const auto c = std::find_if(idle.begin(), idle.end(), [&](size_t i) {
                return source(i) == r->source;
            });
            if (c == idle.end()) {
                ++r;
                continue;
            }
            const size_t i = *c;
            if (conns[i].fd < 0 && !open(conns[i], i))
                return;
            idle.erase(c);
            conns[i].req = *r;
            r = bound.erase(r);
            start(conns[i]);
        }
        while (!pending.empty() && !idle.empty()) {
            const size_t i = idle.front();
            Conn &c = conns[i];
            if (c.fd < 0 && !open(c, i))
                return;
            idle.pop_front();
            c.req = pending.front();
            pending.pop_front();
            start(c);
        }
    }

    // Which of the --sources addresses connection `index` comes from.
    int source(size_t index) const { return o.sources == 0 ? 0 : int(index % size_t(o.sources)); }

    // Ahead of the waiting beats; a ringtone's lookup or file only on a
    // connection from its beat's address.
    void pushFront(const Request &r) { r.source >= 0 ? bound.push_front(r) : pending.push_front(r); }

    bool open(Conn &c, size_t index)
    {
        c.fd = connectTo(o.host, o.port, sourceAddress(o, index));
        if (c.fd < 0)
            return false;
        c.connected = false;
        c.used = false;
        epoll_event ev {};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u32 = uint32_t(index);
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
        return true;
    }

    void start(Conn &c)
    {
        const std::string host = o.host + ":" + std::to_string(o.port);
        switch (c.req.kind) {
        case Beat:
            c.out = beatRequest(host, pcid(c.req.pc));
            break;
        case Info:
            c.out = getRequest(host, "/apiv1/ringtone?ringtoneid=" + c.req.target);
            break;
        case File:
            c.out = getRequest(host, c.req.target);
            break;
        case Send:
            c.out = sendRequest(host, phones[size_t(c.req.pc)], "load " + std::to_string(sends), ringtone);
            break;
        default:
            break;
        }
        c.sent = 0;
        c.in = Response();
        c.busy = true;
        ++busy;
        if (c.connected)
            flush(c);
    }

    void flush(Conn &c)
    {
        while (c.sent < c.out.size()) {
            const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            if (n > 0) {
                c.sent += size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            } else {
                fail(c);
                return;
            }
        }
    }

    void service(Conn &c, uint32_t events)
    {
        if (c.fd < 0)
            return;
        if (!c.connected && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                fail(c);
                return;
            }
            c.connected = true;
        }
        if (c.busy && (events & EPOLLOUT))
            flush(c);
        if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            return;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n > 0) {
                if (!c.busy) {  // an answer nobody asked for: the connection is out of step
                    closeConn(c);
                    return;
                }
                c.in.feed(buf, size_t(n));
                if (c.in.complete()) {
                    finish(c);
                    if (c.fd < 0)
                        return;
                }
                continue;
            }
            if (n == 0) {
                if (c.busy && c.in.completeAtClose())
                    finish(c);
                if (c.busy)
                    fail(c);
                else
                    closeConn(c);
                return;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            fail(c);
            return;
        }
    }

    void finish(Conn &c)
    {
        const auto now = Clock::now();
        const Request req = c.req;
        c.busy = false;
        c.used = true;
        --busy;
        idle.push_back(c.index);
        const bool ok = c.in.status >= 200 && c.in.status < 300;
        if (ok)
            stats.micros[req.kind].push_back(
                uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(now - req.due).count()));
        else
            ++stats.errors[req.kind];
        if (!ok || req.kind == File)
            forget(req);
        const std::string body = std::move(c.in.body);
        if (c.in.close)
            closeConn(c);
        if (!ok)
            return;
        // The PC fetches what its beat announced, right away, as the program does.
        if (req.kind == Beat) {
            for (const std::string &id : syncIds(body))
                if (fetching.insert({req.pc, id}).second) {
                    Request info(Info, req.pc, now, id);
                    info.source = source(c.index);
                    pushFront(info);
                }
        } else if (req.kind == Info) {
            const std::string path = downloadPath(body);
            if (path.empty()) {
                ++stats.errors[Info];
                forget(req);
            } else {
                Request file(File, req.pc, now, path, req.target);
                file.source = req.source;
                pushFront(file);
            }
        }
    }

    // A keep-alive connection the server closed just as a request went out is
    // retried once on a fresh one, as HTTP clients do; anything else is an error.
    void fail(Conn &c)
    {
        Request req = c.req;
        const bool race = c.busy && c.used && c.in.empty();
        if (c.busy) {
            c.busy = false;
            --busy;
            idle.push_back(c.index);
            if (race && !req.retried) {
                req.retried = true;
                pushFront(req);
            } else {
                ++stats.errors[req.kind];
                forget(req);
            }
        }
        closeConn(c);
    }

    // The ringtone may be fetched again when a later beat still lists it.
    void forget(const Request &req)
    {
        if (req.kind == Info)
            fetching.erase({req.pc, req.target});
        else if (req.kind == File)
            fetching.erase({req.pc, req.id});
    }

    void closeConn(Conn &c)
    {
        if (c.fd >= 0) {
            epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
            ::close(c.fd);
        }
        c.fd = -1;
        c.connected = false;
    }

    const Options &o;
    const std::vector<Phone> &phones;
    const std::string &ringtone;
    std::vector<Conn> conns;
    std::deque<Request> pending;
    std::deque<Request> bound;  // lookups and files waiting for a connection from their address
    std::deque<size_t> idle;
    std::set<std::pair<int, std::string>> fetching;
    size_t busy = 0;
    long sends = 0;
    int ep = -1;
    Stats stats;
    double elapsed = 0;
};

// Connections that take a socket of the service and never finish a request,
// from an address of their own: idle ones send nothing, slow ones their
// headers a byte a second. The service ends them at its deadlines and they
// come back at once, as an attacker's would, so they stay open all along.
class Attack
{
public:
    explicit Attack(const Options &o)
        : o(o)
        , sockets(size_t(o.idle + o.slow))
    { }
    ~Attack() { stop(); }

    bool active() const { return !sockets.empty(); }

    void start()
    {
        ep = epoll_create1(0);
        for (size_t i = 0; i < sockets.size(); ++i)
            open(i);
        worker = std::thread([this] {
            loop();
        });
    }

    void stop()
    {
        if (!worker.joinable())
            return;
        done = true;
        worker.join();
        for (Socket &s : sockets)
            if (s.fd >= 0)
                ::close(s.fd);
        ::close(ep);
    }

    void report() const
    {
        size_t open = 0;
        for (const Socket &s : sockets)
            open += s.fd >= 0;
        std::printf("attack from %s: %d idle and %d slow connections, %zu open at the end; "
                    "%ld ended by the service and opened again, %ld refused with 503, %ld failed to open\n",
            o.from.c_str(), o.idle, o.slow, open, ended, refused, failed);
    }

private:
    struct Socket
    {
        int fd = -1;
        size_t sent = 0;
    };

    bool slow(size_t i) const { return i >= size_t(o.idle); }

    void open(size_t i)
    {
        Socket &s = sockets[i];
        s = Socket();
        s.fd = connectTo(o.host, o.port, o.from);
        if (s.fd < 0) {
            ++failed;
            return;
        }
        epoll_event ev {};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u32 = uint32_t(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &ev);
    }

    void reopen(size_t i)
    {
        if (sockets[i].fd >= 0)
            ::close(sockets[i].fd);
        open(i);
    }

    // A byte more of the endless headers; "X-Slow: aaaa..." never ends.
    void drip(size_t i)
    {
        Socket &s = sockets[i];
        const std::string head = "POST /p/v1/heart HTTP/1.1\r\nHost: " + o.host + "\r\nX-Slow: ";
        const char byte = s.sent < head.size() ? head[s.sent] : 'a';
        const ssize_t n = s.fd < 0 ? -1 : ::send(s.fd, &byte, 1, MSG_NOSIGNAL);
        if (n == 1)
            ++s.sent;
        else if (s.fd < 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            reopen(i);
    }

    void loop()
    {
        auto nextDrip = Clock::now();
        epoll_event events[64];
        while (!done) {
            if (Clock::now() >= nextDrip) {
                for (size_t i = size_t(o.idle); i < sockets.size(); ++i)
                    drip(i);
                nextDrip += std::chrono::seconds(1);
            }
            const int n = epoll_wait(ep, events, 64, 100);
            for (int e = 0; e < n; ++e) {
                const size_t i = events[e].data.u32;
                char buf[4096];
                const ssize_t got = ::recv(sockets[i].fd, buf, sizeof buf, 0);
                if (got > 0 && std::string(buf, size_t(got)).find(" 503 ") != std::string::npos)
                    ++refused;
                if (got > 0)
                    continue;  // an answer (a refusal, a timeout): the close follows
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    continue;
                ++ended;
                reopen(i);
            }
            for (size_t i = 0; i < sockets.size(); ++i)
                if (sockets[i].fd < 0 && !slow(i))
                    open(i);
        }
    }

    const Options &o;
    std::vector<Socket> sockets;
    std::thread worker;
    std::atomic<bool> done {false};
    int ep = -1;
    long ended = 0, refused = 0, failed = 0;
};

struct ProcessTimes
{
    int parent = 0;
    long own = 0;  // user and system ticks of the process
    long reaped = 0;  // and of its children that ended
};

ProcessTimes processTimes(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t name = text.rfind(')');
    ProcessTimes t;
    if (name == std::string::npos)
        return t;
    // After the name: state ppid pgrp session tty tpgid flags minflt cminflt
    // majflt cmajflt utime stime cutime cstime.
    std::istringstream fields(text.substr(name + 1));
    std::string skip;
    long utime = 0, stime = 0, cutime = 0, cstime = 0;
    fields >> skip >> t.parent;
    for (int i = 0; i < 9; ++i)
        fields >> skip;
    fields >> utime >> stime >> cutime >> cstime;
    t.own = utime + stime;
    t.reaped = cutime + cstime;
    return t;
}

// CPU ticks of a process, and of its children, live or reaped: a database's
// server processes are children of its postmaster, the service's
// conversions children of the service.
std::pair<long, long> cpuTicks(int pid)
{
    const ProcessTimes self = processTimes(pid);
    long children = self.reaped;
    if (DIR *dir = ::opendir("/proc")) {
        while (const dirent *entry = ::readdir(dir)) {
            const int child = std::atoi(entry->d_name);
            const ProcessTimes t = child > 0 && child != pid ? processTimes(child) : ProcessTimes();
            if (t.parent == pid)
                children += t.own;
        }
        ::closedir(dir);
    }
    return {self.own, children};
}

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string v = argv[++i];
        if (a == "--url") {
            if (!splitUrl(v, o.host, o.port))
                return false;
        } else if (a == "--pcs") {
            o.pcs = std::atoi(v.c_str());
        } else if (a == "--rate") {
            o.rate = std::atof(v.c_str());
        } else if (a == "--seconds") {
            o.seconds = std::atof(v.c_str());
        } else if (a == "--connections") {
            o.connections = std::atoi(v.c_str());
        } else if (a == "--receivers") {
            o.receivers = std::atoi(v.c_str());
        } else if (a == "--sends") {
            o.sends = std::atof(v.c_str());
        } else if (a == "--sample") {
            o.sample = v;
        } else if (a == "--idle" || a == "--slow") {
            (a == "--idle" ? o.idle : o.slow) = std::atoi(v.c_str());
        } else if (a == "--from") {
            o.from = v;
        } else if (a == "--sources") {
            o.sources = std::atoi(v.c_str());
        } else if (a == "--cpu" && v.find('=') != std::string::npos) {
            o.cpu.emplace_back(v.substr(0, v.find('=')), std::atoi(v.c_str() + v.find('=') + 1));
        } else {
            return false;
        }
    }
    // Bounded by design: loopback, at most ten minutes and a million PCs.
    return o.pcs > 0 && o.pcs <= 1000000 && o.rate >= 0 && o.rate <= 1e6 && o.seconds > 0 && o.seconds <= 600
        && o.connections > 0 && o.connections <= 20000 && o.receivers >= 0 && o.receivers <= o.pcs
        && o.sends >= 0 && o.idle >= 0 && o.slow >= 0 && o.idle + o.slow <= 20000 && loopback(o.from)
        && o.sources >= 0 && o.sources <= 240
        && (o.sources == 0 || o.from.rfind("127.0.", 0) != 0 || std::atoi(o.from.c_str() + 6) < 10
            || std::atoi(o.from.c_str() + 6) >= 10 + o.sources);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
            "usage: %s --url http://127.0.0.1:PORT [--pcs N] [--rate BEATS_PER_S (0: as fast as possible)]\n"
            "       [--seconds S] [--connections N] [--receivers N] [--sends PER_S] [--sample FILE.m4r]\n"
            "       [--idle N] [--slow N] [--from 127.0.0.2] [--sources N] [--cpu NAME=PID ...]\n"
            "The service and --from must be loopback addresses. PCs and phones connect from\n"
            "127.0.10.1 to 127.0.(9 + N).1, N at most 240 (default 64; 0: from 127.0.0.1 only),\n"
            "a /24 each, which must not hold --from.\n",
            argv[0]);
        return 2;
    }
    rlimit lim {};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }

    std::string ringtone;
    std::vector<Phone> phones;
    if (o.receivers > 0 && o.sends > 0) {
        std::ifstream in(o.sample, std::ios::binary);
        ringtone = belfry::encodeBase64(std::string(std::istreambuf_iterator<char>(in), {}));
        if (ringtone.empty()) {
            std::fprintf(stderr, "ringtones need a sample .m4r file (--sample), or --receivers 0\n");
            return 2;
        }
        // Every receiver's PC gets a phone; they are spread over the PCs.
        for (int i = 0; i < o.receivers; ++i) {
            Phone p;
            p.pcid = pcid(int(long(i) * o.pcs / o.receivers));
            p.deviceId = "load" + std::to_string(i);
            if (!pairPhone(o.host, o.port, p, sourceAddress(o, size_t(i)))) {
                std::fprintf(stderr, "pairing a phone with %s failed\n", p.pcid.c_str());
                return 1;
            }
            phones.push_back(p);
        }
    }

    // Every PC beats once before the measurement, as PCs that are known
    // already: the first beat of a PC is an insert, all later ones updates.
    const std::vector<Phone> noPhones;
    Options warm = o;
    warm.rate = 0;
    warm.sends = 0;
    warm.beats = o.pcs;
    warm.seconds = 60;
    Load warmUp(warm, noPhones, ringtone);
    warmUp.run();
    if (warmUp.answered() < size_t(o.pcs)) {
        std::fprintf(stderr,
            "warm-up: only %zu of %d PCs were answered within %.0f s; is the service up, or did it refuse "
            "new PCs past its limit per address (more --sources)?\n",
            warmUp.answered(), o.pcs, warm.seconds);
        return 1;
    }

    // The attack settles first: its slow connections are under way.
    Attack attack(o);
    if (attack.active()) {
        attack.start();
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    std::vector<std::pair<long, long>> ticks;
    for (const auto &process : o.cpu)
        ticks.push_back(cpuTicks(process.second));
    Load load(o, phones, ringtone);
    load.run();
    for (size_t i = 0; i < o.cpu.size(); ++i) {
        const auto now = cpuTicks(o.cpu[i].second);
        ticks[i] = {now.first - ticks[i].first, now.second - ticks[i].second};
    }
    attack.stop();
    load.report();
    if (attack.active())
        attack.report();
    const double hz = double(sysconf(_SC_CLK_TCK));
    const double beats = double(std::max<size_t>(1, load.answered()));
    for (size_t i = 0; i < o.cpu.size(); ++i) {
        const double own = double(ticks[i].first) / hz, children = double(ticks[i].second) / hz;
        std::printf("CPU of the %s during the run: %.1f s, %.0f us per beat answered (all requests "
                    "included); of it %.1f s, %.0f us per beat, in its own threads, %.1f s in child processes\n",
            o.cpu[i].first.c_str(), own + children, 1e6 * (own + children) / beats, own, 1e6 * own / beats,
            children);
    }
    return 0;
}
