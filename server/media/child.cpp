#include "media/child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace belfry {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t MaxDiagnostic = 2048;

struct Limits
{
    rlimit cpu, memory, output, files, core;
};

// Why the child never became the tool: its errno, through a pipe that exec
// closes. Without it an exit code of 127 would not tell a tool that failed
// from one that never ran, nor say why.
[[noreturn]] void notStarted(int report)
{
    const int why = errno;
    [[maybe_unused]] const ssize_t n = ::write(report, &why, sizeof why);
    ::_exit(127);
}

// Between fork and exec only async-signal-safe calls: the service has threads.
// The report pipe moves to fd 3, the only one kept past 2 (exec closes it).
[[noreturn]] void execChild(char *const argv[], const char *dir, const int io[3], int report, const Limits &l,
    int nice)
{
    char *const environment[] = {nullptr};
    ::setpgid(0, 0);
    // The pipes were made after `io`, so the report is never one of 0 to 2,
    // while an `io` may be 3: it moves only once those are in place.
    for (int fd = 0; fd < 3; ++fd)
        if (::dup2(io[fd], fd) < 0)
            notStarted(report);
    if (report != 3 && ::dup3(report, 3, O_CLOEXEC) < 0)
        notStarted(report);
    ::close_range(4, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGPIPE, SIGXCPU, SIGXFSZ})
        ::signal(s, SIG_DFL);
    if (::chdir(dir) != 0 || ::setrlimit(RLIMIT_CPU, &l.cpu) != 0 || ::setrlimit(RLIMIT_AS, &l.memory) != 0
        || ::setrlimit(RLIMIT_FSIZE, &l.output) != 0 || ::setrlimit(RLIMIT_NOFILE, &l.files) != 0
        || ::setrlimit(RLIMIT_CORE, &l.core) != 0)
        notStarted(3);
    ::setpriority(PRIO_PROCESS, 0, nice);
    ::execve(argv[0], argv, environment);
    notStarted(3);
}

// 0 once the child runs the tool, or the errno that kept it from it.
int startError(int report)
{
    int why = 0;
    ssize_t n;
    do
        n = ::read(report, &why, sizeof why);
    while (n < 0 && errno == EINTR);
    ::close(report);
    return n == ssize_t(sizeof why) ? why : 0;
}

// Reads what is there; closes the pipe at its end.
void drain(pollfd &p, std::string &into, size_t max)
{
    char buffer[16 * 1024];
    const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
    if (n > 0 && into.size() < max)
        into.append(buffer, std::min(size_t(n), max - into.size()));
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        ::close(p.fd);
        p.fd = -1;
    }
}

// Collects the child's output until it ends, the wall time passes or `cancel`
// is set; the last two kill its whole process group.
void watch(pid_t pid, pollfd pipes[2], Child &c, const Clock::time_point deadline, size_t maxOut,
    const std::atomic<bool> *cancel)
{
    bool killed = false;
    int status = -1;
    for (;;) {
        if (!killed && (Clock::now() >= deadline || (cancel && cancel->load()))) {
            ::kill(-pid, SIGKILL);
            killed = true;
            c.cancelled = cancel && cancel->load();
            c.timedOut = !c.cancelled;
        }
        if (pipes[0].fd >= 0 || pipes[1].fd >= 0) {
            if (::poll(pipes, 2, 100) > 0)
                for (int i = 0; i < 2; ++i)
                    if (pipes[i].fd >= 0 && pipes[i].revents)
                        drain(pipes[i], i == 0 ? c.out : c.err, i == 0 ? maxOut : MaxDiagnostic);
            continue;
        }
        const pid_t done = ::waitpid(pid, &status, killed ? 0 : WNOHANG);
        if (done == pid)
            break;
        // Children reaped elsewhere (SIGCHLD ignored) tell us nothing: no success.
        if (done < 0 && errno != EINTR)
            return;
        ::usleep(10 * 1000);
    }
    c.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Child runChild(const std::vector<std::string> &command, const std::string &dir, const ConvertOptions &o,
    size_t maxOut, const std::atomic<bool> *cancel)
{
    Child c;
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const rlim_t cpu = rlim_t(o.cpuSeconds);
    const Limits limits {{cpu, cpu + 1}, {o.memoryBytes, o.memoryBytes}, {o.outputBytes, o.outputBytes},
        {rlim_t(o.openFiles), rlim_t(o.openFiles)}, {0, 0}};
    int out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in < 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0
        || ::pipe2(report, O_CLOEXEC) != 0) {
        for (int fd : {in, out[0], out[1], err[0], err[1], report[0], report[1]})
            if (fd >= 0)
                ::close(fd);
        return c;
    }
    const int io[3] = {in, out[1], err[1]};
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(o.wallSeconds);
    const pid_t pid = ::fork();
    if (pid == 0)
        execChild(argv.data(), dir.c_str(), io, report[1], limits, o.niceness);
    for (int fd : {io[0], io[1], io[2], report[1]})
        ::close(fd);
    pollfd pipes[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    if (pid < 0)
        ::close(report[0]);
    if (pid > 0) {
        ::setpgid(pid, pid);  // also here, so that a kill right away reaches it
        c.startError = startError(report[0]);
        c.started = c.startError == 0;
        watch(pid, pipes, c, deadline, maxOut, cancel);
    }
    for (const pollfd &p : pipes)
        if (p.fd >= 0)
            ::close(p.fd);
    return c;
}

}  // namespace belfry
