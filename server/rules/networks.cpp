#include "rules/networks.h"

#include "service_limits.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace belfry {

namespace {

// `bytes` with all but its first `bits` cleared, as text with "/bits".
std::string network(int family, unsigned char *bytes, size_t size, int bits)
{
    for (size_t i = 0; i < size; ++i) {
        const int keep = std::max(0, std::min(8, bits - int(i) * 8));
        bytes[i] &= static_cast<unsigned char>(0xff << (8 - keep));
    }
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family, bytes, text, sizeof text);
    return std::string(text) + "/" + std::to_string(bits);
}

}  // namespace

std::vector<std::string> networksOf(const std::string &key)
{
    std::vector<std::string> out {key};
    const bool v6 = key.size() > 3 && key.compare(key.size() - 3, 3, "/64") == 0;
    unsigned char bytes[16];
    const bool address
        = inet_pton(v6 ? AF_INET6 : AF_INET, (v6 ? key.substr(0, key.size() - 3) : key).c_str(), bytes) == 1;
    for (const Nesting &n : BudgetNestings) {
        unsigned char copy[16];
        std::memcpy(copy, bytes, sizeof copy);
        out.push_back(address && n.v6 == v6 ? network(v6 ? AF_INET6 : AF_INET, copy, v6 ? 16 : 4, n.bits) : "");
    }
    return out;
}

}  // namespace belfry
