#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <unistd.h>

#include "fuzz/check.h"
#include "server/http.h"
#include "server/service.h"

// The bytes a client sends on one connection, through the service's own
// request parsing, limits and routing to the real routes on a SQLite store,
// without a socket. The seeds are whole requests (some several in a row on
// one kept-alive connection); admin requests carry the admin token below.
// Uploads reach the conversion queue, whose converter is missing: no child
// process is started for any input.

namespace {

const char AdminToken[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char NoConverter[] = "/nonexistent/ffmpeg";

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
        routes = service->routes();
        // The request log of every request would drown the fuzzer's own output.
        options.log = false;
        // Behind a proxy the X-Forwarded-For header is read too.
        options.trustProxy = true;
    }
    ~Setup() { system(("rm -rf '" + folder + "'").c_str()); }

    std::string folder;
    std::unique_ptr<belfry::Storage> storage;
    std::unique_ptr<belfry::Service> service;
    std::vector<belfry::Route> routes;
    belfry::HttpOptions options;
};

// The next answer of `out` from `at`: its status and body; false at the end.
bool nextAnswer(const std::string &out, size_t &at, int &status, std::string &body)
{
    if (at >= out.size())
        return false;
    FUZZ_CHECK(out.compare(at, 9, "HTTP/1.1 ") == 0 && out.size() >= at + 12, out.substr(at));
    status = std::atoi(out.c_str() + at + 9);
    const size_t end = out.find("\r\n\r\n", at);
    FUZZ_CHECK(end != std::string::npos, out.substr(at));
    const std::string head = out.substr(at, end - at);
    const size_t length = head.find("Content-Length: ");
    FUZZ_CHECK(length != std::string::npos, head);
    const size_t size = std::strtoull(head.c_str() + length + 16, nullptr, 10);
    FUZZ_CHECK(end + 4 + size <= out.size(), head);
    body = out.substr(end + 4, size);
    at = end + 4 + size;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Setup setup;
    const std::string out = belfry::exchange(
        setup.routes, setup.options, std::string_view(reinterpret_cast<const char *>(data), size));

    size_t at = 0;
    int status = 0;
    std::string body;
    while (nextAnswer(out, at, status, body)) {
        // No request is an internal error, but for the converter left out here.
        FUZZ_CHECK(status >= 200 && status < 600, out);
        FUZZ_CHECK(status != 500 || body.find(NoConverter) != std::string::npos, out);
        // Refusals say why, as a JSON object.
        if (status >= 400) {
            const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
            FUZZ_CHECK(parsed.is_object() && parsed.value("status", 0) == 1, out);
        }
    }
    return 0;
}
