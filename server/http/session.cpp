#include "http/session.h"
#include "http/text.h"
#include "writeall.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <unistd.h>

#include <random>

namespace belfry::transport {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// How long a refused request's unread remainder is drained before closing,
// so that the refusal is not lost to a reset.
constexpr std::chrono::seconds Linger {2};
// What a connection holds of its input at most, the head included (when the
// header cap is larger, that). Chunk lines and trailers are read in it whole,
// so this is also what bounds them; the body passes through to its own room.
constexpr size_t ReadBuffer = 16 * KiB;

// Why an answer did not reach its client, for the log.
std::string broken(const error_code &ec, const char *timeout)
{
    return std::string("broken: ")
        + (ec == beast::error::timeout                 ? timeout
                : ec == asio::error::operation_aborted ? "cut off as the service stopped"
                                                       : ec.message().c_str());
}

// Past a cap of the service's memory: the client may try again shortly.
Response busy(const std::string &why)
{
    Response res;
    refuse(res, Refusal::Busy, why);
    res.headers.emplace_back("Retry-After", "10");
    return res;
}

// A logfmt value: quoted when it holds a space (kept only in notes, which are
// words), an equals sign or a quote.
std::string logValue(std::string_view text, bool words = false)
{
    if (text.empty())
        return "-";
    const std::string plain = escaped(text, words);
    if (plain.find_first_of(" =\"") == std::string::npos)
        return plain;
    std::string quoted = "\"";
    for (const char c : plain)
        quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    return quoted + "\"";
}

// Whether a request's line is written: under Sampled a routine success that
// says nothing more is drawn 1 in AccessLogBeatSample, at random so that no
// PC's beats are always or never the ones kept. Refusals, failures, notes
// (deliveries, farewells) and every other route are always kept.
bool logged(const HttpOptions &options, bool routine, int status, const std::string &note)
{
    if (!options.log || options.accessLog == AccessLog::Off)
        return false;
    if (options.accessLog == AccessLog::All || !routine || status == 0 || status >= 400 || !note.empty())
        return true;
    thread_local std::minstd_rand draw(std::random_device {}());
    return draw() % AccessLogBeatSample == 0;
}

// One line per request, timed from its first byte, in logfmt (key=value) as
// the journal and log tools read it. The line goes out in one write of its
// own: through stdio every thread that logged took its turn on one lock, and
// under load they queued up there.
void logRequest(const HttpOptions &options, bool routine, const std::string &address, const std::string &method,
    const std::string &path, int status, size_t bytes, Clock::time_point started, const std::string &note)
{
    if (!logged(options, routine, status, note))
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    const std::string line = "time=" + isoTime() + " addr=" + logValue(address) + " method=" + logValue(method)
        + " path=" + logValue(path) + " status=" + (status ? std::to_string(status) : "-")
        + " bytes=" + std::to_string(bytes) + " ms=" + std::to_string(ms)
        + (note.empty() ? "" : " note=" + logValue(note, true)) + "\n";
    writeAll(STDERR_FILENO, line);
}

}  // namespace

Session::Session(Host &host, tcp::socket socket, std::string peer, std::string key)
    : key(std::move(key))
    , host(host)
    , options(host.settings())
    , stream(std::move(socket))
    , buffer(std::max(ReadBuffer, options.headerLimit))
    , peer(std::move(peer))
{ }

Session::~Session()
{
    giveRoom();
    host.fileRoom().give(heldFileRoom);
    host.release(this);
}

void Session::start()
{
    asio::dispatch(stream.get_executor(), [self = shared_from_this()] {
        self->waitForRequest();
    });
}

void Session::stop(State upTo)
{
    asio::post(stream.get_executor(), [self = shared_from_this(), upTo] {
        if (self->state <= upTo)
            self->stream.close();
    });
}

