#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/check.h"
#include "api/service.h"
#include "http/server.h"

// The bytes a client sends on one connection, through the connection that
// serves (its parser, limits, deadlines and routing) to the real routes on a
// SQLite store. The connection is one end of a socket pair, the fuzzer the
// other. The seeds are whole requests (some several in a row on one
// kept-alive connection); admin requests carry the admin token below.
// Uploads reach the conversion queue, whose converter is missing: no child
// process is started for any input.

namespace {

namespace asio = boost::asio;

const char AdminToken[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char NoConverter[] = "/nonexistent/ffmpeg";

belfry::HttpOptions httpOptions()
{
    belfry::HttpOptions options;
    // The request log of every request would drown the fuzzer's own output.
    options.log = false;
    // The fuzzer's connections come from a trusted proxy, so that the
    // X-Forwarded-For header is read too.
    std::string error;
    FUZZ_CHECK(options.proxies.parse("127.0.0.1", error), error);
    return options;
}

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
        belfry::ServiceOptions serviceOptions;
        serviceOptions.listenAddress = "127.0.0.1:8750";
        serviceOptions.adminToken = AdminToken;
        serviceOptions.convert.ffmpeg = serviceOptions.convert.ffprobe = NoConverter;
        serviceOptions.convert.tempRoot = folder;
        service = std::make_unique<belfry::Service>(*storage, serviceOptions);
        server = std::make_unique<belfry::HttpServer::Impl>(service->routes(), httpOptions());
        work.emplace(server->ioc.get_executor());
        for (int i = 0; i < server->options.ioThreads; ++i)
            threads.emplace_back([this] {
                server->ioc.run();
            });
    }
    ~Setup()
    {
        work.reset();
        server->ioc.stop();
        for (std::thread &t : threads)
            t.join();
        server.reset();
        system(("rm -rf '" + folder + "'").c_str());
    }

    std::string folder;
    std::unique_ptr<belfry::Storage> storage;
    std::unique_ptr<belfry::Service> service;
    std::unique_ptr<belfry::HttpServer::Impl> server;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::thread> threads;
};

// Sends `input` and reads the answers until the service closes, both at
// once: a service that answers before it has read everything must not wait
// for us to finish sending.
std::string converse(int fd, std::string_view input)
{
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string out;
    char buffer[65536];
    bool sending = true;
    for (;;) {
        if (sending && input.empty()) {
            ::shutdown(fd, SHUT_WR);
            sending = false;
        }
        pollfd p {fd, short(POLLIN | (sending ? POLLOUT : 0)), 0};
        ::poll(&p, 1, -1);
        if (sending && (p.revents & POLLOUT)) {
            const ssize_t n = ::send(fd, input.data(), input.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN)
                input = {};
            input.remove_prefix(size_t(std::max<ssize_t>(n, 0)));
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, size_t(n));
        else if (n == 0 || errno != EAGAIN)
            return out;
    }
}

// The next answer of `out` from `at`: its status and body; false at the end.
// An interim 100 has neither; the answer to a HEAD has no body, whatever its
// Content-Length says.
bool nextAnswer(const std::string &out, size_t &at, int &status, std::string &body)
{
    if (at >= out.size())
        return false;
    FUZZ_CHECK(out.compare(at, 9, "HTTP/1.1 ") == 0 && out.size() >= at + 12, out.substr(at));
    status = std::atoi(out.c_str() + at + 9);
    const size_t end = out.find("\r\n\r\n", at);
    FUZZ_CHECK(end != std::string::npos, out.substr(at));
    const std::string head = out.substr(at, end - at);
    at = end + 4;
    body.clear();
    if (status == 100 || at == out.size() || out.compare(at, 9, "HTTP/1.1 ") == 0)
        return true;
    const size_t length = head.find("Content-Length: ");
    FUZZ_CHECK(length != std::string::npos, head);
    const size_t size = std::strtoull(head.c_str() + length + 16, nullptr, 10);
    FUZZ_CHECK(at + size <= out.size(), head);
    body = out.substr(at, size);
    at += size;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Setup setup;
    int ends[2];
    FUZZ_CHECK(
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, std::string("no socket pair"));
    asio::ip::tcp::socket socket(asio::make_strand(setup.server->ioc));
    boost::system::error_code ec;
    socket.assign(asio::ip::tcp::v4(), ends[1], ec);
    FUZZ_CHECK(!ec, ec.message());
    setup.server->admitConnection(std::move(socket), "127.0.0.1");
    const std::string out = converse(ends[0], std::string_view(reinterpret_cast<const char *>(data), size));
    ::close(ends[0]);

    size_t at = 0;
    int status = 0;
    std::string body;
    while (nextAnswer(out, at, status, body)) {
        // No request is an internal error, but for the converter left out here.
        FUZZ_CHECK(status >= 100 && status < 600, out);
        FUZZ_CHECK(status != 500 || body.find(NoConverter) != std::string::npos, out);
        // Refusals say why, as a JSON object.
        if (status >= 400 && !body.empty()) {
            const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
            FUZZ_CHECK(parsed.is_object() && parsed.value("status", 0) == 1, out);
        }
    }
    return 0;
}
