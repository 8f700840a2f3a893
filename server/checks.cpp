#include "checks.h"

#include <array>
#include <cctype>
#include <cstring>
#include <random>

namespace belfry {

namespace {

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// strchr() finds the terminating NUL too, so a NUL byte needs its own test.
bool inSet(char c, const char *set)
{
    return c != '\0' && std::strchr(set, c) != nullptr;
}

bool isWordChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || inSet(c, ".-_:+");
}

// Decodes one UTF-8 sequence at `i`; returns its code point and advances `i`,
// or returns -1 for a malformed, overlong or surrogate sequence.
long nextCodePoint(const std::string &s, size_t &i)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    int extra;
    long cp;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        cp = b0 & 0x07;
    } else {
        return -1;
    }
    if (i + extra >= s.size())
        return -1;
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return -1;
        cp = (cp << 6) | (b & 0x3F);
    }
    static const long minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    i += extra + 1;
    return cp;
}

uint32_t be32(const std::string &b, size_t at)
{
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16)
        | (uint32_t(uint8_t(b[at + 2])) << 8) | uint32_t(uint8_t(b[at + 3]));
}

uint64_t be64(const std::string &b, size_t at)
{
    return (uint64_t(be32(b, at)) << 32) | be32(b, at + 4);
}

struct Box
{
    std::string type;
    size_t body = 0;  // offset of the box's contents
    size_t end = 0;  // offset just past the box
};

// Reads the box header at `at` within [at, limit); false when it does not fit.
bool readBox(const std::string &b, size_t at, size_t limit, Box &box)
{
    if (limit - at < 8)
        return false;
    uint64_t size = be32(b, at);
    box.type = b.substr(at + 4, 4);
    box.body = at + 8;
    if (size == 1) {
        if (limit - at < 16)
            return false;
        size = be64(b, at + 8);
        box.body = at + 16;
    } else if (size == 0) {
        size = limit - at;
    }
    if (size < box.body - at || size > limit - at)
        return false;
    box.end = at + size;
    return true;
}

// Finds the first child of type `type` among the boxes in [from, to).
bool findBox(const std::string &b, size_t from, size_t to, const char *type, Box &found)
{
    for (size_t at = from; at < to;) {
        Box box;
        if (!readBox(b, at, to, box))
            return false;
        if (box.type == type) {
            found = box;
            return true;
        }
        at = box.end;
    }
    return false;
}

}  // namespace

std::string checkClientId(const std::string &pcid)
{
    if (pcid.size() != 36)
        return "the client id must have 36 characters";
    for (size_t i = 0; i < pcid.size(); ++i) {
        const char c = pcid[i];
        const bool ok = (i == 8 || i == 13 || i == 18 || i == 23) ? c == '-'
            : i == 14                                             ? (isHex(c) || c == 'R')
                                                                  : isHex(c);
        if (!ok)
            return "the client id is not a lowercase UUID";
    }
    return {};
}

std::string checkWord(const std::string &what, const std::string &value, size_t maxLength)
{
    if (value.empty() || value.size() > maxLength)
        return what + " must have 1 to " + std::to_string(maxLength) + " characters";
    for (char c : value)
        if (!isWordChar(c))
            return what + " may hold only letters, digits and .-_:+";
    return {};
}

std::string checkName(const std::string &what, const std::string &value, size_t maxChars)
{
    size_t chars = 0;
    for (size_t i = 0; i < value.size(); ++chars) {
        const long cp = nextCodePoint(value, i);
        if (cp < 0)
            return what + " is not valid UTF-8";
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029)
            return what + " holds a control character";
    }
    if (chars == 0 || chars > maxChars)
        return what + " must have 1 to " + std::to_string(maxChars) + " characters";
    return {};
}

std::string checkRingtoneName(const std::string &name)
{
    // The PC keeps the name as a file name: 80 characters of up to 3 bytes
    // each stay well within the usual 255-byte limit with a suffix added.
    std::string error = checkName("the name", name, 80);
    if (!error.empty())
        return error;
    if (name.find_first_of("/\\:*?\"<>|") != std::string::npos)
        return "the name may not hold any of / \\ : * ? \" < > |";
    if (name.front() == '.' || name.front() == ' ' || name.back() == '.' || name.back() == ' ')
        return "the name may not begin or end with a dot or a space";
    return {};
}