void Session::waitForRequest()
{
    state = Idle;
    if (host.stopping() || reaped)
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
    routine = false;
    keepAlive = false;
    unreadable.clear();
    headBytes = 0;
    parser.emplace();
    parser->header_limit(uint32_t(options.headerLimit));
    parser->body_limit(host.bodyCap());
    // None of our clients sends chunk extensions, and a proxy in front may
    // read them otherwise.
    static auto noExtensions = [](std::uint64_t, std::string_view extensions, error_code &ec) {
        if (!extensions.empty())
            ec = http::error::bad_chunk_extension;
    };
    parser->on_chunk_header(noExtensions);
    stream.expires_at(started + options.headerTimeout);
    read(false);
}

// Reads until the parser holds the head, or the whole request when `whole`.
// The parser runs here rather than inside Beast's read, so that whatever it
// throws ends this request, not the service.
void Session::read(bool whole)
{
    error_code ec;
    if (parse(whole, ec))
        return whole ? onBody(ec) : onHeader(ec);
    const size_t room = buffer.max_size() - buffer.size();
    if (room == 0 && !whole)
        return onHeader(http::error::header_limit);
    if (room == 0) {
        unreadable = "malformed request: a chunk line or trailer longer than "
            + std::to_string(buffer.max_size()) + " bytes";
        return onBody(http::error::buffer_overflow);
    }
    stream.async_read_some(buffer.prepare(room), [self = shared_from_this(), whole](error_code ec, size_t n) {
        self->buffer.commit(n);
        if (whole)
            self->keepPace(n);
        if (ec)
            return whole ? self->onBody(ec) : self->onHeader(ec);
        self->read(whole);
    });
}

// Hands what is buffered to the parser: true once it holds what `whole` asks
// for, or `ec` says why it never will.
bool Session::parse(bool whole, error_code &ec)
{
    parser->eager(whole);
    const auto done = [&] {
        return whole ? parser->is_done() : parser->is_header_done();
    };
    while (buffer.size() > 0 && !done()) {
        size_t used = 0;
        try {
            used = parser->put(buffer.data(), ec);
        } catch (const std::exception &e) {
            unreadable = std::string("malformed request: ") + e.what();
            ec = http::error::bad_value;
            return true;
        }
        buffer.consume(used);
        // Beast counts its limit from the first field it has not taken yet,
        // so a head of many fields would pass it up to the read buffer.
        if (!whole && (headBytes += used) > options.headerLimit) {
            ec = http::error::header_limit;
            return true;
        }
        if (ec && ec != http::error::need_more)
            return true;
        ec = {};
        if (used == 0)
            break;
    }
    return done();
}

void Session::onHeader(const error_code &ec)
{
    if (ec)
        return failed(ec, true);
    headFields = fieldCount();
    method = std::string(parser->get().method_string());
    Request head;
    splitTarget(parser->get().target(), head);
    path = head.path;
    Admission a = admit(host.routeTable(), *parser, path);
    if (!a.route)
        return answer(prepare(std::move(a.refusal), nullptr));
    route = a.route;
    found = std::move(a.matches);
    parser->body_limit(route->bodyLimit);
    bodyEnds = Clock::now() + options.bodyTimeout;
    stream.expires_at(bodyEnds);
    if (route->admit)
        return admitHead();
    continueBody(false);
}

// A large body's room in memory is taken before any of it is read, and held
// until its request ends; `vouched` once its sender's credentials are checked.
bool Session::takeRoom(bool vouched)
{
    const auto length = parser->content_length();
    const size_t need = length ? size_t(*length) : route->bodyLimit;
    if (need <= UnmeteredBodyBytes)
        return true;
    // Behind a trusted proxy every body comes from it: the sender is the
    // address it names.
    if (options.proxies.any() && source == peer)
        source = makeRequest(*parser, {}, peer, options.proxies, false).source;
    if (!host.uploadRoom().take(addressKey(source), need, vouched))
        return false;
    heldRoom = need;
    roomVouched = vouched;
    return true;
}

