#include "rules/fields.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <iterator>
#include <vector>

#include <unicode/uchar.h>

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

constexpr long ZeroWidthJoiner = 0x200D;
constexpr long EmojiPresentation = 0xFE0F;  // VS16

bool isEmoji(long cp)
{
    return cp > 0 && u_hasBinaryProperty(UChar32(cp), UCHAR_EMOJI);
}

// Inside an emoji sequence a joiner draws one emoji of two, and VS16 asks
// for the emoji form of what precedes it: both are seen, so both stay.
bool partOfEmoji(long before, long cp, long after)
{
    if (cp == ZeroWidthJoiner)
        return (isEmoji(before) || before == EmojiPresentation) && isEmoji(after);
    return cp == EmojiPresentation && isEmoji(before);
}

// Why a name may not hold `cp`, or null: control characters; bidi controls,
// which make a name read differently from what it is; whatever Unicode says
// may draw nothing, which makes two names look alike; noncharacters and
// code points not yet assigned, which no font draws. `before` and `after`
// are the neighbours of `cp` (0 at the ends).
const char *unwantedCharacter(long before, long cp, long after)
{
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029)
        return "a control character";
    if (u_hasBinaryProperty(UChar32(cp), UCHAR_BIDI_CONTROL))
        return "a bidirectional control character";
    if (partOfEmoji(before, cp, after))
        return nullptr;
    if (u_hasBinaryProperty(UChar32(cp), UCHAR_DEFAULT_IGNORABLE_CODE_POINT))
        return "an invisible character";
    if (u_hasBinaryProperty(UChar32(cp), UCHAR_NONCHARACTER_CODE_POINT))
        return "a Unicode noncharacter";
    if (u_charType(UChar32(cp)) == U_UNASSIGNED)
        return "a character Unicode has not assigned";
    return nullptr;
}

// Windows opens a device instead of a file for these names, in any case,
// whatever the extension and with spaces before it: "con.txt", "NUL .m4r",
// "com¹.x". The program's own file naming keeps to the same list.
constexpr const char *DeviceNames
    = "CON, PRN, AUX, NUL, CONIN$, CONOUT$, or COM or LPT with 0-9, \u00B9, \u00B2 or \u00B3";

bool reservedOnWindows(const std::string &name)
{
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char &c : stem)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    if (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) {
        const std::string number = stem.substr(3);
        return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\u00B9"
            || number == "\u00B2" || number == "\u00B3";
    }
    return stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$"
        || stem == "CONOUT$";
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
    long before = 0;
    for (size_t i = 0; i < value.size(); ++chars) {
        const long cp = nextCodePoint(value, i);
        if (cp < 0)
            return what + " is not valid UTF-8";
        size_t peek = i;
        const long after = cp == ZeroWidthJoiner && i < value.size() ? nextCodePoint(value, peek) : 0;
        const char *why = unwantedCharacter(before, cp, after);
        if (why)
            return what + " holds " + why;
        before = cp;
    }
    if (chars == 0 || chars > maxChars)
        return what + " must have 1 to " + std::to_string(maxChars) + " characters";
    return {};
}

std::string checkRingtoneName(const std::string &name)
{
    std::string error = checkName("the name", name, MaxRingtoneNameChars);
    if (!error.empty())
        return error;
    if (name.find_first_of("/\\:*?\"<>|") != std::string::npos)
        return "the name may not hold any of / \\ : * ? \" < > |";
    if (name.front() == '.' || name.front() == ' ' || name.back() == '.' || name.back() == ' ')
        return "the name may not begin or end with a dot or a space";
    if (reservedOnWindows(name))
        return std::string("the name is one Windows keeps for a device (") + DeviceNames + ")";
    if (name.size() > MaxRingtoneNameBytes)
        return "the name must be at most " + std::to_string(MaxRingtoneNameBytes) + " bytes of UTF-8";
    return {};
}

std::string checkConfKey(const std::string &key)
{
    if (key.empty() || key.size() > MaxConfKeyChars)
        return "the key must have 1 to " + std::to_string(MaxConfKeyChars) + " characters";
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
    if (!(http || https) || url.size() > MaxUrlChars || url.size() <= (https ? 8u : 7u))
        return "the address must be an http or https URL of at most " + std::to_string(MaxUrlChars)
            + " characters";
    for (char c : url)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F
            || std::strchr("\"'<>\\`", c) != nullptr)
            return "the address holds a character that must be percent-encoded";
    return {};
}
}  // namespace belfry
