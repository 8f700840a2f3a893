#include "http/server.h"
#include "http/session.h"
#include "http/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include <sys/resource.h>
#include <sys/socket.h>

namespace belfry {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using namespace transport;

namespace {

// Descriptors kept free for the database, ringtone files and the log.
constexpr size_t ReservedFiles = 64;
constexpr std::chrono::milliseconds StopPoll {50};

// Whatever escapes a connection's handler ends that connection (its handler
// is gone with the unwinding), not the others: the loop goes on.
void serve(asio::io_context &ioc)
{
    for (;;) {
        try {
            ioc.run();
            return;
        } catch (const std::exception &e) {
            std::fprintf(
                stderr, "belfry-service: a connection ended on an error: %s\n", escaped(e.what()).c_str());
        }
    }
}

constexpr const char *MetricsType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

MetricsHost::MetricsHost(HttpServer::Impl &server, Metrics &metrics)
    : server(server)
    , routes {{"GET", "/metrics", 0, [&metrics](const Request &, Response &res) {
                   res.setContent(metrics.text(), MetricsType);
               }}}
{ }

const HttpOptions &MetricsHost::settings() const { return server.settings(); }
bool MetricsHost::stopping() const { return server.stopping(); }
UploadRoom &MetricsHost::uploadRoom() { return server.uploadRoom(); }
Room &MetricsHost::fileRoom() { return server.fileRoom(); }
Metrics &MetricsHost::metrics() { return server.metrics(); }
asio::thread_pool::executor_type MetricsHost::workers() { return server.workers(); }
void MetricsHost::release(Session *session) { server.release(session); }

HttpServer::Impl::Impl(std::vector<Route> routes, HttpOptions options)
    : routes(std::move(routes))
    , options(options)
    , counted(options.metrics ? *options.metrics : uncounted)
    , largestBody(transport::maxBody(this->routes))
    , connectionCap(options.maxConnections ? options.maxConnections : SIZE_MAX)
    , pool(size_t(std::max(1, options.workers)))
{
    counted.connections.readFrom([this] {
        std::lock_guard<std::mutex> lock(mutex);
        return int64_t(sessions.size());
    });
    counted.uploadBytes.readFrom([this] {
        return int64_t(uploadBytes.used());
    });
    counted.fileBytes.readFrom([this] {
        return int64_t(fileBytes.used());
    });
}

// The metrics outlive the server.
HttpServer::Impl::~Impl()
{
    for (Gauge *g : {&counted.connections, &counted.uploadBytes, &counted.fileBytes})
        g->readFrom(nullptr);
}

void HttpServer::Impl::accept(tcp::acceptor &from, Host &host)
{
    from.async_accept(asio::make_strand(ioc), [this, &from, &host](error_code ec, tcp::socket socket) {
        if (!from.is_open())
            return;
        if (ec) {
            // Out of descriptors (or a connection gone before it was
            // taken): try again shortly instead of spinning.
            std::fprintf(stderr, "belfry-service: accepting failed: %s\n", ec.message().c_str());
            timer.expires_after(std::chrono::milliseconds(100));
            timer.async_wait([this, &from, &host](error_code ec) {
                if (!ec)
                    accept(from, host);
            });
            return;
        }
        admitSocket(std::move(socket), host);
        accept(from, host);
    });
}

void HttpServer::Impl::admitSocket(tcp::socket socket, Host &host)
{
    error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec)
        return;
    socket.set_option(tcp::no_delay(true), ec);
    admitConnection(std::move(socket), addressText(endpoint.address()), host);
}

void HttpServer::Impl::admitConnection(tcp::socket socket, const std::string &peer, Host &host)
{
    error_code ec;
    const std::string key = addressKey(peer);
    std::shared_ptr<Session> session, reapedAny, reapedOwn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool room = (sessions.size() < connectionCap || (reapedAny = reapIdle(nullptr)))
            && (options.proxies.trusts(peer) || perAddress[key] < options.maxPerAddress
                || (reapedOwn = reapIdle(&key)));
        if (room) {
            session = std::make_shared<Session>(host, std::move(socket), peer, key);
            sessions.insert(session.get());
            ++perAddress[key];
        } else {
            counted.refused(size_t(Refusal::Busy));
            if (++refusedConnections && Clock::now() - lastRefusalLog > std::chrono::seconds(10)) {
                std::fprintf(stderr,
                    "belfry-service: %zu connections refused over the caps so far (latest from %s)\n",
                    refusedConnections, escaped(key).c_str());
                lastRefusalLog = Clock::now();
            }
        }
    }
    if (session)
        return session->start();
    static const std::string busy = [] {
        Response res;
        refuse(res, Refusal::Busy, "too many connections; try again");
        Answer a = prepare(std::move(res), nullptr);
        a.message.keep_alive(false);
        return serialized(a.message);
    }();
    ::send(socket.native_handle(), busy.data(), busy.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    socket.shutdown(tcp::socket::shutdown_both, ec);
}

// Makes room by ending a connection that only waits for its next request
// (of this address, or of any). Called with the mutex held; the caller lets
// go of the session only after unlocking, as its end takes the mutex.
std::shared_ptr<Session> HttpServer::Impl::reapIdle(const std::string *key)
{
    for (Session *s : sessions) {
        if (s->state != Session::Idle || (key && s->key != *key) || s->reaped.exchange(true))
            continue;
        if (auto alive = s->weak_from_this().lock()) {
            alive->stop(Session::Idle);
            return alive;
        }
    }
    return nullptr;
}

void HttpServer::Impl::release(Session *session)
{
    std::lock_guard<std::mutex> lock(mutex);
    sessions.erase(session);
    if (--perAddress[session->key] == 0)
        perAddress.erase(session->key);
}

void HttpServer::Impl::stop()
{
    stopped = true;
    if (options.stopping)
        options.stopping();
    error_code ignored;
    acceptor.close(ignored);
    metricsAcceptor.close(ignored);
    timer.cancel();
    stopSessions(Session::Reading);
    awaitSessions(Clock::now() + options.stopGrace, false);
}

// Ends the open sessions in `state` (a Session::State) or an earlier one.
void HttpServer::Impl::stopSessions(int state)
{
    std::vector<std::shared_ptr<Session>> open;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Session *s : sessions)
            if (auto alive = s->weak_from_this().lock())
                open.push_back(std::move(alive));
    }
    for (const auto &session : open)
        session->stop(Session::State(state));
}