void Session::giveRoom()
{
    host.uploadRoom().give(addressKey(source), std::exchange(heldRoom, 0), roomVouched);
}

// The route looks at the head on a worker (it may ask the storage) while
// nothing more is read; a refusal ends the connection unread.
void Session::admitHead()
{
    auto head = std::make_shared<Request>(makeRequest(*parser, found, peer, options.proxies, false));
    source = head->source;
    asio::post(host.workers(), [self = shared_from_this(), head] {
        auto refusal = std::make_shared<Response>();
        const bool admitted = runAdmission(*self->route, *head, *refusal);
        asio::post(self->stream.get_executor(), [self, admitted, refusal] {
            if (!admitted)
                return self->answer(prepare(std::move(*refusal), nullptr));
            self->continueBody(true);
        });
    });
}

void Session::continueBody(bool vouched)
{
    if (!takeRoom(vouched))
        return answer(
            prepare(busy("the service is receiving too many uploads at once; try again shortly"), nullptr));
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
    bodyStarted = Clock::now();
    bodyBytes = 0;
    keepPace(0);
    read(true);
}

// The body's next deadline: its whole time, or sooner where what arrived so
// far is behind the least rate once the grace is over.
void Session::keepPace(size_t arrived)
{
    bodyBytes += arrived;
    const auto due = bodyStarted
        + std::max<Clock::duration>(options.bodyRateGrace,
            std::chrono::milliseconds(bodyBytes * 1000 / std::max<size_t>(options.minBodyRate, 1)));
    tooSlow = due < bodyEnds;
    stream.expires_at(std::min(due, bodyEnds));
}

