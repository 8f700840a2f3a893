#pragma once

#include "service_limits.h"

#include <cstdint>
#include <string>

// Checks for everything that arrives from the network. Each returns an empty
// string when the input is acceptable, otherwise the reason for the refusal
// (sent back to the caller and logged).
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

// An MPEG-4 audio file: an "ftyp" box with an audio brand first, then boxes
// that fill the file exactly; one movie box with exactly one sound track and
// no video track; the movie header, the sound track's media header and its
// samples lasting at most MaxRingtoneSeconds (the headers more than nothing);
// the samples inside the file's media data, in order, and all but at most
// MaxRingtoneOtherBytes of the file.
std::string checkRingtoneFile(const std::string &bytes);

// `text` as a whole number of 1 to `maxDigits` (at most 18) decimal digits
// and nothing else; -1 when it is not one.
int64_t wholeNumber(const std::string &text, size_t maxDigits = MaxNumberDigits);
inline bool isRingtoneId(int64_t id)
{
    return id >= 1 && id <= MaxRingtoneId;
}

// Standard base64 with padding; false on any other character or length.
bool decodeBase64(const std::string &text, std::string &bytes);
std::string encodeBase64(const std::string &bytes);

// `bytes` random bytes from the system's generator, as lowercase hex.
std::string randomHex(size_t bytes);
// A random ringtone id in 1 .. MaxRingtoneId.
int64_t randomId();
// Compares in time independent of where the strings differ.
bool sameSecret(const std::string &a, const std::string &b);

}  // namespace belfry
