#pragma once

// The little HTTP/1.1 the load generator speaks: requests as strings, an
// incremental answer parser, and the few JSON members it needs to read.

#include "rules/codec.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// An answer read piece by piece: Content-Length, chunked, or up to the close.
struct Response
{
    int status = 0;
    bool close = false;  // the server ends the connection after this answer
    std::string body;

    bool empty() const { return raw.empty(); }
    bool complete() const { return done; }
    bool completeAtClose()
    {
        if (headersDone && length < 0 && !chunked)
            done = true;
        return done;
    }

    void feed(const char *data, size_t n)
    {
        raw.append(data, n);
        if (!headersDone) {
            const size_t end = raw.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            headers(raw.substr(0, end));
            raw.erase(0, end + 4);
            headersDone = true;
            if (length < 0 && !chunked && (status == 204 || status == 304))
                length = 0;
        }
        if (chunked) {
            unchunk();
        } else if (length >= 0 && raw.size() >= size_t(length)) {
            body = raw.substr(0, size_t(length));
            done = true;
        } else if (length < 0) {
            body = raw;
        }
    }

private:
    void headers(const std::string &head)
    {
        status = std::atoi(head.c_str() + std::min<size_t>(9, head.size()));
        size_t pos = head.find("\r\n");
        while (pos != std::string::npos) {
            const size_t next = head.find("\r\n", pos + 2);
            std::string line
                = head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
            for (char &ch : line)
                ch = char(std::tolower(static_cast<unsigned char>(ch)));
            if (line.rfind("content-length:", 0) == 0)
                length = std::atol(line.c_str() + 15);
            else if (line.rfind("transfer-encoding:", 0) == 0 && line.find("chunked") != std::string::npos)
                chunked = true;
            else if (line.rfind("connection:", 0) == 0 && line.find("close") != std::string::npos)
                close = true;
            pos = next;
        }
        if (head.rfind("HTTP/1.0", 0) == 0)
            close = true;
    }

    void unchunk()
    {
        for (;;) {
            const size_t eol = raw.find("\r\n", cursor);
            if (eol == std::string::npos)
                return;
            const size_t size = std::strtoul(raw.c_str() + cursor, nullptr, 16);
            if (raw.size() < eol + 2 + size + 2)
                return;
            if (size == 0) {
                done = true;  // no trailers from our server
                return;
            }
            body.append(raw, eol + 2, size);
            cursor = eol + 2 + size + 2;
        }
    }

    std::string raw;
    bool headersDone = false;
    bool chunked = false;
    long length = -1;
    size_t cursor = 0;
    bool done = false;
};

inline bool loopback(const std::string &address)
{
    in_addr addr {};
    return inet_pton(AF_INET, address.c_str(), &addr) == 1 && (ntohl(addr.s_addr) >> 24) == 127;
}

