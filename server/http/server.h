#pragma once

// The listening side: connections accepted under the caps (per address and
// in all), idle ones reaped to make room, and the stop at SIGINT or SIGTERM
// that lets answers under way finish within the grace.

#include "http/http.h"
#include "http/router.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <csignal>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace belfry {

namespace transport {
class Session;
}

class HttpServer::Impl
{
public:
    Impl(std::vector<Route> routes, HttpOptions options)
        : routes(std::move(routes))
        , options(options)
        , largestBody(transport::maxBody(this->routes))
        , connectionCap(options.maxConnections ? options.maxConnections : SIZE_MAX)
        , workers(size_t(std::max(1, options.workers)))
    { }

    void accept();
    void admitSocket(boost::asio::ip::tcp::socket socket);
    // Serves a connection open to `peer` under the caps, or refuses it.
    void admitConnection(boost::asio::ip::tcp::socket socket, const std::string &peer);
    std::shared_ptr<transport::Session> reapIdle(const std::string *key);
    void release(transport::Session *session);
    void stop();
    void stopSessions(int state);
    void awaitSessions(std::chrono::steady_clock::time_point until, bool cut);
    bool stopping() const { return stopped.load(); }

    const std::vector<Route> routes;
    const HttpOptions options;
    const size_t largestBody;
    size_t connectionCap;

    // Declared before the io_context: sessions that its destructor drops
    // still unregister here.
    std::mutex mutex;
    std::unordered_set<transport::Session *> sessions;
    std::unordered_map<std::string, size_t> perAddress;
    size_t refusedConnections = 0;
    std::chrono::steady_clock::time_point lastRefusalLog;
    std::atomic<bool> stopped {false};
    // What is left of HttpOptions::uploadMemory.
    std::atomic<size_t> uploadRoom {options.uploadMemory};
    // What is left of HttpOptions::fileMemory.
    std::atomic<size_t> fileRoom {options.fileMemory};

    boost::asio::io_context ioc;
    // Accepting, the signals and the stop take turns on one strand.
    boost::asio::strand<boost::asio::io_context::executor_type> control {boost::asio::make_strand(ioc)};
    boost::asio::ip::tcp::acceptor acceptor {control};
    boost::asio::signal_set signals {control, SIGINT, SIGTERM};
    boost::asio::steady_timer timer {control};
    // Destroyed (joined) before the io_context its tasks post back to.
    boost::asio::thread_pool workers;
};

}  // namespace belfry
