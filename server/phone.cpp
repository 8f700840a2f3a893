// belfry-phone: what the phone app does, on the command line, plus the
// service's administration. See usage() for the commands.

#include "rules/codec.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using json = nlohmann::json;

namespace {

const char DefaultService[] = "http://" BELFRY_DEFAULT_LISTEN;

int usage()
{
    std::fprintf(stderr, R"(usage: belfry-phone COMMAND [OPTIONS]
  pair --service URL --pcid ID [--name NAME]   pair with the PC whose client id is ID
  send --pcid ID FILE [--name NAME] [--start SECONDS]
                                               send a tune to a paired PC: an .m4r file as the
                                               app sends it, any other audio file as the page does;
                                               the ringtone is %d s of it from SECONDS (default 0)
  sent --pcid ID                               what this device sent to the PC: id, state, size, name
  withdraw --pcid ID RINGTONE                  take back a ringtone that still waits
  unpair --pcid ID                             remove the pairing
  publish-update VERSION URL                   (admin) announce a program version
  set-conf [--pcid ID] KEY VALUE               (admin) a setting for one PC or all; empty VALUE removes it
  stats                                        (admin) the service's counters
options for every command:
  --service URL      the service (default: the one last paired with, else %s)
  --state FILE       where the device id and tokens are kept
                     (default: $BELFRY_PHONE_STATE, else ~/.config/belfry-phone.json)
  --token-file FILE  the admin token (or --data DIR for DIR/admin-token, or $BELFRY_ADMIN_TOKEN)
)",
        belfry::RingtoneSeconds, DefaultService);
    return 2;
}

struct Args
{
    std::string command;
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;

    std::string get(const std::string &key, const std::string &fallback = {}) const
    {
        const auto it = options.find(key);
        return it == options.end() ? fallback : it->second;
    }
};

bool parse(int argc, char **argv, Args &args)
{
    if (argc < 2)
        return false;
    args.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= argc)
                return false;
            args.options[arg.substr(2)] = argv[++i];
        } else {
            args.positional.push_back(arg);
        }
    }
    return true;
}

std::string readFile(const std::string &path, bool &ok)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ok = bool(in);
    return text.str();
}

// The phone's memory: its device id, and the token of each PC it paired
// with. The tokens are secrets, so the file is its owner's alone.
struct State
{
    std::string path;
    json data = json::object();

    bool load(const Args &args)
    {
        const char *env = std::getenv("BELFRY_PHONE_STATE");
        const char *home = std::getenv("HOME");
        path = args.get("state", env ? env : std::string(home ? home : ".") + "/.config/belfry-phone.json");
        bool ok = false;
        const std::string text = readFile(path, ok);
        if (ok) {
            data = json::parse(text, nullptr, false);
            if (!data.is_object()) {
                std::fprintf(stderr, "belfry-phone: %s is not a state file\n", path.c_str());
                return false;
            }
            if (!keepPrivate())
                return false;
        }
        if (!data.contains("device_id"))
            data["device_id"] = "phone-" + belfry::randomHex(8);
        return true;
    }
    // A file an older version or a copy left readable by others is narrowed.
    bool keepPrivate() const
    {
        struct stat info;
        if (::stat(path.c_str(), &info) != 0 || (info.st_mode & 077) == 0
            || ::chmod(path.c_str(), info.st_mode & 0700) == 0)
            return true;
        std::fprintf(
            stderr, "belfry-phone: %s is readable by others and cannot be made private\n", path.c_str());
        return false;
    }
    bool save() const
    {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        const std::string temp = path + ".tmp", text = data.dump(2) + "\n";
        ::unlink(temp.c_str());  // left by a run that died, or a link placed there
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        bool ok
            = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
        ok = fd >= 0 && ::close(fd) == 0 && ok && std::rename(temp.c_str(), path.c_str()) == 0;
        if (!ok) {
            ::unlink(temp.c_str());
            std::fprintf(stderr, "belfry-phone: cannot write %s\n", path.c_str());
        }
        return ok;
    }
    std::string text(const char *key) const
    {
        return data.contains(key) && data[key].is_string() ? data[key].get<std::string>() : std::string();
    }
    std::string token(const std::string &pcid) const
    {
        const json &tokens = data.contains("tokens") ? data["tokens"] : json::object();
        return tokens.contains(pcid) && tokens[pcid].is_string() ? tokens[pcid].get<std::string>()
                                                                 : std::string();
    }
};