// "http://127.0.0.1:8750" only: the generator never leaves this machine.
inline bool splitUrl(const std::string &url, std::string &host, int &port)
{
    const std::string scheme = "http://";
    if (url.rfind(scheme, 0) != 0)
        return false;
    std::string rest = url.substr(scheme.size());
    while (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    const size_t colon = rest.rfind(':');
    host = colon == std::string::npos ? rest : rest.substr(0, colon);
    port = colon == std::string::npos ? 80 : std::atoi(rest.c_str() + colon + 1);
    if (host == "localhost")
        host = "127.0.0.1";
    return port > 0 && port < 65536 && loopback(host);
}

// A non-blocking connection under way, or -1; from the loopback address
// `from` when one is given (the service caps connections per address).
inline int connectTo(const std::string &host, int port, const std::string &from = {})
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in source {};
    source.sin_family = AF_INET;
    // The port is picked at connect, as without a bind, not reserved for every destination.
    if (!from.empty())
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (!from.empty()
        && (inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1
            || ::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) < 0)) {
        ::close(fd);
        return -1;
    }
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline std::string request(const std::string &method, const std::string &host, const std::string &path,
    const std::string &type, const std::string &body)
{
    std::string r = method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: CorVale\r\n";
    if (!type.empty())
        r += "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

inline std::string jsonRequest(const std::string &host, const std::string &path, const std::string &body)
{
    return request("POST", host, path, "application/json", body);
}

inline std::string beatRequest(const std::string &host, const std::string &pcid)
{
    const nlohmann::json body = {{"pcid", pcid}, {"version", "1.0.1"}, {"platform", "window"}, {"expire", 5}};
    return jsonRequest(host, "/p/v1/heart", body.dump());
}

inline std::string getRequest(const std::string &host, const std::string &path)
{
    return request("GET", host, path, "", "");
}

// The member `key` of `value`, or null when `value` is no object or lacks it:
// an answer of another shape yields nothing.
inline const nlohmann::json &memberOf(const nlohmann::json &value, const char *key)
{
    static const nlohmann::json none;
    if (!value.is_object())
        return none;
    const auto it = value.find(key);
    return it == value.end() ? none : *it;
}

inline nlohmann::json parseAnswer(const std::string &body)
{
    return nlohmann::json::parse(body, nullptr, false);
}

// The ringtone ids a beat's answer lists in "sync".
inline std::vector<std::string> syncIds(const std::string &body)
{
    const nlohmann::json answer = parseAnswer(body);
    const nlohmann::json &sync = memberOf(answer, "sync");
    std::vector<std::string> ids;
    for (size_t i = 0; sync.is_array() && i < sync.size(); ++i)
        if (sync[i].is_string())
            ids.push_back(sync[i].get<std::string>());
    return ids;
}

// The path of a ringtone's "download_url" (http://host:port/path -> /path);
// the generator fetches it on its own connection to the same service.
inline std::string downloadPath(const std::string &body)
{
    const nlohmann::json answer = parseAnswer(body);
    const nlohmann::json &url = memberOf(memberOf(answer, "data"), "download_url");
    if (!url.is_string())
        return {};
    const std::string text = url.get<std::string>();
    const size_t scheme = text.find("//");
    const size_t slash = text.find('/', scheme == std::string::npos ? 0 : scheme + 2);
    return slash == std::string::npos ? std::string() : text.substr(slash);
}

// A phone paired with one PC.
struct Phone
{
    std::string pcid;
    std::string deviceId;
    std::string token;
};

// A ringtone from `phone`; `data64` is the file in base64, which needs no
// escaping: it is set in as it is rather than copied through the serializer
// for every send.
inline std::string sendRequest(
    const std::string &host, const Phone &phone, const std::string &name, const std::string &data64)
{
    const nlohmann::json fields = {
        {"pcid", phone.pcid}, {"device_id", phone.deviceId}, {"device_token", phone.token}, {"name", name}};
    std::string body = fields.dump();
    body.insert(body.size() - 1, ",\"data\":\"" + data64 + "\"");
    return jsonRequest(host, "/phone/v1/ringtone", body);
}

// One request on a connection of its own, from `from` when one is given,
// waited for; for the set-up only.
inline Response exchange(
    const std::string &host, int port, const std::string &req, const std::string &from = {})
{
    Response res;
    const int fd = connectTo(host, port, from);
    if (fd < 0)
        return res;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    size_t sent = 0;
    while (sent < req.size()) {
        const ssize_t n = ::send(fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += size_t(n);
    }
    char buf[16384];
    while (!res.complete()) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            res.completeAtClose();
            break;
        }
        res.feed(buf, size_t(n));
    }
    ::close(fd);
    return res;
}

// Pairs `phone` (its pcid and device id set) from `from` and fills in its
// token. Its PC beats first: the service pairs only with a PC that has been
// online.
inline bool pairPhone(const std::string &host, int port, Phone &phone, const std::string &from = {})
{
    exchange(host, port, beatRequest(host + ":" + std::to_string(port), phone.pcid), from);
    const nlohmann::json body
        = {{"pcid", phone.pcid}, {"device_id", phone.deviceId}, {"device_name", "load " + phone.deviceId}};
    const Response res = exchange(
        host, port, jsonRequest(host + ":" + std::to_string(port), "/phone/v1/pair", body.dump()), from);
    const nlohmann::json answer = parseAnswer(res.body);
    const nlohmann::json &token = memberOf(answer, "device_token");
    phone.token = token.is_string() ? token.get<std::string>() : std::string();
    return res.status == 200 && !phone.token.empty();
}