std::string checkConfKey(const std::string &key)
{
    if (key.empty() || key.size() > 64)
        return "the key must have 1 to 64 characters";
    for (char c : key)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || inSet(c, "._-/")))
            return "the key may hold only letters, digits and ._-/";
    if (key.front() == '/' || key.back() == '/' || key.find("//") != std::string::npos)
        return "the key has an empty group";
    return {};
}

std::string checkHttpUrl(const std::string &url)
{
    const bool http = url.rfind("http://", 0) == 0, https = url.rfind("https://", 0) == 0;
    if (!(http || https) || url.size() > 1024 || url.size() <= (https ? 8u : 7u))
        return "the address must be an http or https URL of at most 1024 characters";
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F
            || std::strchr("\"'<>\\`", c) != nullptr)
            return "the address holds a character that must be percent-encoded";
    return {};
}

std::string checkRingtoneFile(const std::string &b)
{
    if (b.empty())
        return "the ringtone is empty";
    if (b.size() > MaxRingtoneBytes)
        return "the ringtone is larger than 5 MB";
    Box ftyp;
    if (!readBox(b, 0, b.size(), ftyp) || ftyp.type != "ftyp" || ftyp.end - ftyp.body < 8)
        return "the ringtone is not an MPEG-4 file (no ftyp box first)";
    static const std::array<const char *, 6> brands = {"M4A ", "M4B ", "mp42", "mp41", "isom", "iso2"};
    bool audio = false;
    // The major brand, then the compatible brands after the minor version.
    for (size_t at = ftyp.body; at + 4 <= ftyp.end; at += (at == ftyp.body ? 8 : 4))
        for (const char *brand : brands)
            audio = audio || b.compare(at, 4, brand) == 0;
    if (!audio)
        return "the ringtone's ftyp box names no MPEG-4 audio brand";
    Box moov, mvhd;
    if (!findBox(b, ftyp.end, b.size(), "moov", moov) || !findBox(b, moov.body, moov.end, "mvhd", mvhd))
        return "the ringtone has no movie header (moov/mvhd)";
    const size_t at = mvhd.body;
    const bool v1 = mvhd.end > at && b[at] == 1;
    if (mvhd.end - at < (v1 ? 32u : 20u))
        return "the ringtone's movie header is truncated";
    const uint64_t timescale = be32(b, at + (v1 ? 20 : 12));
    const uint64_t duration = v1 ? be64(b, at + 24) : be32(b, at + 16);
    if (timescale == 0 || duration == 0 || (!v1 && duration == 0xFFFFFFFFu)
        || (v1 && duration == ~uint64_t(0)))
        return "the ringtone's duration is unknown";
    if (duration > timescale * MaxRingtoneSeconds)
        return "the ringtone lasts longer than 40 seconds";
    return {};
}

bool decodeBase64(const std::string &text, std::string &bytes)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0)
        return false;
    bytes.clear();
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            // Padding only at the very end, and at most two characters of it.
            if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                ++padding;
                group <<= 6;
                continue;
            }
            const size_t v = alphabet.find(c);
            if (v == std::string::npos || c == '\0' || padding > 0)
                return false;
            group = (group << 6) | uint32_t(v);
        }
        bytes.push_back(char(group >> 16));
        if (padding < 2)
            bytes.push_back(char(group >> 8));
        if (padding < 1)
            bytes.push_back(char(group));
    }
    return true;
}

std::string encodeBase64(const std::string &bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (n > 1)
            group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (n > 2)
            group |= uint8_t(bytes[i + 2]);
        for (size_t k = 0; k < 4; ++k)
            out.push_back(k <= n ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
    return out;
}

std::string randomHex(size_t bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::random_device device;  // the kernel's generator on Linux
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned v = device() & 0xFF;
        out.push_back(digits[v >> 4]);
        out.push_back(digits[v & 15]);
    }
    return out;
}

int64_t randomId()
{
    std::random_device device;
    int64_t id = 0;
    while (id == 0)
        id = int64_t(device() & 0x7FFFFFFFu);
    return id;
}

bool sameSecret(const std::string &a, const std::string &b)
{
    // Tokens have one fixed length, so only their contents are secret.
    if (a.empty() || a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace belfry
