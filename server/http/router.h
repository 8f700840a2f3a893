#pragma once

// From a request's head to its answer: which route it takes, what is refused
// before any of the body is read, how a route runs (its failures become
// answers), and the answer as it goes out, Range included.

#include "http/http.h"
#include "http/refusal.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <functional>
#include <string>
#include <vector>

namespace belfry::transport {

using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;
using Message = boost::beast::http::response<boost::beast::http::string_body>;

// What the head of a request decides before any of its body is read.
struct Admission
{
    const Route *route = nullptr;
    std::vector<std::string> matches;
    Response refusal;
};

Admission admit(const std::vector<Route> &routes, const Parser &parser, const std::string &path);
// A parse failure as an answer; false when there is no one left to answer.
bool refusalFor(const boost::system::error_code &ec, Response &res);
// The request as far as it was read: its head, and its body when `withBody`.
Request makeRequest(
    Parser &parser, std::vector<std::string> found, const std::string &peer, const Proxies &proxies, bool withBody);

// A route's work, with whatever it throws made a 500.
Response run(const Finish &make);
Response runRoute(const Route &route, const Request &req);
bool runAdmission(const Route &route, const Request &head, Response &refusal);
// A route that answers later: `resume` takes effect once, however often the
// route (or its failure) calls it.
void runDeferred(const Route &route, Request &req, Resume resume);

// An answer on its way out; `delivered` as the route set it. A file's part
// from `from`, `length` bytes, follows the message's head.
struct Answer
{
    Message message;
    std::function<std::string()> delivered;
    std::string note;
    std::shared_ptr<const FileBody> file;
    uint64_t from = 0, length = 0;
    int refusal = -1;
};

// `req` is null for a refusal made before the request was complete.
Answer prepare(Response res, const Request *req);
std::string serialized(const Message &message);

size_t maxBody(const std::vector<Route> &routes);

}  // namespace belfry::transport
