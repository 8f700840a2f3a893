#pragma once

// What a session may ask of the server that accepted it, and nothing more:
// the routes, the room it may hold in memory, the worker pool, whether the
// server stops, and its leave when it ends.

#include "http/http.h"
#include "http/room.h"
#include "metrics/metrics.h"

#include <boost/asio/thread_pool.hpp>

#include <cstddef>
#include <vector>

namespace belfry::transport {

class Session;

class Host
{
public:
    virtual const std::vector<Route> &routeTable() const = 0;
    virtual const HttpOptions &settings() const = 0;
    // The most any route reads of a body.
    virtual size_t bodyCap() const = 0;
    virtual bool stopping() const = 0;
    // What is left of HttpOptions::uploadMemory and HttpOptions::fileMemory.
    virtual UploadRoom &uploadRoom() = 0;
    virtual Room &fileRoom() = 0;
    virtual Metrics &metrics() = 0;
    // Where a request's work runs, off the connections' threads.
    virtual boost::asio::thread_pool::executor_type workers() = 0;
    // The session ends: its connection no longer counts.
    virtual void release(Session *session) = 0;

protected:
    ~Host() = default;
};

}  // namespace belfry::transport
