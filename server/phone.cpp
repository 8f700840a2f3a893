// belfry-phone: what the phone app does, on the command line, plus the
// service's administration. See usage() for the commands.

#include "checks.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using json = nlohmann::json;

namespace {

const char DefaultService[] = "http://127.0.0.1:8750";

int usage()
{
    std::fprintf(stderr, R"(usage: belfry-phone COMMAND [OPTIONS]
  pair --service URL --pcid ID [--name NAME]   pair with the PC whose client id is ID
  send --pcid ID FILE [--name NAME]            send an .m4r file to a paired PC
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
        DefaultService);
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

// The phone's memory: its device id, and the token of each PC it paired with.
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
        }
        if (!data.contains("device_id"))
            data["device_id"] = "phone-" + belfry::randomHex(8);
        return true;
    }
    bool save() const
    {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        std::ofstream out(path + ".tmp", std::ios::trunc);
        out << data.dump(2) << "\n";
        out.close();
        if (!out || std::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
            std::fprintf(stderr, "belfry-phone: cannot write %s\n", path.c_str());
            return false;
        }
        return true;
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

// Sends one request; prints the service's refusal and returns false when
// there is no 2xx answer with a JSON object.
bool call(const std::string &service, const std::string &method, const std::string &path, const json &body,
    const std::string &adminToken, json &answer)
{
    httplib::Client client(service);
    client.set_connection_timeout(10);
    client.set_read_timeout(60);
    httplib::Headers headers;
    if (!adminToken.empty())
        headers.emplace("Authorization", "Bearer " + adminToken);
    const auto result = method == "GET" ? client.Get(path.c_str(), headers)
                                        : client.Post(path.c_str(), headers, body.dump(), "application/json");
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

}  // namespace

int main(int argc, char **argv)
{
    Args args;
    if (!parse(argc, argv, args))
        return usage();
    State state;
    if (!state.load(args))
        return 1;
    const std::string service
        = args.get("service", state.text("service").empty() ? DefaultService : state.text("service"));
    const std::string pcid = args.get("pcid");
    const std::string &command = args.command;
    const auto &pos = args.positional;
    json answer;

    if (command == "pair" && pos.empty() && !pcid.empty()) {
        const std::string name = args.get("name", "belfry-phone");
        const json body = {{"pcid", pcid}, {"device_id", state.text("device_id")}, {"device_name", name}};
        if (!call(service, "POST", "/phone/v1/pair", body, {}, answer) || !answer["device_token"].is_string())
            return 1;
        state.data["service"] = service;
        state.data["tokens"][pcid] = answer["device_token"];
        if (!state.save())
            return 1;
        std::printf("paired %s (%s) with %s\n", state.text("device_id").c_str(), name.c_str(), pcid.c_str());
        return 0;
    }
    if ((command == "send" && pos.size() == 1) || (command == "unpair" && pos.empty())) {
        if (pcid.empty())
            return usage();
        const std::string token = state.token(pcid);
        if (token.empty()) {
            std::fprintf(stderr, "belfry-phone: not paired with %s (run pair first)\n", pcid.c_str());
            return 1;
        }
        json body = {{"pcid", pcid}, {"device_id", state.text("device_id")}, {"device_token", token}};
        if (command == "unpair") {
            if (!call(service, "POST", "/phone/v1/unpair", body, {}, answer))
                return 1;
            state.data["tokens"].erase(pcid);
            std::printf("unpaired from %s\n", pcid.c_str());
            return state.save() ? 0 : 1;
        }
        bool ok = false;
        const std::string bytes = readFile(pos[0], ok);
        if (!ok) {
            std::fprintf(stderr, "belfry-phone: cannot read %s\n", pos[0].c_str());
            return 1;
        }
        body["name"] = args.get("name", baseName(pos[0]));
        body["data"] = belfry::encodeBase64(bytes);
        if (!call(service, "POST", "/phone/v1/ringtone", body, {}, answer))
            return 1;
        std::printf(
            "sent %s as ringtone %s\n", body["name"].get<std::string>().c_str(), answer["id"].dump().c_str());
        return 0;
    }
    const std::string admin = adminToken(args);
    if (command == "publish-update" && pos.size() == 2) {
        if (!call(service, "POST", "/admin/v1/update", {{"version", pos[0]}, {"url", pos[1]}}, admin, answer))
            return 1;
        std::printf("published version %s at %s\n", pos[0].c_str(), pos[1].c_str());
        return 0;
    }
    if (command == "set-conf" && pos.size() == 2) {
        json body = {{"key", pos[0]}, {"value", pos[1]}};
        if (!pcid.empty())
            body["pcid"] = pcid;
        if (!call(service, "POST", "/admin/v1/conf", body, admin, answer))
            return 1;
        std::printf(
            "set %s = %s for %s\n", pos[0].c_str(), pos[1].c_str(), pcid.empty() ? "all PCs" : pcid.c_str());
        return 0;
    }
    if (command == "stats" && pos.empty()) {
        if (!call(service, "GET", "/admin/v1/stats", {}, admin, answer))
            return 1;
        std::printf("%s\n", answer["stats"].dump(2).c_str());
        return 0;
    }
    return usage();
}
