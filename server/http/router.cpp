#include "http/router.h"
#include "http/text.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/write.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <sstream>

namespace belfry {

namespace transport {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

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

// What a Range header asks of a file of `size` bytes (RFC 9110, 14.2).
enum class RangeAsked { Whole, Part, Unsatisfiable };

// One range "bytes=A-B", "A-" or "-N" is answered with its part; several are
// answered with the whole file, as the RFC allows; any other "bytes=" is
// unsatisfiable (416). Other units are ignored.
RangeAsked byteRange(const std::string &range, uint64_t size, uint64_t &from, uint64_t &to)
{
    if (range.compare(0, 6, "bytes=") != 0)
        return RangeAsked::Whole;
    if (range.find(',') != std::string::npos)
        return RangeAsked::Whole;
    const size_t dash = range.find('-', 6);
    if (dash == std::string::npos || range.size() > 46
        || range.find_first_not_of("0123456789-", 6) != std::string::npos
        || range.find('-', dash + 1) != std::string::npos)
        return RangeAsked::Unsatisfiable;
    const std::string first = range.substr(6, dash - 6), last = range.substr(dash + 1);
    const uint64_t a = std::strtoull(first.c_str(), nullptr, 10), b = std::strtoull(last.c_str(), nullptr, 10);
    if (first.empty() && (last.empty() || b == 0))
        return RangeAsked::Unsatisfiable;
    from = first.empty() ? size - std::min(b, size) : a;  // "-N": the last N bytes
    to = first.empty() || last.empty() ? size - 1 : std::min(b, size - 1);
    return size > 0 && from <= to && from < size && (first.empty() || last.empty() || a <= b)
        ? RangeAsked::Part
        : RangeAsked::Unsatisfiable;
}

// The head of a file answer, and which part of the file follows it. Any
// request with a Range header is no delivery, whatever it is answered with.
void prepareFile(Answer &a, const Request *req)
{
    const FileBody &file = *a.file;
    const std::string range = req ? req->header("Range") : std::string();
    const std::string ifRange = req ? req->header("If-Range") : std::string();
    a.message.set(http::field::accept_ranges, "bytes");
    if (!file.etag.empty())
        a.message.set(http::field::etag, file.etag);
    a.length = file.size;
    if (range.empty())
        return;
    a.delivered = nullptr;
    uint64_t from = 0, to = 0;
    // A validator that no longer matches asks for the whole new file.
    const RangeAsked asked = !ifRange.empty() && ifRange != file.etag
        ? RangeAsked::Whole
        : byteRange(range, file.size, from, to);
    if (asked == RangeAsked::Part) {
        a.message.result(http::status::partial_content);
        a.message.set(http::field::content_range,
            "bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" + std::to_string(file.size));
        a.note = "bytes " + std::to_string(from) + "-" + std::to_string(to);
        a.from = from;
        a.length = to - from + 1;
    } else if (asked == RangeAsked::Unsatisfiable) {
        a.message.result(http::status::range_not_satisfiable);
        a.message.set(http::field::content_range, "bytes */" + std::to_string(file.size));
        a.note = "range not satisfiable";
        a.file = nullptr;
        a.length = 0;
    } else {
        a.note = "whole file for a Range";
    }
}

// Transfer codings as RFC 9112 has them: "chunked", once and last, is the
// only one read. Whatever else a proxy in front might read another way, so
// that the rest of the connection would be a second request to one of us and
// part of the body to the other.
bool acceptedCodings(const Parser::value_type &head, Response &refusal)
{
    if (head.count(http::field::transfer_encoding) == 0)
        return true;
    std::vector<std::string_view> codings;
    for (const auto &field : head) {
        std::string_view list = field.name() == http::field::transfer_encoding ? field.value() : "";
        while (!list.empty()) {
            const size_t comma = std::min(list.find(','), list.size());
            std::string_view coding = list.substr(0, comma);
            list.remove_prefix(std::min(comma + 1, list.size()));
            coding.remove_prefix(std::min(coding.find_first_not_of(" \t"), coding.size()));
            coding.remove_suffix(coding.size() - std::min(coding.find_last_not_of(" \t") + 1, coding.size()));
            if (!coding.empty())
                codings.push_back(coding);
        }
    }
    const auto chunked = [](std::string_view coding) {
        return sameText(coding, "chunked");
    };
    const size_t count = size_t(std::count_if(codings.begin(), codings.end(), chunked));
    if (codings.empty() || !chunked(codings.back()) || count > 1)
        refuse(refusal, Refusal::BadRequest,
            "malformed request: \"chunked\" must be the one and last transfer coding");
    else if (codings.size() > 1)
        refuse(refusal, Refusal::Unsupported, "no transfer coding but \"chunked\" is accepted", 501);
    else
        return true;
    return false;
}

// An HTTP/1.1 request names its host once; two could send a proxy and the
// service to different hosts. HTTP/1.0 has no transfer codings: a 1.0 peer
// that sends one and a proxy that passes it may frame the body differently.
bool framedAsItsVersion(const Parser::value_type &head, Response &refusal)
{
    const size_t hosts = head.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && head.version() >= 11)) {
        refuse(refusal, Refusal::BadRequest, "the request must name its Host exactly once");
        return false;
    }
    if (head.version() < 11 && head.count(http::field::transfer_encoding) > 0) {
        refuse(refusal, Refusal::BadRequest, "HTTP/1.0 takes no Transfer-Encoding");
        return false;
    }
    return true;
}

}  // namespace

