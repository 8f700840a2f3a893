#include "api/input.h"

#include "rules/codec.h"
#include "rules/fields.h"
#include "service_limits.h"

namespace belfry {

using json = nlohmann::json;

// nlohmann parses iteratively, but deep documents still cost recursion when
// they are destroyed; no request of ours nests more than a few levels, nor
// holds more than a few values.
bool modest(const std::string &body)
{
    int depth = 0;
    size_t values = 0;
    bool inString = false;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MaxJsonDepth || ++values > MaxJsonValues)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if ((c == ',' || c == ':') && ++values > MaxJsonValues) {
            return false;
        }
    }
    return true;
}

bool finish(Input &in, Response &res)
{
    if (!in.ok())
        refuse(res, in.code, in.error);
    return in.ok();
}

std::string bearerToken(const Request &req)
{
    const std::string header = req.header("Authorization");
    const std::string prefix = "Bearer ";
    return header.compare(0, prefix.size(), prefix) == 0 ? header.substr(prefix.size()) : std::string();
}

Credentials credentials(const Request &req, Input &in, bool fromAddress)
{
    Credentials c = fromAddress
        ? Credentials {req.param("pcid"), req.param("device_id"), bearerToken(req)}
        : Credentials {in.text("pcid"), in.text("device_id"), in.text("device_token")};
    if (!in.ok())
        return c;
    in.check(checkClientId(c.pcid));
    in.check(checkWord("the device id", c.deviceId, MaxDeviceIdChars));
    if (c.token.size() != 2 * DeviceTokenBytes
        || c.token.find_first_not_of("0123456789abcdef") != std::string::npos)
        in.check("the device token is malformed");
    return c;
}

bool tuneStart(const std::string &text, int max, int &start)
{
    const int64_t given = text.empty() ? 0 : wholeNumber(text);
    start = given < 0 ? 0 : int(given);
    return given >= 0 && given <= max;
}

bool clientFields(Input &in, const std::string &pcid, const std::string &version)
{
    in.check(checkClientId(pcid));
    in.check(checkWord("the version", version, MaxVersionChars));
    return in.ok();
}

bool ringtoneIds(const json &list, size_t most, std::vector<int64_t> &ids)
{
    if (!list.is_array() || list.size() > most)
        return false;
    for (const json &item : list) {
        const int64_t id = item.is_string() ? wholeNumber(item.get<std::string>(), 10) : -1;
        if (!isRingtoneId(id))
            return false;
        ids.push_back(id);
    }
    return true;
}

}  // namespace belfry
