// The administrator's routes, behind the admin token, and the token's file.

#include "api/service.h"

#include "api/input.h"
#include "api/outcome.h"
#include "rules/codec.h"
#include "rules/fields.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belfry {

using json = nlohmann::json;

bool Service::admitted(const Request &req, Response &res) const
{
    bool same = false;
    {
        std::lock_guard<std::mutex> lock(adminTokenMutex);
        same = sameSecret(bearerToken(req), options.adminToken);
    }
    if (same)
        return true;
    refuse(res, Refusal::Denied, "administration needs the admin token (Authorization: Bearer ...)", 401);
    return false;
}

void Service::adminUpdate(const Request &req, Response &res)
{
    Update u;
    const bool read = admitted(req, res) && readJson(req, res, [&](Input &in) {
        u = {in.text("version"), in.text("url"), beats.now()};
        if (!in.ok())
            return;
        in.check(checkWord("the version", u.version, MaxVersionChars));
        in.check(checkHttpUrl(u.url));
    });
    if (read && stored(storage.publishUpdate(u), res))
        answer(res, {{"status", 0}});
}

void Service::adminConf(const Request &req, Response &res)
{
    std::string pcid, key, value;
    const bool read = admitted(req, res) && readJson(req, res, [&](Input &in) {
        pcid = in.has("pcid") ? in.text("pcid") : std::string();
        key = in.text("key");
        value = in.text("value");
        if (!in.ok())
            return;
        if (in.has("pcid"))
            in.check(checkClientId(pcid));
        in.check(checkConfKey(key));
        if (!value.empty())
            in.check(checkName("the value", value, MaxConfValueChars));
    });
    if (read && stored(storage.setConf(pcid, key, value), res))
        answer(res, {{"status", 0}});
}

void Service::adminStats(const Request &req, Response &res)
{
    Stats s;
    if (!admitted(req, res) || !stored(storage.stats(beats.now(), s), res))
        return;
    answer(res,
        {{"status", 0},
            {"stats",
                {{"pcs", s.pcs}, {"pcs_online", s.pcsOnline}, {"pairings", s.pairings},
                    {"ringtones_waiting", s.ringtonesWaiting}, {"ringtones_delivered", s.ringtonesDelivered},
                    {"events", s.events}}}});
}

void Service::adminMetrics(const Request &req, Response &res)
{
    if (admitted(req, res))
        res.setContent(counted.text(), "text/plain; version=0.0.4; charset=utf-8");
}

void Service::adminHistory(const Request &req, Response &res)
{
    if (!admitted(req, res))
        return;
    if (!options.history)
        return refuse(res, Refusal::NotFound, "this service keeps no history of its metrics");
    res.setContent(options.history->json(unixNow()), "application/json");
    res.headers.emplace_back("Cache-Control", "no-store");
}

namespace {

// The first line of an existing token file, or empty with `error` set.
std::string readAdminToken(FILE *f, const std::string &path, std::string &error)
{
    std::string token;
    char line[128] = {};
    if (std::fgets(line, sizeof line, f))
        token = line;
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    if (token.size() < MinAdminTokenChars)
        error = path + " holds no admin token (at least " + std::to_string(MinAdminTokenChars) + " characters)";
    return error.empty() ? token : std::string();
}

// A new token in a new file. Only a file this made is removed when writing
// it fails: one that appeared meanwhile is somebody else's.
std::string createAdminToken(const std::string &path, std::string &error)
{
    const std::string token = randomHex(AdminTokenBytes), line = token + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot create the admin token file " + path + ": " + std::strerror(errno);
        return {};
    }
    const bool ok = ::write(fd, line.data(), line.size()) == ssize_t(line.size()) && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (ok)
        return token;
    error = "cannot write the admin token file " + path + ": " + std::strerror(saved);
    ::unlink(path.c_str());
    return {};
}

}  // namespace

void Service::setAdminToken(std::string token)
{
    std::lock_guard<std::mutex> lock(adminTokenMutex);
    options.adminToken = std::move(token);
}

std::string loadAdminToken(const std::string &path, bool create, std::string &error)
{
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        std::string token = readAdminToken(f, path, error);
        std::fclose(f);
        return token;
    }
    if (errno == ENOENT && create)
        return createAdminToken(path, error);
    if (errno == ENOENT)
        error = "there is no admin token file " + path;
    else if (errno == EACCES)
        error = "the service (user id " + std::to_string(::geteuid()) + ") may not read the admin token file "
            + path + ": give it as a credential (LoadCredential=) or make it readable to that user";
    else
        error = "cannot read the admin token file " + path + ": " + std::strerror(errno);
    return {};
}

}  // namespace belfry
