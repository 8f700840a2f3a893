#pragma once

// Checks for the fields that arrive from the network: ids, words, names,
// keys and addresses. Each returns an empty string when the input is
// acceptable, otherwise the reason for the refusal (sent back to the caller
// and logged).

#include "service_limits.h"

#include <cstdint>
#include <string>

namespace belfry {

// What checkClientId takes, as a regular expression that JavaScript reads alike.
inline constexpr const char *ClientIdPattern
    = "^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-fR][0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}$";

// The program's client id: a lowercase UUID in 8-4-4-4-12 form whose version
// digit may be the letter R.
std::string checkClientId(const std::string &pcid);
// Device ids and versions: short words of letters, digits and ".-_:+".
std::string checkWord(const std::string &what, const std::string &value, size_t maxLength);
// Display names: valid UTF-8, 1 to `maxChars` characters, no control or bidi
// characters, no invisible ones (a joiner inside an emoji stays), no noncharacters.
std::string checkName(const std::string &what, const std::string &value, size_t maxChars);
// A ringtone name also becomes a file name on the PC: no path separators,
// no name Windows keeps for a device, at most 255 bytes with ".m4r", and
// nothing else the PC's file system refuses.
std::string checkRingtoneName(const std::string &name);
// Settings keys as the program writes them: "Pulse", "Server/Host".
std::string checkConfKey(const std::string &key);
std::string checkHttpUrl(const std::string &url);

inline bool isRingtoneId(int64_t id)
{
    return id >= 1 && id <= MaxRingtoneId;
}

}  // namespace belfry