// Answers under way get the grace time; then what is left is cut off (and
// logged as broken), and a moment later the service ends regardless.
void HttpServer::Impl::awaitSessions(Clock::time_point until, bool cut)
{
    bool idle;
    {
        std::lock_guard<std::mutex> lock(mutex);
        idle = sessions.empty();
    }
    if (idle || (cut && Clock::now() >= until))
        return ioc.stop();
    if (!cut && Clock::now() >= until) {
        stopSessions(Session::Writing);
        cut = true;
        until = Clock::now() + std::chrono::milliseconds(500);
    }
    timer.expires_after(StopPoll);
    timer.async_wait([this, until, cut](error_code) {
        awaitSessions(until, cut);
    });
}

HttpServer::HttpServer(std::vector<Route> routes, HttpOptions options)
    : impl(std::make_unique<Impl>(std::move(routes), options))
{ }

HttpServer::~HttpServer() = default;

namespace {

int bindTo(tcp::acceptor &acceptor, const std::string &host, int port, std::string &error)
{
    error_code ec;
    tcp::resolver resolver(acceptor.get_executor());
    const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
    if (ec || found.empty()) {
        error = "cannot resolve " + host + ": " + ec.message();
        return -1;
    }
    const tcp::endpoint endpoint = *found.begin();
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    const tcp::endpoint bound = ec ? tcp::endpoint() : acceptor.local_endpoint(ec);
    if (ec) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message();
        return -1;
    }
    return bound.port();
}

}  // namespace

int HttpServer::listenMetrics(const std::string &host, int port, std::string &error)
{
    return bindTo(impl->metricsAcceptor, host, port, error);
}

int HttpServer::listen(const std::string &host, int port, std::string &error)
{
    // Every connection is a descriptor: take all the system allows, and keep
    // the cap below it so the database and files still open.
    rlimit files {};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::getrlimit(RLIMIT_NOFILE, &files);
        if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur > ReservedFiles * 2)
            impl->connectionCap = std::min(impl->connectionCap, size_t(files.rlim_cur - ReservedFiles));
    }
    return bindTo(impl->acceptor, host, port, error);
}

void HttpServer::run()
{
    Impl &server = *impl;
    server.signals.async_wait([&server](error_code ec, int signal) {
        if (ec)
            return;
        std::fprintf(stderr, "belfry-service: %s received, stopping\n", strsignal(signal));
        server.stop();
    });
    server.accept(server.acceptor, server);
    if (server.metricsAcceptor.is_open())
        server.accept(server.metricsAcceptor, server.metricsHost);
    std::vector<std::thread> threads;
    for (int i = 1; i < server.options.ioThreads; ++i)
        threads.emplace_back([&server] {
            serve(server.ioc);
        });
    serve(server.ioc);
    for (std::thread &t : threads)
        t.join();
    // Deliveries being recorded finish; nothing new arrives any more.
    server.pool.join();
}

}  // namespace belfry