void Session::onBody(const error_code &ec)
{
    if (ec)
        return failed(ec, false);
    // Trailer fields join the head's: one could stand in for a header that
    // was checked before the body, such as X-Forwarded-For.
    if (fieldCount() != headFields) {
        unreadable = "malformed request: trailer fields are not accepted";
        return failed(http::error::bad_value, false);
    }
    state = Working;
    keepAlive = parser->get().keep_alive();
    auto req
        = std::make_shared<Request>(makeRequest(*parser, std::move(found), peer, options.proxies, true));
    source = req->source;
    asio::post(host.workers(), [self = shared_from_this(), req] {
        const Route &route = *self->route;
        if (!route.defer)
            return self->reply(req, runRoute(route, *req));
        // The worker is free again at once; the answer is made on one later.
        runDeferred(route, *req, [self, req](Finish finish) {
            asio::post(self->host.workers(), [self, req, finish = std::move(finish)] {
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
    if (!unreadable.empty())
        refuse(refusal, Refusal::BadRequest, unreadable);
    if (!unreadable.empty() || refusalFor(ec, refusal))
        return answer(prepare(std::move(refusal), nullptr));
    const auto timeout = inHeaders ? options.headerTimeout : options.bodyTimeout;
    const std::string why = ec == beast::error::timeout && !inHeaders && tooSlow
        ? "the body arrived slower than " + std::to_string(options.minBodyRate) + " bytes a second"
        : ec == beast::error::timeout
        ? std::string("the ") + (inHeaders ? "headers" : "body") + " did not arrive within "
            + std::to_string(timeout.count()) + " s"
        : ec == asio::error::operation_aborted ? "dropped: the service is stopping"
                                               : "the client went away before the request was complete";
    finish(0, 0, why);
    stream.close();
}

void Session::answer(Answer a)
{
    if (a.refusal >= 0)
        host.metrics().refused(size_t(a.refusal));
    state = Writing;
    out = std::move(a);
    if (method == "HEAD") {
        // Content-Length stays that of the body a GET would get.
        out.message.body().clear();
        out.file = nullptr;
        out.length = 0;
        out.delivered = nullptr;
    }
    if (out.file && !takeFileRoom())
        return answer(prepare(busy("the service is sending too many files at once; try again shortly"), nullptr));
    // Only a request read whole may keep its connection (`keepAlive` is set
    // once its body is in): after a refusal the rest of it is still on its
    // way. A delivery ends its connection too: the client's orderly close is
    // what tells that it read every byte.
    keepAlive = keepAlive && !out.delivered && !host.stopping();
    routine = route && route->routine;
    route = nullptr;
    out.message.keep_alive(keepAlive);
    sent = 0;
    deadline = writeDeadline();
    stream.expires_at(deadline);
    http::async_write(stream, out.message, [self = shared_from_this()](error_code ec, size_t written) {
        self->onWritten(ec, written);
    });
}

Clock::time_point Session::writeDeadline() const
{
    const size_t rate = std::max<size_t>(1, options.writeRate);
    return Clock::now() + options.writeTimeout
        + std::chrono::seconds((out.message.body().size() + out.length) / rate);
}

// A file answer holds one piece in memory while it is sent.
bool Session::takeFileRoom()
{
    if (!host.fileRoom().take(FilePieceBytes))
        return false;
    heldFileRoom = FilePieceBytes;
    // Here, not on the workers that fill it, so that the pieces of slow
    // readers do not scatter over every worker's heap.
    piece.reserve(FilePieceBytes);
    return true;
}

// The next piece of the file is read on a worker and written from the strand.
void Session::sendPiece()
{
    const uint64_t at = out.from + sent;
    const size_t length = size_t(std::min<uint64_t>(FilePieceBytes, out.length - sent));
    asio::post(host.workers(), [self = shared_from_this(), at, length] {
        const bool read = self->out.file->read(at, length, self->piece) && self->piece.size() == length;
        asio::post(self->stream.get_executor(), [self, read] {
            if (!read) {
                self->finish(self->out.message.result_int(), self->sent,
                    "broken: the file could not be read after " + std::to_string(self->sent) + " bytes");
                return self->stream.close();
            }
            self->stream.expires_at(self->deadline);
            asio::async_write(self->stream, asio::buffer(self->piece), [self](error_code ec, size_t written) {
                self->sent += written;
                self->onWritten(ec, 0);
            });
        });
    });
}

// After the head (and a body held in memory), and after each piece of a file.
void Session::onWritten(const error_code &ec, size_t written)
{
    const int status = out.message.result_int();
    const size_t size = out.message.body().size() + size_t(out.length);
    if (ec) {
        const size_t reached = out.file ? size_t(sent) : written;
        finish(status, reached,
            broken(ec, "the answer was not written in time") + " after " + std::to_string(reached) + " bytes"
                + (out.delivered ? "; the ringtone stays waiting" : ""));
        return stream.close();
    }
    if (out.file && sent < out.length)
        return sendPiece();
    piece = {};
    if (!out.delivered) {
        finish(status, size, out.note);
        if (!keepAlive)
            return closeAfterAnswer();
        out = {};
        return waitForRequest();
    }
    error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    // The deadline of the write covers the client's close as well: what the
    // kernel still holds has to reach it first.
    awaitClose(deadline, [self = shared_from_this(), status, size](const error_code &ec) {
        self->stream.close();
        if (ec != asio::error::eof)
            return self->finish(status, size,
                broken(ec, "the client did not close the connection in time")
                    + "; the ringtone stays waiting");
        asio::post(self->host.workers(), [self, status, size] {
            std::string note;
            const Response recorded = run([&](Response &) {
                note = self->out.delivered();
            });
            if (!recorded.note.empty())
                note = recorded.note;
            self->finish(status, size, self->out.note.empty() ? note : self->out.note + "; " + note);
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

size_t Session::fieldCount() const
{
    return size_t(std::distance(parser->get().begin(), parser->get().end()));
}

void Session::finish(int status, size_t bytes, const std::string &text)
{
    giveRoom();
    host.fileRoom().give(std::exchange(heldFileRoom, 0));
    logRequest(options, routine, source, method, path, status, bytes, started, text);
}

}  // namespace belfry::transport
