#pragma once

// The listening side: connections accepted under the caps (per address and
// in all), idle ones reaped to make room, and the stop at SIGINT or SIGTERM
// that lets answers under way finish within the grace.

#include "http/http.h"
#include "http/host.h"
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

// The metrics' own address: the server's caps, rooms, workers and stop, and
// one route of its own.
class MetricsHost final : public transport::Host
{
public:
    MetricsHost(HttpServer::Impl &server, Metrics &metrics);
    const std::vector<Route> &routeTable() const override { return routes; }
    const HttpOptions &settings() const override;
    size_t bodyCap() const override { return 0; }
    bool stopping() const override;
    transport::UploadRoom &uploadRoom() override;
    transport::Room &fileRoom() override;
    Metrics &metrics() override;
    boost::asio::thread_pool::executor_type workers() override;
    void release(transport::Session *session) override;

private:
    HttpServer::Impl &server;
    const std::vector<Route> routes;
};

class HttpServer::Impl final : public transport::Host
{
public:
    Impl(std::vector<Route> routes, HttpOptions options);
    ~Impl();

    void accept(boost::asio::ip::tcp::acceptor &from, transport::Host &host);
    void admitSocket(boost::asio::ip::tcp::socket socket, transport::Host &host);
    // Serves a connection open to `peer` under the caps, with the routes of
    // `host` (this server's, or the metrics' address), or refuses it.
    void admitConnection(boost::asio::ip::tcp::socket socket, const std::string &peer, transport::Host &host);
    void admitConnection(boost::asio::ip::tcp::socket socket, const std::string &peer)
    {
        admitConnection(std::move(socket), peer, *this);
    }
    std::shared_ptr<transport::Session> reapIdle(const std::string *key);
    void release(transport::Session *session) override;
    void stop();
    void stopSessions(int state);
    void awaitSessions(std::chrono::steady_clock::time_point until, bool cut);
    bool stopping() const override { return stopped.load(); }
    const std::vector<Route> &routeTable() const override { return routes; }
    const HttpOptions &settings() const override { return options; }
    size_t bodyCap() const override { return largestBody; }
    transport::UploadRoom &uploadRoom() override { return uploadBytes; }
    transport::Room &fileRoom() override { return fileBytes; }
    Metrics &metrics() override { return counted; }
    boost::asio::thread_pool::executor_type workers() override { return pool.get_executor(); }

    const std::vector<Route> routes;
    const HttpOptions options;
    // Counted for no one when the options name no metrics.
    Metrics uncounted {refusalCodes()};
    Metrics &counted;
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
    transport::UploadRoom uploadBytes {options.uploadMemory,
        std::max(options.uploadMemory / UploadRoomShares, largestBody),
        std::max(options.uploadMemory / UploadRoomShares * StrangersUploadShares, largestBody)};
    transport::Room fileBytes {options.fileMemory};

    boost::asio::io_context ioc;
    // Accepting, the signals and the stop take turns on one strand.
    boost::asio::strand<boost::asio::io_context::executor_type> control {boost::asio::make_strand(ioc)};
    boost::asio::ip::tcp::acceptor acceptor {control};
    boost::asio::ip::tcp::acceptor metricsAcceptor {control};
    MetricsHost metricsHost {*this, counted};
    boost::asio::signal_set signals {control, SIGINT, SIGTERM};
    boost::asio::steady_timer timer {control};
    // Destroyed (joined) before the io_context its tasks post back to.
    boost::asio::thread_pool pool;
};

}  // namespace belfry