Admission admit(const std::vector<Route> &routes, const Parser &parser, const std::string &path)
{
    Admission a;
    const auto &head = parser.get();
    if (!framedAsItsVersion(head, a.refusal))
        return a;
    const auto encoding = head[http::field::content_encoding];
    if (!encoding.empty() && !sameText(encoding, "identity")) {
        refuse(a.refusal, Refusal::Unsupported, "compressed request bodies are not accepted");
        return a;
    }
    if (!acceptedCodings(head, a.refusal))
        return a;
    // HEAD is GET without the body.
    const std::string_view method = head.method() == http::verb::head ? "GET" : head.method_string();
    bool pathKnown = false;
    for (const Route &route : routes) {
        if (!matches(route.path, path, a.matches))
            continue;
        pathKnown = true;
        if (method == route.method) {
            a.route = &route;
            break;
        }
    }
    if (!a.route) {
        refuse(a.refusal, pathKnown ? Refusal::Method : Refusal::NotFound,
            pathKnown ? "method not allowed here" : "no such address");
    } else if (parser.content_length() && *parser.content_length() > a.route->bodyLimit) {
        refuse(a.refusal, Refusal::TooLarge, "the request body is too large");
        a.route = nullptr;
    }
    return a;
}

// A parse failure as an answer; false when there is no one left to answer.
bool refusalFor(const error_code &ec, Response &res)
{
    if (ec == http::error::header_limit)
        refuse(res, Refusal::TooLarge, "the request headers are too large", 431);
    else if (ec == http::error::body_limit)
        refuse(res, Refusal::TooLarge, "the request body is too large");
    else if (&ec.category() == &http::make_error_code(http::error::bad_target).category()
        && ec != http::error::end_of_stream && ec != http::error::partial_message
        && ec != http::error::need_more)
        refuse(res, Refusal::BadRequest, "malformed request: " + ec.message());
    else
        return false;
    return true;
}

// The request as far as it was read: its head, and its body when `withBody`.
Request makeRequest(
    Parser &parser, std::vector<std::string> found, const std::string &peer, const Proxies &proxies, bool withBody)
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
    req.source = proxies.any() ? forwardedFor(req, proxies) : std::string();
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
        refuse(res, Refusal::Internal, std::string("internal error: ") + e.what());
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
            refuse(res, Refusal::Internal, why);
        });
    }
}

Answer prepare(Response res, const Request *req)
{
    Answer a {Message(static_cast<http::status>(res.status), 11), std::move(res.delivered),
        std::move(res.note), res.file};
    a.refusal = res.refusal;
    if (a.file && res.status == 200)
        prepareFile(a, req);
    else
        a.file = nullptr;
    if (!res.contentType.empty())
        a.message.set(http::field::content_type, res.contentType);
    // A browser that guessed another type could run a JSON answer as a page.
    a.message.set("X-Content-Type-Options", "nosniff");
    for (const auto &[name, value] : res.headers)
        a.message.set(name, value);
    a.message.body() = std::move(res.body);
    a.message.prepare_payload();
    // The file's part follows the head, written apart from the message.
    if (a.file)
        a.message.content_length(a.length);
    return a;
}

std::string serialized(const Message &message)
{
    std::ostringstream text;
    text << message;
    return text.str();
}

size_t maxBody(const std::vector<Route> &routes)
{
    size_t most = 0;
    for (const Route &r : routes)
        most = std::max(most, r.bodyLimit);
    return most;
}

}  // namespace transport

using namespace transport;

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

}  // namespace belfry