// A 2xx answer with a JSON object; otherwise false after printing the refusal.
bool answered(
    const std::string &service, const std::string &path, const httplib::Result &result, json &answer)
{
    if (!result) {
        std::fprintf(stderr, "belfry-phone: %s%s: %s\n", service.c_str(), path.c_str(),
            httplib::to_string(result.error()).c_str());
        return false;
    }
    answer = json::parse(result->body, nullptr, false);
    if (result->status / 100 != 2 || !answer.is_object()) {
        const std::string why = answer.is_object() && answer.contains("error") && answer["error"].is_string()
            ? answer["error"].get<std::string>()
            : result->body.substr(0, 200);
        std::fprintf(stderr, "belfry-phone: refused (%d): %s\n", result->status, why.c_str());
        return false;
    }
    return true;
}

std::unique_ptr<httplib::Client> client(const std::string &service)
{
    auto c = std::make_unique<httplib::Client>(service);
    c->set_connection_timeout(10);
    // An upload waits for its conversion too.
    c->set_read_timeout(90);
    return c;
}

// Sends one JSON request (or a GET); see answered().
bool call(const std::string &service, const std::string &method, const std::string &path, const json &body,
    const std::string &adminToken, json &answer)
{
    httplib::Headers headers;
    if (!adminToken.empty())
        headers.emplace("Authorization", "Bearer " + adminToken);
    const auto c = client(service);
    return answered(service, path,
        method == "GET" ? c->Get(path.c_str(), headers)
                        : c->Post(path.c_str(), headers, body.dump(), "application/json"),
        answer);
}

