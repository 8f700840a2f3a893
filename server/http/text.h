#pragma once

// Text as the transport reads and writes it: paths and queries decoded,
// addresses as the caps and limits count them, and log fields that no byte of
// a request can break.

#include "http/http.h"

#include <boost/asio/ip/address.hpp>

#include <string>
#include <string_view>

namespace belfry::transport {

// ASCII letters compared without regard to case, as header names are.
bool sameText(std::string_view a, std::string_view b);
// A request target's path (percent-decoded, runs of slashes as one) and its
// query parameters, into `req`.
void splitTarget(std::string_view target, Request &req);
// An address as text, IPv4 also when it came mapped into IPv6.
std::string addressText(const boost::asio::ip::address &address);
// The client's address as trusted proxies report it (see Proxies::clientOf);
// empty when that is no address.
std::string forwardedFor(const Request &req, const Proxies &proxies);
// Now, in UTC, as the log writes it.
std::string isoTime();

}  // namespace belfry::transport
