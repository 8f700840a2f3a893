#include "http.h"
#include "writeall.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace belfry {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;
using Parser = http::request_parser<http::string_body>;
using Message = http::response<http::string_body>;

namespace {

// Descriptors kept free for the database, ringtone files and the log.
constexpr size_t ReservedFiles = 64;
// How long a refused request's unread remainder is drained before closing,
// so that the refusal is not lost to a reset.
constexpr std::chrono::seconds Linger {2};
constexpr std::chrono::milliseconds StopPoll {50};
constexpr size_t KeptBuffer = 64 * 1024;

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

int hexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0'
        : c >= 'a' && c <= 'f'  ? c - 'a' + 10
        : c >= 'A' && c <= 'F'  ? c - 'A' + 10
                                : -1;
}

std::string decoded(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '%' && i + 2 < text.size();
        const int high = escape ? hexDigit(text[i + 1]) : -1, low = escape ? hexDigit(text[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            out += char(high * 16 + low);
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// A program whose service base ends in "/" asks for "//p/v1/heart".
std::string singleSlashes(std::string path)
{
    path.erase(std::unique(path.begin(), path.end(),
                   [](char a, char b) {
                       return a == '/' && b == '/';
                   }),
        path.end());
    return path;
}

void splitTarget(std::string_view target, Request &req)
{
    const size_t question = target.find('?');
    req.path = singleSlashes(decoded(target.substr(0, question), false));
    if (question == std::string_view::npos)
        return;
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t eq = pair.find('=');
        if (!pair.empty())
            req.params.emplace_back(decoded(pair.substr(0, eq), true),
                eq == std::string_view::npos ? std::string() : decoded(pair.substr(eq + 1), true));
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    }
}

// An address as text, IPv4 also when it came mapped into IPv6.
std::string addressText(const asio::ip::address &a)
{
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_string();
    return a.to_string();
}

// Behind a proxy, the last X-Forwarded-For entry is the one it appended.
std::string forwardedFor(const Request &req)
{
    std::string last;
    for (const auto &[name, value] : req.headers)
        if (sameText(name, "X-Forwarded-For"))
            last = value;
    const size_t comma = last.rfind(',');
    std::string entry = last.substr(comma == std::string::npos ? 0 : comma + 1);
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    error_code ec;
    const auto address = asio::ip::make_address(entry, ec);
    return ec ? std::string() : addressText(address);
}

bool matches(const char *pattern, const std::string &path, std::vector<std::string> &found)
{
    const char *star = std::strchr(pattern, '*');
    if (!star)
        return path == pattern;
    const std::string_view head(pattern, size_t(star - pattern)), tail(star + 1);
    if (path.size() <= head.size() + tail.size() || path.compare(0, head.size(), head) != 0
        || path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string middle = path.substr(head.size(), path.size() - head.size() - tail.size());
    if (middle.size() > 64 || middle.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    found = {path, middle};
    return true;
}

std::string refusalBody(const std::string &why)
{
    return nlohmann::json {{"status", 1}, {"error", why}}.dump();
}

void refuse(Response &res, int status, const std::string &why)
{
    res.status = status;
    res.setContent(refusalBody(why), "application/json");
    res.note = why;
    res.delivered = nullptr;
}

// What the head of a request decides before any of its body is read.
struct Admission
{
    const Route *route = nullptr;
    std::vector<std::string> matches;
    Response refusal;
};

Admission admit(const std::vector<Route> &routes, const Parser &parser, const std::string &path)
{
    Admission a;
    const auto &head = parser.get();
    const auto encoding = head[http::field::content_encoding];
    if (!encoding.empty() && !sameText(encoding, "identity")) {
        refuse(a.refusal, 415, "compressed request bodies are not accepted");
        return a;
    }
    bool pathKnown = false;
    for (const Route &route : routes) {
        if (!matches(route.path, path, a.matches))
            continue;
        pathKnown = true;
        if (head.method_string() == route.method) {
            a.route = &route;
            break;
        }
    }
    if (!a.route) {
        refuse(a.refusal, pathKnown ? 405 : 404, pathKnown ? "method not allowed here" : "no such address");
    } else if (parser.content_length() && *parser.content_length() > a.route->bodyLimit) {
        refuse(a.refusal, 413, "the request body is too large");
        a.route = nullptr;
    }
    return a;
}

// A parse failure as an answer; false when there is no one left to answer.
bool refusalFor(const error_code &ec, Response &res)
{
    if (ec == http::error::header_limit)
        refuse(res, 431, "the request headers are too large");
    else if (ec == http::error::body_limit)
        refuse(res, 413, "the request body is too large");
    else if (&ec.category() == &http::make_error_code(http::error::bad_target).category()
        && ec != http::error::end_of_stream && ec != http::error::partial_message
        && ec != http::error::need_more)
        refuse(res, 400, "malformed request: " + ec.message());
    else
        return false;
    return true;
}

// The request as far as it was read: its head, and its body when `withBody`.
Request makeRequest(
    Parser &parser, std::vector<std::string> found, const std::string &peer, bool trustProxy, bool withBody)
{
    auto &message = parser.get();
    Request req;
    req.matches = std::move(found);
    req.method = std::string(message.method_string());
    splitTarget(message.target(), req);
    for (const auto &field : message)
        req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    if (withBody)
        req.body = std::move(message.body());
    req.peer = peer;
    req.source = trustProxy ? forwardedFor(req) : std::string();
    if (req.source.empty())
        req.source = peer;
    return req;
}

Response run(const Finish &make)
{
    Response res;
    try {
        make(res);
    } catch (const std::exception &e) {
        res = {};
        refuse(res, 500, std::string("internal error: ") + e.what());
    }
    return res;
}

Response runRoute(const Route &route, const Request &req)
{
    return run([&](Response &res) {
        route.handle(req, res);
    });
}

bool runAdmission(const Route &route, const Request &head, Response &refusal)
{
    bool admitted = false;
    refusal = run([&](Response &res) {
        admitted = route.admit(head, res);
    });
    return admitted;
}

// A route that answers later: `resume` takes effect once, however often the
// route (or its failure) calls it.
void runDeferred(const Route &route, Request &req, Resume resume)
{
    auto called = std::make_shared<std::atomic<bool>>(false);
    Resume once = [called, resume = std::move(resume)](Finish finish) {
        if (!called->exchange(true))
            resume(std::move(finish));
    };
    try {
        route.defer(req, once);
    } catch (const std::exception &e) {
        once([why = std::string("internal error: ") + e.what()](Response &res) {
            refuse(res, 500, why);
        });
    }
}

// An answer on its way out; `delivered` as the route set it.
struct Answer
{
    Message message;
    std::function<void()> delivered;
    std::string note;
};

// One byte range of a file answer ("bytes=A-B", "A-" or "-N"): a part is
// never a delivery. Anything else is answered with the whole file.
bool byteRange(const Request &req, size_t size, size_t &from, size_t &to)
{
    const std::string range = req.header("Range");
    const size_t dash = range.find('-');
    if (range.compare(0, 6, "bytes=") != 0 || dash == std::string::npos || range.size() > 46
        || range.find_first_not_of("0123456789-", 6) != std::string::npos
        || range.find('-', dash + 1) != std::string::npos || size == 0)
        return false;
    const std::string first = range.substr(6, dash - 6), last = range.substr(dash + 1);
    const size_t a = std::strtoull(first.c_str(), nullptr, 10), b = std::strtoull(last.c_str(), nullptr, 10);
    if (first.empty() && last.empty())
        return false;
    from = first.empty() ? size - std::min(b, size) : a;  // "-N": the last N bytes
    to = first.empty() || last.empty() ? size - 1 : std::min(b, size - 1);
    return from <= to && from < size;
}

// `req` is null for a refusal made before the request was complete.
Answer prepare(Response res, const Request *req)
{
    Answer a {
        Message(static_cast<http::status>(res.status), 11), std::move(res.delivered), std::move(res.note)};
    size_t from = 0, to = 0;
    if (req && a.delivered && res.status == 200 && byteRange(*req, res.body.size(), from, to)) {
        a.message.result(http::status::partial_content);
        a.message.set(http::field::content_range,
            "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/"
                + std::to_string(res.body.size()));
        a.note = "bytes " + std::to_string(from) + "-" + std::to_string(to);
        res.body = res.body.substr(from, to - from + 1);
        a.delivered = nullptr;
    }
    if (!res.contentType.empty())
        a.message.set(http::field::content_type, res.contentType);
    for (const auto &[name, value] : res.headers)
        a.message.set(name, value);
    a.message.body() = std::move(res.body);
    a.message.prepare_payload();
    return a;
}

// Why an answer did not reach its client, for the log.
std::string broken(const error_code &ec, const char *timeout)
{
    return std::string("broken: ")
        + (ec == beast::error::timeout                 ? timeout
                : ec == asio::error::operation_aborted ? "cut off as the service stopped"
                                                       : ec.message().c_str());
}

std::string serialized(const Message &message)
{
    std::ostringstream text;
    text << message;
    return text.str();
}

std::string isoTime()
{
    char text[32];
    const std::time_t t = std::time(nullptr);
    std::tm tm {};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

size_t maxBody(const std::vector<Route> &routes)
{
    size_t most = 0;
    for (const Route &r : routes)
        most = std::max(most, r.bodyLimit);
    return most;
}

Parser &freshParser(std::optional<Parser> &parser, const HttpOptions &options, size_t bodyLimit)
{
    parser.emplace();
    parser->header_limit(uint32_t(options.headerLimit));
    parser->body_limit(bodyLimit);
    return *parser;
}

}  // namespace

std::string Request::header(std::string_view name) const
{
    for (const auto &[key, value] : headers)
        if (sameText(key, name))
            return value;
    return {};
}

std::string Request::param(std::string_view key) const
{
    for (const auto &[name, value] : params)
        if (name == key)
            return value;
    return {};
}

std::string addressKey(const std::string &text)
{
    in_addr v4 {};
    in6_addr v6 {};
    char out[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return {};
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(&v4, v6.s6_addr + 12, 4);
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    return std::string(inet_ntop(AF_INET6, &v6, out, sizeof out)) + "/64";
}

std::string escaped(std::string_view text, bool keepSpaces)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u > 0x20 && u < 0x7f && c != '\\') || (keepSpaces && c == ' ')) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

namespace {

// One line per request, timed from its first byte. The line goes out in one
// write of its own: through stdio every thread that logged took its turn on
// one lock, and under load they queued up there.
void logRequest(const HttpOptions &options, const std::string &address, const std::string &method,
    const std::string &path, int status, size_t bytes, Clock::time_point started, const std::string &note)
{
    if (!options.log)
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    const std::string line = isoTime() + " " + escaped(address) + " "
        + (method.empty() ? "-" : escaped(method)) + " " + (path.empty() ? "-" : escaped(path)) + " "
        + (status ? std::to_string(status) : "-") + " " + std::to_string(bytes) + "B " + std::to_string(ms)
        + "ms" + (note.empty() ? "" : " ") + escaped(note, true) + "\n";
    writeAll(STDERR_FILENO, line);
}

}  // namespace

// ---------------------------------------------------------------------------

class Session;

class HttpServer::Impl
{
public:
    Impl(std::vector<Route> routes, HttpOptions options)
        : routes(std::move(routes))
        , options(options)
        , largestBody(maxBody(this->routes))
        , connectionCap(options.maxConnections ? options.maxConnections : SIZE_MAX)
        , workers(size_t(std::max(1, options.workers)))
    { }

    void accept();
    void admitSocket(tcp::socket socket);
    std::shared_ptr<Session> reapIdle(const std::string *key);
    void release(Session *session);
    void stop();
    void stopSessions(int state);
    void awaitSessions(Clock::time_point until, bool cut);
    bool stopping() const { return stopped.load(); }

    const std::vector<Route> routes;
    const HttpOptions options;
    const size_t largestBody;
    size_t connectionCap;

    // Declared before the io_context: sessions that its destructor drops
    // still unregister here.
    std::mutex mutex;
    std::unordered_set<Session *> sessions;
    std::unordered_map<std::string, size_t> perAddress;
    size_t refusedConnections = 0;
    Clock::time_point lastRefusalLog;
    std::atomic<bool> stopped {false};
    // What is left of HttpOptions::uploadMemory.
    std::atomic<size_t> uploadRoom {options.uploadMemory};

    asio::io_context ioc;
    // Accepting, the signals and the stop take turns on one strand.
    asio::strand<asio::io_context::executor_type> control {asio::make_strand(ioc)};
    tcp::acceptor acceptor {control};
    asio::signal_set signals {control, SIGINT, SIGTERM};
    asio::steady_timer timer {control};
    // Destroyed (joined) before the io_context its tasks post back to.
    asio::thread_pool workers;
};

class Session : public std::enable_shared_from_this<Session>
{
public:
    enum State { Idle, Reading, Working, Writing };

    Session(HttpServer::Impl &server, tcp::socket socket, std::string peer, std::string key)
        : key(std::move(key))
        , server(server)
        , options(server.options)
        , stream(std::move(socket))
        , peer(std::move(peer))
    { }
    ~Session()
    {
        giveRoom();
        server.release(this);
    }

    void start()
    {
        asio::dispatch(stream.get_executor(), [self = shared_from_this()] {
            self->waitForRequest();
        });
    }
    // Ends the connection if it is in `state` or an earlier one: Idle only
    // makes room, Reading drops requests still arriving, Writing everything.
    void stop(State upTo)
    {
        asio::post(stream.get_executor(), [self = shared_from_this(), upTo] {
            if (self->state <= upTo)
                self->stream.close();
        });
    }

    const std::string key;
    std::atomic<State> state {Idle};
    std::atomic<bool> reaped {false};

private:
    void waitForRequest();
    void readHeader();
    void onHeader(const error_code &ec);
    bool takeRoom();
    void giveRoom();
    void admitHead();
    void continueBody();
    void readBody();
    void onBody(const error_code &ec);
    void reply(const std::shared_ptr<Request> &req, Response res);
    void answer(Answer a);
    void onWritten(const error_code &ec, size_t written);
    void failed(const error_code &ec, bool inHeaders);
    void finish(int status, size_t bytes, const std::string &note);
    void awaitClose(Clock::time_point deadline, std::function<void(const error_code &)> done);
    void closeAfterAnswer();
    Clock::time_point writeDeadline() const;

    HttpServer::Impl &server;
    const HttpOptions &options;
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<Parser> parser;
    const std::string peer;
    Clock::time_point started;
    const Route *route = nullptr;
    std::vector<std::string> found;
    std::string method, path, source;
    bool keepAlive = false;
    size_t heldRoom = 0;
    Answer out;
    char scratch[4096];
};

void Session::waitForRequest()
{
    state = Idle;
    if (server.stopping() || reaped)
        return stream.close();
    if (buffer.size() > 0)
        return readHeader();
    stream.expires_after(options.idleTimeout);
    stream.async_read_some(
        buffer.prepare(sizeof scratch), [self = shared_from_this()](error_code ec, size_t n) {
            self->buffer.commit(n);
            if (ec)
                return self->stream.close();  // an idle connection ends without a word
            self->readHeader();
        });
}

void Session::readHeader()
{
    state = Reading;
    started = Clock::now();
    method.clear();
    path.clear();
    source = peer;
    route = nullptr;
    keepAlive = false;
    freshParser(parser, options, server.largestBody);
    stream.expires_at(started + options.headerTimeout);
    http::async_read_header(stream, buffer, *parser, [self = shared_from_this()](error_code ec, size_t) {
        self->onHeader(ec);
    });
}

void Session::onHeader(const error_code &ec)
{
    if (ec)
        return failed(ec, true);
    method = std::string(parser->get().method_string());
    Request head;
    splitTarget(parser->get().target(), head);
    path = head.path;
    Admission a = admit(server.routes, *parser, path);
    if (!a.route)
        return answer(prepare(std::move(a.refusal), nullptr));
    route = a.route;
    found = std::move(a.matches);
    parser->body_limit(route->bodyLimit);
    if (!takeRoom()) {
        Response busy;
        refuse(busy, 503, "the service is receiving too many uploads at once; try again shortly");
        busy.headers.emplace_back("Retry-After", "10");
        return answer(prepare(std::move(busy), nullptr));
    }
    stream.expires_after(options.bodyTimeout);
    if (route->admit)
        return admitHead();
    continueBody();
}

// A large body's room in memory is taken before any of it is read, and held
// until its request ends.
bool Session::takeRoom()
{
    const auto length = parser->content_length();
    const size_t need = length ? size_t(*length) : route->bodyLimit;
    if (need <= UnmeteredBodyBytes)
        return true;
    size_t room = server.uploadRoom.load();
    do {
        if (room < need)
            return false;
    } while (!server.uploadRoom.compare_exchange_weak(room, room - need));
    heldRoom = need;
    return true;
}

void Session::giveRoom()
{
    server.uploadRoom += heldRoom;
    heldRoom = 0;
}

// The route looks at the head on a worker (it may ask the storage) while
// nothing more is read; a refusal ends the connection unread.
void Session::admitHead()
{
    auto head = std::make_shared<Request>(makeRequest(*parser, found, peer, options.trustProxy, false));
    source = head->source;
    asio::post(server.workers, [self = shared_from_this(), head] {
        auto refusal = std::make_shared<Response>();
        const bool admitted = runAdmission(*self->route, *head, *refusal);
        asio::post(self->stream.get_executor(), [self, admitted, refusal] {
            if (!admitted)
                return self->answer(prepare(std::move(*refusal), nullptr));
            self->continueBody();
        });
    });
}

void Session::continueBody()
{
    if (sameText(parser->get()[http::field::expect], "100-continue") && !parser->is_done()) {
        static const char Continue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        return asio::async_write(stream, asio::buffer(Continue, sizeof Continue - 1),
            [self = shared_from_this()](error_code ec, size_t) {
                if (ec)
                    return self->failed(ec, false);
                self->readBody();
            });
    }
    readBody();
}

void Session::readBody()
{
    http::async_read(stream, buffer, *parser, [self = shared_from_this()](error_code ec, size_t) {
        self->onBody(ec);
    });
}

void Session::onBody(const error_code &ec)
{
    if (ec)
        return failed(ec, false);
    state = Working;
    keepAlive = parser->get().keep_alive();
    auto req
        = std::make_shared<Request>(makeRequest(*parser, std::move(found), peer, options.trustProxy, true));
    source = req->source;
    asio::post(server.workers, [self = shared_from_this(), req] {
        const Route &route = *self->route;
        if (!route.defer)
            return self->reply(req, runRoute(route, *req));
        // The worker is free again at once; the answer is made on one later.
        runDeferred(route, *req, [self, req](Finish finish) {
            asio::post(self->server.workers, [self, req, finish = std::move(finish)] {
                self->reply(req, run(finish));
            });
        });
    });
}

// Called on a worker: the answer is written from the connection's strand.
void Session::reply(const std::shared_ptr<Request> &req, Response res)
{
    auto a = std::make_shared<Answer>(prepare(std::move(res), req.get()));
    asio::post(stream.get_executor(), [self = shared_from_this(), a] {
        self->answer(std::move(*a));
    });
}

// The request could not be read: refused when the client can still be told,
// and the connection ends either way.
void Session::failed(const error_code &ec, bool inHeaders)
{
    Response refusal;
    if (refusalFor(ec, refusal))
        return answer(prepare(std::move(refusal), nullptr));
    const auto timeout = inHeaders ? options.headerTimeout : options.bodyTimeout;
    const std::string why = ec == beast::error::timeout
        ? std::string("the ") + (inHeaders ? "headers" : "body") + " did not arrive within "
            + std::to_string(timeout.count()) + " s"
        : ec == asio::error::operation_aborted ? "dropped: the service is stopping"
                                               : "the client went away before the request was complete";
    finish(0, 0, why);
    stream.close();
}

void Session::answer(Answer a)
{
    state = Writing;
    out = std::move(a);
    // Only a request read whole may keep its connection (`keepAlive` is set
    // once its body is in): after a refusal the rest of it is still on its
    // way. A file answer ends its connection too: the client's orderly close
    // is what tells that it read every byte.
    keepAlive = keepAlive && !out.delivered && !server.stopping();
    route = nullptr;
    out.message.keep_alive(keepAlive);
    stream.expires_at(writeDeadline());
    http::async_write(stream, out.message, [self = shared_from_this()](error_code ec, size_t written) {
        self->onWritten(ec, written);
    });
}

Clock::time_point Session::writeDeadline() const
{
    const size_t rate = std::max<size_t>(1, options.writeRate);
    return Clock::now() + options.writeTimeout + std::chrono::seconds(out.message.body().size() / rate);
}

void Session::onWritten(const error_code &ec, size_t written)
{
    const int status = out.message.result_int();
    const size_t size = out.message.body().size();
    if (ec) {
        finish(status, written,
            broken(ec, "the answer was not written in time") + " after " + std::to_string(written) + " bytes"
                + (out.delivered ? "; the ringtone stays waiting" : ""));
        return stream.close();
    }
    if (!out.delivered) {
        finish(status, size, out.note);
        if (!keepAlive)
            return closeAfterAnswer();
        out = {};
        if (buffer.capacity() > KeptBuffer)
            buffer.shrink_to_fit();
        return waitForRequest();
    }
    error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    // The deadline of the write covers the client's close as well: what the
    // kernel still holds has to reach it first.
    awaitClose(writeDeadline(), [self = shared_from_this(), status, size](const error_code &ec) {
        self->stream.close();
        if (ec != asio::error::eof)
            return self->finish(status, size,
                broken(ec, "the client did not close the connection in time")
                    + "; the ringtone stays waiting");
        asio::post(self->server.workers, [self, status, size] {
            self->out.delivered();
            self->finish(status, size, self->out.note.empty() ? "delivered" : self->out.note + "; delivered");
        });
    });
}

void Session::awaitClose(Clock::time_point deadline, std::function<void(const error_code &)> done)
{
    stream.expires_at(deadline);
    stream.async_read_some(asio::buffer(scratch),
        [self = shared_from_this(), deadline, done = std::move(done)](error_code ec, size_t) mutable {
            if (!ec)
                return self->awaitClose(deadline, std::move(done));
            done(ec);
        });
}

// The client may still be sending what was refused: closing at once would
// reset the connection and could take the answer with it.
void Session::closeAfterAnswer()
{
    error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    awaitClose(Clock::now() + Linger, [self = shared_from_this()](const error_code &) {
        self->stream.close();
    });
}

void Session::finish(int status, size_t bytes, const std::string &text)
{
    giveRoom();
    logRequest(options, source, method, path, status, bytes, started, text);
}

// ---------------------------------------------------------------------------

void HttpServer::Impl::accept()
{
    acceptor.async_accept(asio::make_strand(ioc), [this](error_code ec, tcp::socket socket) {
        if (!acceptor.is_open())
            return;
        if (ec) {
            // Out of descriptors (or a connection gone before it was
            // taken): try again shortly instead of spinning.
            std::fprintf(stderr, "belfry-service: accepting failed: %s\n", ec.message().c_str());
            timer.expires_after(std::chrono::milliseconds(100));
            timer.async_wait([this](error_code ec) {
                if (!ec)
                    accept();
            });
            return;
        }
        admitSocket(std::move(socket));
        accept();
    });
}

void HttpServer::Impl::admitSocket(tcp::socket socket)
{
    error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec)
        return;
    const std::string key = addressKey(addressText(endpoint.address()));
    std::shared_ptr<Session> session, reapedAny, reapedOwn;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool room = (sessions.size() < connectionCap || (reapedAny = reapIdle(nullptr)))
            && (options.trustProxy || perAddress[key] < options.maxPerAddress
                || (reapedOwn = reapIdle(&key)));
        if (room) {
            socket.set_option(tcp::no_delay(true), ec);
            session
                = std::make_shared<Session>(*this, std::move(socket), addressText(endpoint.address()), key);
            sessions.insert(session.get());
            ++perAddress[key];
        } else if (++refusedConnections && Clock::now() - lastRefusalLog > std::chrono::seconds(10)) {
            std::fprintf(stderr,
                "belfry-service: %zu connections refused over the caps so far (latest from %s)\n",
                refusedConnections, escaped(key).c_str());
            lastRefusalLog = Clock::now();
        }
    }
    if (session)
        return session->start();
    static const std::string busy = [] {
        Response res;
        refuse(res, 503, "too many connections; try again");
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
    error_code ec;
    tcp::resolver resolver(impl->ioc);
    const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
    if (ec || found.empty()) {
        error = "cannot resolve " + host + ": " + ec.message();
        return -1;
    }
    const tcp::endpoint endpoint = *found.begin();
    auto &acceptor = impl->acceptor;
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

void HttpServer::run()
{
    Impl &server = *impl;
    server.signals.async_wait([&server](error_code ec, int signal) {
        if (ec)
            return;
        std::fprintf(stderr, "belfry-service: %s received, stopping\n", strsignal(signal));
        server.stop();
    });
    server.accept();
    std::vector<std::thread> threads;
    for (int i = 1; i < server.options.ioThreads; ++i)
        threads.emplace_back([&server] {
            server.ioc.run();
        });
    server.ioc.run();
    for (std::thread &t : threads)
        t.join();
    // Deliveries being recorded finish; nothing new arrives any more.
    server.workers.join();
}

// ---------------------------------------------------------------------------

namespace {

// Feeds the parser until the head (or the whole request) is in; false when
// the input ends first or `ec` tells what is wrong with it.
bool feed(Parser &parser, std::string_view &input, bool headOnly, error_code &ec)
{
    parser.eager(!headOnly);
    while (!(headOnly ? parser.is_header_done() : parser.is_done())) {
        const size_t used = parser.put(asio::buffer(input.data(), input.size()), ec);
        input.remove_prefix(used);
        if (ec == http::error::need_more && used > 0 && !input.empty())
            ec = {};
        else if (ec || used == 0)
            return false;
    }
    return true;
}

// A deferred route's answer, waited for in this thread.
Response awaitDeferred(const Route &route, Request &req)
{
    auto made = std::make_shared<std::promise<Finish>>();
    std::future<Finish> finish = made->get_future();
    runDeferred(route, req, [made](Finish f) {
        made->set_value(std::move(f));
    });
    return run(finish.get());
}

}  // namespace

std::string exchange(const std::vector<Route> &routes, const HttpOptions &options, std::string_view input)
{
    std::string out;
    std::optional<Parser> parser;
    bool keepAlive = true;
    while (!input.empty() && keepAlive) {
        freshParser(parser, options, maxBody(routes));
        error_code ec;
        Response res;
        std::optional<Request> req;
        if (feed(*parser, input, true, ec)) {
            Request head;
            splitTarget(parser->get().target(), head);
            Admission a = admit(routes, *parser, head.path);
            res = std::move(a.refusal);
            if (a.route && a.route->admit) {
                const Request headOnly
                    = makeRequest(*parser, a.matches, "127.0.0.1", options.trustProxy, false);
                if (!runAdmission(*a.route, headOnly, res))
                    a.route = nullptr;
            }
            if (a.route) {
                parser->body_limit(a.route->bodyLimit);
                if (feed(*parser, input, false, ec)) {
                    keepAlive = parser->get().keep_alive();
                    req = makeRequest(*parser, std::move(a.matches), "127.0.0.1", options.trustProxy, true);
                    res = a.route->defer ? awaitDeferred(*a.route, *req) : runRoute(*a.route, *req);
                }
            }
        }
        if (ec && !refusalFor(ec, res))
            break;  // cut short: no answer yet
        Answer answer = prepare(std::move(res), req ? &*req : nullptr);
        keepAlive = keepAlive && req && !answer.delivered;
        answer.message.keep_alive(keepAlive);
        out += serialized(answer.message);
    }
    return out;
}

}  // namespace belfry