std::string queryValue(const std::string &text)
{
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += ch;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string adminToken(const Args &args)
{
    std::string path = args.get("token-file");
    if (path.empty() && !args.get("data").empty())
        path = args.get("data") + "/admin-token";
    if (path.empty()) {
        const char *env = std::getenv("BELFRY_ADMIN_TOKEN");
        return env ? env : "";
    }
    bool ok = false;
    std::string token = readFile(path, ok);
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    if (!ok)
        std::fprintf(stderr, "belfry-phone: cannot read the admin token from %s\n", path.c_str());
    return token;
}

std::string baseName(const std::string &path)
{
    std::string name = path.substr(path.find_last_of('/') + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// What each command works with.
struct Context
{
    const Args &args;
    State &state;
    std::string service;
    std::string pcid;
    std::string admin;  // the admin token, for the admin commands
};

int pairWith(Context &c)
{
    const std::string name = c.args.get("name", "belfry-phone");
    const json body = {{"pcid", c.pcid}, {"device_id", c.state.text("device_id")}, {"device_name", name}};
    json answer;
    if (!call(c.service, "POST", "/phone/v1/pair", body, {}, answer) || !answer["device_token"].is_string())
        return 1;
    c.state.data["service"] = c.service;
    c.state.data["tokens"][c.pcid] = answer["device_token"];
    if (!c.state.save())
        return 1;
    std::printf("paired %s (%s) with %s\n", c.state.text("device_id").c_str(), name.c_str(), c.pcid.c_str());
    return 0;
}

// The body that proves this device's pairing with the PC; false when it has none.
bool credentials(const Context &c, json &body)
{
    const std::string token = c.state.token(c.pcid);
    if (token.empty()) {
        std::fprintf(stderr, "belfry-phone: not paired with %s (run pair first)\n", c.pcid.c_str());
        return false;
    }
    body = {{"pcid", c.pcid}, {"device_id", c.state.text("device_id")}, {"device_token", token}};
    return true;
}

bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int sendRingtone(Context &c)
{
    const std::string &file = c.args.positional[0];
    const std::string start = c.args.get("start", "0");
    json body, answer;
    if (!credentials(c, body))
        return 1;
    if (belfry::wholeNumber(start) < 0) {
        std::fprintf(stderr, "belfry-phone: --start takes whole seconds\n");
        return 1;
    }
    bool ok = false;
    const std::string bytes = readFile(file, ok);
    if (!ok) {
        std::fprintf(stderr, "belfry-phone: cannot read %s\n", file.c_str());
        return 1;
    }
    const std::string name = c.args.get("name", baseName(file));
    bool sent = false;
    if (endsWith(file, ".m4r")) {
        body["name"] = name;
        body["data"] = belfry::encodeBase64(bytes);
        body["start"] = std::stoi(start);
        sent = call(c.service, "POST", "/phone/v1/ringtone", body, {}, answer);
    } else {
        const std::string path = "/phone/v1/tune?pcid=" + queryValue(c.pcid)
            + "&device_id=" + queryValue(body["device_id"]) + "&name=" + queryValue(name) + "&start=" + start;
        const httplib::Headers headers {
            {"Authorization", "Bearer " + body["device_token"].get<std::string>()}};
        sent = answered(c.service, "/phone/v1/tune",
            client(c.service)->Post(path.c_str(), headers, bytes, "application/octet-stream"), answer);
    }
    if (!sent)
        return 1;
    std::printf("sent %s as ringtone %s\n", name.c_str(), answer["id"].dump().c_str());
    return 0;
}

int listSent(Context &c)
{
    json body, answer;
    if (!credentials(c, body) || !call(c.service, "POST", "/phone/v1/sent", body, {}, answer))
        return 1;
    for (const json &r : answer.value("ringtones", json::array()))
        std::printf("%s\t%s\t%s\t%s\n", r["id"].dump().c_str(), r.value("state", "").c_str(),
            r["size"].dump().c_str(), r.value("name", "").c_str());
    return 0;
}

int withdraw(Context &c)
{
    const std::string &id = c.args.positional[0];
    json body, answer;
    if (!credentials(c, body))
        return 1;
    body["id"] = std::atoll(id.c_str());
    if (!call(c.service, "POST", "/phone/v1/withdraw", body, {}, answer))
        return 1;
    std::printf("withdrew ringtone %s\n", id.c_str());
    return 0;
}

int unpairFrom(Context &c)
{
    json body, answer;
    if (!credentials(c, body) || !call(c.service, "POST", "/phone/v1/unpair", body, {}, answer))
        return 1;
    c.state.data["tokens"].erase(c.pcid);
    std::printf("unpaired from %s\n", c.pcid.c_str());
    return c.state.save() ? 0 : 1;
}

int publishUpdate(Context &c)
{
    const auto &pos = c.args.positional;
    json answer;
    if (!call(c.service, "POST", "/admin/v1/update", {{"version", pos[0]}, {"url", pos[1]}}, c.admin, answer))
        return 1;
    std::printf("published version %s at %s\n", pos[0].c_str(), pos[1].c_str());
    return 0;
}

int setConf(Context &c)
{
    const auto &pos = c.args.positional;
    json body = {{"key", pos[0]}, {"value", pos[1]}}, answer;
    if (!c.pcid.empty())
        body["pcid"] = c.pcid;
    if (!call(c.service, "POST", "/admin/v1/conf", body, c.admin, answer))
        return 1;
    std::printf(
        "set %s = %s for %s\n", pos[0].c_str(), pos[1].c_str(), c.pcid.empty() ? "all PCs" : c.pcid.c_str());
    return 0;
}

int showStats(Context &c)
{
    json answer;
    if (!call(c.service, "GET", "/admin/v1/stats", {}, c.admin, answer))
        return 1;
    std::printf("%s\n", answer["stats"].dump(2).c_str());
    return 0;
}

struct Command
{
    const char *name;
    size_t positional;  // how many arguments it takes besides the options
    bool needsPcid;
    bool admin;
    int (*run)(Context &);
};

const Command Commands[] = {
    {"pair", 0, true, false, pairWith},
    {"send", 1, true, false, sendRingtone},
    {"sent", 0, true, false, listSent},
    {"withdraw", 1, true, false, withdraw},
    {"unpair", 0, true, false, unpairFrom},
    {"publish-update", 2, false, true, publishUpdate},
    {"set-conf", 2, false, true, setConf},
    {"stats", 0, false, true, showStats},
};

}  // namespace

int main(int argc, char **argv)
{
    Args args;
    if (!parse(argc, argv, args))
        return usage();
    const Command *command = nullptr;
    for (const Command &candidate : Commands)
        if (args.command == candidate.name && args.positional.size() == candidate.positional
            && !(candidate.needsPcid && args.get("pcid").empty()))
            command = &candidate;
    if (!command)
        return usage();
    State state;
    if (!state.load(args))
        return 1;
    const std::string remembered = state.text("service");
    Context context {args, state, args.get("service", remembered.empty() ? DefaultService : remembered),
        args.get("pcid"), command->admin ? adminToken(args) : std::string()};
    return command->run(context);
}
