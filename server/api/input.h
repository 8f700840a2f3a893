#pragma once

// What a route reads: a JSON body taken member by member, keeping the first
// problem; the credentials of a device; the program's fields and lists.

#include "http/http.h"
#include "http/refusal.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace belfry {

bool modest(const std::string &body);

// Reads the members of a JSON request object, keeping the first problem.
class Input
{
public:
    explicit Input(nlohmann::json object = nlohmann::json::object())
        : object(std::move(object))
    { }

    std::string text(const char *key)
    {
        const auto it = object.find(key);
        if (it == object.end() || !it->is_string()) {
            check(std::string("\"") + key + "\" must be a string");
            return {};
        }
        return it->get<std::string>();
    }
    bool has(const char *key) const { return !(*this)[key].is_null(); }
    // A missing member reads as null.
    const nlohmann::json &operator[](const char *key) const
    {
        static const nlohmann::json missing;
        const auto it = object.find(key);
        return it == object.end() ? missing : *it;
    }
    void check(std::string problem, Refusal why = Refusal::BadRequest)
    {
        if (error.empty()) {
            error = std::move(problem);
            code = why;
        }
    }
    bool ok() const { return error.empty(); }

    std::string error;
    Refusal code = Refusal::BadRequest;

private:
    nlohmann::json object;
};

bool finish(Input &in, Response &res);

// Parses the body as a JSON object and hands it to `read`, which takes and
// checks its members; the request is refused at the first problem.
template<typename Read> inline bool readJson(const Request &req, Response &res, Read read)
{
    if (!modest(req.body)) {
        refuse(res, Refusal::BadRequest, "the JSON body nests too deeply or holds too many values");
        return false;
    }
    nlohmann::json object = nlohmann::json::parse(req.body, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        refuse(res, Refusal::BadRequest, "the body must be a JSON object");
        return false;
    }
    Input in(std::move(object));
    read(in);
    return finish(in, res);
}

// The token of an "Authorization: Bearer ..." header; empty without one.
std::string bearerToken(const Request &req);

// A device's credentials, common to sending, listing and unpairing.
struct Credentials
{
    std::string pcid, deviceId, token;
};

// From a JSON request's members, or from a tune's address and bearer token
// (its body is the file); checked into `in`.
Credentials credentials(const Request &req, Input &in, bool fromAddress = false);
// A tune's start in its address: whole seconds, none meaning 0.
bool tuneStart(const std::string &text, int max, int &start);
// The client id and version that every request of the program carries.
bool clientFields(Input &in, const std::string &pcid, const std::string &version);
// Ringtone ids as the program writes them, decimal strings; false for
// anything else, or more than `most` of them.
bool ringtoneIds(const nlohmann::json &list, size_t most, std::vector<int64_t> &ids);

}  // namespace belfry
