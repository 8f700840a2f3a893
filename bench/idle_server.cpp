// A service stand-in for the idle benchmark on 127.0.0.1: every request gets
// an empty, successful answer ("status" 0: nothing to pair, nothing to sync).
// It prints its port, then one line per request (seconds since it started,
// method, path), so that the caller can count the beats of a time window.
//
//   bench_idle_server

#include <httplib.h>

#include <chrono>
#include <cstdio>

int main()
{
    httplib::Server http;
    const auto start = std::chrono::steady_clock::now();
    auto answer = [start](const httplib::Request &request, httplib::Response &response) {
        const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start;
        std::printf("%.3f %s %s\n", since.count(), request.method.c_str(), request.path.c_str());
        std::fflush(stdout);
        response.set_content("{\"status\":0}", "application/json");
    };
    // Like the service: answers leave at once, and every beat comes on a
    // connection of its own.
    http.set_tcp_nodelay(true);
    http.set_keep_alive_max_count(1);
    http.Get(".*", answer);
    http.Post(".*", answer);
    const int port = http.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        std::fprintf(stderr, "bench_idle_server: cannot listen on 127.0.0.1\n");
        return 1;
    }
    std::printf("%d\n", port);
    std::fflush(stdout);
    return http.listen_after_bind() ? 0 : 1;
}
