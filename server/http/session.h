#pragma once

// One connection, from its first byte to its close: each request read under
// its deadlines and limits, handed to a worker, answered from the
// connection's strand, and for a file, the client's orderly close awaited.

#include "http/host.h"
#include "http/router.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace belfry::transport {

using Clock = std::chrono::steady_clock;

class Session : public std::enable_shared_from_this<Session>
{
public:
    enum State { Idle, Reading, Working, Writing };

    Session(Host &host, boost::asio::ip::tcp::socket socket, std::string peer, std::string key);
    ~Session();

    void start();
    // Ends the connection if it is in `state` or an earlier one: Idle only
    // makes room, Reading drops requests still arriving, Writing everything.
    void stop(State upTo);

    const std::string key;
    std::atomic<State> state {Idle};
    std::atomic<bool> reaped {false};

private:
    void waitForRequest();
    void readHeader();
    void read(bool whole);
    bool parse(bool whole, boost::system::error_code &ec);
    size_t fieldCount() const;
    void onHeader(const boost::system::error_code &ec);
    bool takeRoom(bool vouched);
    void giveRoom();
    void admitHead();
    void continueBody(bool vouched);
    void readBody();
    void keepPace(size_t arrived);
    void onBody(const boost::system::error_code &ec);
    void reply(const std::shared_ptr<Request> &req, Response res);
    void answer(Answer a);
    void onWritten(const boost::system::error_code &ec, size_t written);
    bool takeFileRoom();
    void sendPiece();
    void failed(const boost::system::error_code &ec, bool inHeaders);
    void finish(int status, size_t bytes, const std::string &note);
    void awaitClose(Clock::time_point deadline, std::function<void(const boost::system::error_code &)> done);
    void closeAfterAnswer();
    Clock::time_point writeDeadline() const;

    Host &host;
    const HttpOptions &options;
    boost::beast::tcp_stream stream;
    boost::beast::flat_buffer buffer;
    std::optional<Parser> parser;
    const std::string peer;
    Clock::time_point started;
    const Route *route = nullptr;
    // The route answering now is a routine one (see Route::routine).
    bool routine = false;
    std::vector<std::string> found;
    std::string method, path, source;
    bool keepAlive = false;
    size_t headFields = 0;
    // The head's bytes taken so far, its request line included.
    size_t headBytes = 0;
    // Why the request could not be read, where the parser has no error for it.
    std::string unreadable;
    size_t heldRoom = 0;
    bool roomVouched = false;
    // The body's whole deadline, and how it is keeping pace within it.
    Clock::time_point bodyEnds, bodyStarted;
    size_t bodyBytes = 0;
    bool tooSlow = false;
    size_t heldFileRoom = 0;
    Answer out;
    // How much of a file's part is written, the piece in flight, and when
    // the whole answer (and a delivery's close) must be done.
    uint64_t sent = 0;
    std::string piece;
    Clock::time_point deadline;
    char scratch[4096];
};

}  // namespace belfry::transport
