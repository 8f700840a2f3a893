#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <unistd.h>

#include "fuzz/check.h"
#include "server/service.h"

// Requests to the service, through cpp-httplib's own request handling and
// the real routes on a SQLite store, without a socket. The first byte picks
// the route; the rest is the body of a POST (admin requests carry the admin
// token, so their bodies are read too) or the query of a GET.

namespace {

const char AdminToken[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

struct Route
{
    const char *method;
    const char *target;  // the GET query or file key follows
};

const Route Routes[] = {
    {"POST", "/p/v1/heart"},
    {"POST", "/p/v1/unpair"},
    {"POST", "/phone/v1/pair"},
    {"POST", "/phone/v1/ringtone"},
    {"POST", "/phone/v1/unpair"},
    {"POST", "/admin/v1/update"},
    {"POST", "/admin/v1/conf"},
    {"GET", "/p/conf?"},
    {"GET", "/p/update?"},
    {"GET", "/p/feedback?"},
    {"GET", "/apiv1/ringtone?"},
    {"GET", "/admin/v1/stats?"},
    {"GET", "/f/"},
};

// One request in, the answer out.
class Memory : public httplib::Stream
{
public:
    explicit Memory(std::string request)
        : in(std::move(request))
    { }

    bool is_readable() const override { return at < in.size(); }
    bool is_writable() const override { return true; }
    ssize_t read(char *ptr, size_t size) override
    {
        const size_t n = std::min(size, in.size() - at);
        memcpy(ptr, in.data() + at, n);
        at += n;
        return ssize_t(n);
    }
    ssize_t write(const char *ptr, size_t size) override
    {
        out.append(ptr, size);
        return ssize_t(size);
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        ip = "127.0.0.1";
        port = 40000;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        ip = "127.0.0.1";
        port = 8750;
    }
    socket_t socket() const override { return INVALID_SOCKET; }

    std::string out;

private:
    std::string in;
    size_t at = 0;
};

class Server : public httplib::Server
{
public:
    std::string handle(const std::string &request)
    {
        Memory stream(request);
        bool closed = false;
        process_request(stream, true, closed, [](httplib::Request &) {});
        return stream.out;
    }
};

struct Setup
{
    Setup()
    {
        // tmpfs where there is one: the store syncs every write.
        char pattern[] = "/dev/shm/belfry-fuzz.XXXXXX";
        char fallback[] = "/tmp/belfry-fuzz.XXXXXX";
        const char *dir = mkdtemp(pattern);
        if (!dir)
            dir = mkdtemp(fallback);
        FUZZ_CHECK(dir, std::string("no temporary folder"));
        folder = dir;
        std::string error;
        storage = belfry::openSqliteStorage(folder, error);
        FUZZ_CHECK(storage, error);
        service = std::make_unique<belfry::Service>(
            *storage, belfry::ServiceOptions {"", "127.0.0.1:8750", AdminToken});
        service->install(server);
        // The request log of every request would drown the fuzzer's own output.
        server.set_logger([](const httplib::Request &, const httplib::Response &) {});
    }
    ~Setup() { system(("rm -rf '" + folder + "'").c_str()); }

    std::string folder;
    std::unique_ptr<belfry::Storage> storage;
    std::unique_ptr<belfry::Service> service;
    Server server;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Setup setup;
    if (size < 1)
        return 0;
    const Route &route = Routes[data[0] % (sizeof Routes / sizeof Routes[0])];
    const std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    const bool post = strcmp(route.method, "POST") == 0;

    std::string request = std::string(route.method) + " " + route.target + (post ? "" : rest)
        + " HTTP/1.1\r\n" + "Host: service.invalid\r\nAuthorization: Bearer " + AdminToken + "\r\n";
    if (post)
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(rest.size())
            + "\r\n\r\n" + rest;
    else
        request += "\r\n";
    const std::string answer = setup.server.handle(request);

    // Every request gets an answer; none is an internal error.
    FUZZ_CHECK(answer.compare(0, 9, "HTTP/1.1 ") == 0 && answer.size() >= 12, answer);
    const int status = std::atoi(answer.substr(9, 3).c_str());
    FUZZ_CHECK(status != 500, answer);
    // Refusals say why, as a JSON object.
    if (status >= 400 && status != 404) {
        const size_t body = answer.find("\r\n\r\n");
        FUZZ_CHECK(body != std::string::npos, answer);
        const nlohmann::json parsed = nlohmann::json::parse(answer.substr(body + 4), nullptr, false);
        FUZZ_CHECK(parsed.is_object() && parsed.value("status", 0) == 1, answer);
    }
    return 0;
}
