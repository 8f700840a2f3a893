// The administrator's routes, behind the admin token, and the token's file.

#include "api/service.h"

#include "api/input.h"
#include "api/outcome.h"
#include "rules/codec.h"
#include "rules/fields.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belfry {

using json = nlohmann::json;

bool Service::admitted(const Request &req, Response &res) const
{
    if (sameSecret(bearerToken(req), options.adminToken))
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

std::string loadAdminToken(const std::string &path, std::string &error)
{
    std::string token;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char line[128] = {};
        if (std::fgets(line, sizeof line, f))
            token = line;
        std::fclose(f);
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
            token.pop_back();
        if (token.size() < MinAdminTokenChars)
            error = path + " holds no admin token (at least " + std::to_string(MinAdminTokenChars)
                + " characters)";
        return error.empty() ? token : std::string();
    }
    token = randomHex(AdminTokenBytes);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const std::string line = token + "\n";
    const bool ok
        = fd >= 0 && ::write(fd, line.data(), line.size()) == ssize_t(line.size()) && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok) {
        error = "cannot create the admin token file " + path;
        ::unlink(path.c_str());
        return {};
    }
    return token;
}

}  // namespace belfry
