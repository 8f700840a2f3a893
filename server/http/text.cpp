#include "http/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>

namespace belfry {

namespace transport {

namespace {

int hexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0'
        : c >= 'a' && c <= 'f'  ? c - 'a' + 10
        : c >= 'A' && c <= 'F'  ? c - 'A' + 10
                                : -1;
}

std::string decoded(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const bool escape = text[i] == '%' && i + 2 < text.size();
        const int high = escape ? hexDigit(text[i + 1]) : -1, low = escape ? hexDigit(text[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            out += char(high * 16 + low);
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// A program whose service base ends in "/" asks for "//p/v1/heart".
std::string singleSlashes(std::string path)
{
    path.erase(std::unique(path.begin(), path.end(),
                   [](char a, char b) {
                       return a == '/' && b == '/';
                   }),
        path.end());
    return path;
}

}  // namespace

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void splitTarget(std::string_view target, Request &req)
{
    // A proxy may send the absolute form (http://host/path); the path is
    // what names the resource.
    for (std::string_view scheme : {"http://", "https://"})
        if (target.size() > scheme.size() && sameText(target.substr(0, scheme.size()), scheme)) {
            const size_t slash = target.find_first_of("/?", scheme.size());
            target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
        }
    const size_t question = target.find('?');
    req.path = singleSlashes(decoded(target.substr(0, question), false));
    if (question == std::string_view::npos)
        return;
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const size_t eq = pair.find('=');
        if (!pair.empty())
            req.params.emplace_back(decoded(pair.substr(0, eq), true),
                eq == std::string_view::npos ? std::string() : decoded(pair.substr(eq + 1), true));
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    }
}

std::string addressText(const boost::asio::ip::address &a)
{
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, a.to_v6()).to_string();
    return a.to_string();
}

std::string forwardedFor(const Request &req, const Proxies &proxies)
{
    std::vector<std::string> headers;
    for (const auto &[name, value] : req.headers)
        if (sameText(name, "X-Forwarded-For"))
            headers.push_back(value);
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(proxies.clientOf(req.peer, headers), ec);
    return ec ? std::string() : addressText(address);
}

std::string isoTime()
{
    char text[32];
    const std::time_t t = std::time(nullptr);
    std::tm tm {};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

}  // namespace transport

std::string addressKey(const std::string &text)
{
    in_addr v4 {};
    in6_addr v6 {};
    char out[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return {};
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(&v4, v6.s6_addr + 12, 4);
        return inet_ntop(AF_INET, &v4, out, sizeof out);
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    return std::string(inet_ntop(AF_INET6, &v6, out, sizeof out)) + "/64";
}

std::string escaped(std::string_view text, bool keepSpaces)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u > 0x20 && u < 0x7f && c != '\\') || (keepSpaces && c == ' ')) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

}  // namespace belfry
