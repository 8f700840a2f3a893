#include "http/proxies.h"

#include <arpa/inet.h>

#include <cstring>

namespace belfry {

namespace {

// An address as 16 bytes, IPv4 mapped; false when `text` is none.
bool toBytes(const std::string &text, std::array<uint8_t, 16> &out, bool &v4)
{
    in_addr a4 {};
    in6_addr a6 {};
    v4 = inet_pton(AF_INET, text.c_str(), &a4) == 1;
    if (v4) {
        out = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        std::memcpy(out.data() + 12, &a4, 4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &a6) != 1)
        return false;
    std::memcpy(out.data(), a6.s6_addr, 16);
    return true;
}

std::string trimmed(const std::string &s)
{
    const size_t first = s.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(" \t") + 1 - first);
}

std::vector<std::string> entries(const std::string &list)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1)
        out.push_back(trimmed(list.substr(start, comma - start)));
    out.push_back(trimmed(list.substr(start)));
    return out;
}

}  // namespace

bool Proxies::parse(const std::string &list, std::string &error)
{
    networks.clear();
    for (const std::string &entry : entries(list)) {
        const size_t slash = entry.find('/');
        Network n {};
        bool v4 = false;
        const std::string bits = slash == std::string::npos ? std::string() : entry.substr(slash + 1);
        const bool ok = toBytes(entry.substr(0, slash), n.bytes, v4) && bits.size() <= 3
            && bits.find_first_not_of("0123456789") == std::string::npos;
        n.prefix = ok && !bits.empty() ? std::stoi(bits) + (v4 ? 96 : 0) : 128;
        if (!ok || (slash != std::string::npos && bits.empty()) || n.prefix > 128) {
            error = "\"" + entry + "\" is no proxy's address or network (as 127.0.0.1, 10.0.0.0/8 or ::1)";
            networks.clear();
            return false;
        }
        networks.push_back(n);
    }
    return true;
}

bool Proxies::trusts(const std::string &address) const
{
    std::array<uint8_t, 16> a;
    bool v4;
    if (!toBytes(address, a, v4))
        return false;
    for (const Network &n : networks) {
        const int whole = n.prefix / 8, rest = n.prefix % 8;
        const uint8_t mask = uint8_t(0xff << (8 - rest));
        if (std::memcmp(a.data(), n.bytes.data(), size_t(whole)) == 0
            && (rest == 0 || ((a[size_t(whole)] ^ n.bytes[size_t(whole)]) & mask) == 0))
            return true;
    }
    return false;
}

std::string Proxies::clientOf(const std::string &peer, const std::vector<std::string> &forwardedFor) const
{
    if (!trusts(peer))
        return peer;
    std::vector<std::string> hops;
    for (const std::string &header : forwardedFor)
        for (std::string &hop : entries(header))
            hops.push_back(std::move(hop));
    std::string client = peer;
    for (auto hop = hops.rbegin(); hop != hops.rend() && trusts(client); ++hop) {
        std::array<uint8_t, 16> bytes;
        bool v4;
        if (!toBytes(*hop, bytes, v4))
            return {};
        client = *hop;
    }
    return client;
}

}  // namespace belfry
