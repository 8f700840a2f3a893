#pragma once

// The reverse proxies whose word on a client's address is taken: only a
// request that arrives from one of them is read for X-Forwarded-For, from the
// right, past the hops that are themselves trusted.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace belfry {

class Proxies
{
public:
    // From "127.0.0.1,10.0.0.0/8,::1": false, with `error` set, for anything
    // that is not an address or a network.
    bool parse(const std::string &list, std::string &error);
    bool any() const { return !networks.empty(); }
    bool trusts(const std::string &address) const;
    // The client as the trusted hops report it: `peer` itself when it is no
    // trusted proxy; empty when a hop names no address.
    std::string clientOf(const std::string &peer, const std::vector<std::string> &forwardedFor) const;

private:
    struct Network
    {
        std::array<uint8_t, 16> bytes;  // IPv4 as mapped into IPv6
        int prefix;
    };
    std::vector<Network> networks;
};

}  // namespace belfry
