#include "checks.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

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

bool isEmoji(long cp)
{
    return (cp >= 0x1F000 && cp <= 0x1FAFF) || (cp >= 0x2600 && cp <= 0x27BF) || cp == 0xFE0F;
}

// Why a name may not hold `cp`, or null: control characters; bidi controls,
// which make a name read differently from what it is; invisible characters,
// which make two names look alike (a joiner inside an emoji sequence draws
// one emoji, so it stays); noncharacters. `before` and `after` are the
// neighbours of `cp` (0 at the ends).
const char *unwantedCharacter(long before, long cp, long after)
{
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0x2028 || cp == 0x2029)
        return "a control character";
    if (cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E)
        || (cp >= 0x2066 && cp <= 0x2069))
        return "a bidirectional control character";
    if (cp == ZeroWidthJoiner && isEmoji(before) && isEmoji(after))
        return nullptr;
    if ((cp >= 0x200B && cp <= 0x200D) || cp == 0x2060 || cp == 0xFEFF || cp == 0x180E)
        return "an invisible character";
    if ((cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE)
        return "a Unicode noncharacter";
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

// Finds the first child of type `type` among the boxes inside `parent`.
bool findBox(const std::string &b, const Box &parent, const char *type, Box &found)
{
    for (size_t at = parent.body; at < parent.end;) {
        Box box;
        if (!readBox(b, at, parent.end, box))
            return false;
        if (box.type == type) {
            found = box;
            return true;
        }
        at = box.end;
    }
    return false;
}

const std::string TooLong
    = "the ringtone lasts longer than " + std::to_string(MaxRingtoneSeconds) + " seconds";
const char Inconsistent[] = "the ringtone's sample table contradicts itself";

// The movie header and a track's media header share their layout up to the
// duration.
struct MediaTime
{
    uint64_t timescale = 0;
    uint64_t duration = 0;
};

std::string readMediaTime(const std::string &b, const Box &box, const char *what, MediaTime &t)
{
    const size_t at = box.body;
    const bool v1 = box.end > at && b[at] == 1;
    if (box.end - at < (v1 ? 32u : 20u))
        return std::string("the ringtone's ") + what + " is truncated";
    t.timescale = be32(b, at + (v1 ? 20 : 12));
    t.duration = v1 ? be64(b, at + 24) : be32(b, at + 16);
    if (t.timescale == 0 || t.duration == 0 || t.duration == (v1 ? ~uint64_t(0) : 0xFFFFFFFFu))
        return "the ringtone's duration is unknown";
    return t.duration > t.timescale * MaxRingtoneSeconds ? TooLong : "";
}

std::string checkBrand(const std::string &b, const Box &ftyp)
{
    static const std::array<const char *, 6> brands = {"M4A ", "M4B ", "mp42", "mp41", "isom", "iso2"};
    bool audio = false;
    // The major brand, then the compatible brands after the minor version.
    for (size_t at = ftyp.body; at + 4 <= ftyp.end; at += (at == ftyp.body ? 8 : 4))
        for (const char *brand : brands)
            audio = audio || b.compare(at, 4, brand) == 0;
    return audio ? "" : "the ringtone's ftyp box names no MPEG-4 audio brand";
}

// The file is a sequence of boxes and nothing else: a program appended to a
// valid header ends the walk early.
std::string readTopLevel(const std::string &b, Box &moov, std::vector<Box> &mediaData)
{
    int count = 0;
    bool haveMoov = false;
    for (size_t at = 0; at < b.size();) {
        Box box;
        if (!readBox(b, at, b.size(), box))
            return "the ringtone is cut short or has data after its last box";
        if (++count > 64)
            return "the ringtone has too many boxes";
        if (box.type == "moov") {
            if (haveMoov)
                return "the ringtone has two movie boxes";
            moov = box;
            haveMoov = true;
        } else if (box.type == "mdat") {
            mediaData.push_back(box);
        }
        at = box.end;
    }
    return haveMoov ? "" : "the ringtone has no movie header (moov/mvhd)";
}

// A table inside a full box: a 32-bit entry count `countAt` bytes into the
// box, then entries of `width` bytes (none when `width` is 0).
struct Table
{
    const std::string *b = nullptr;
    size_t at = 0;
    uint64_t count = 0;
    size_t width = 0;

    uint32_t u32(uint64_t entry, size_t field = 0) const { return be32(*b, at + entry * width + field * 4); }
    uint64_t u64(uint64_t entry) const { return be64(*b, at + entry * width); }
};

bool readTable(const std::string &b, const Box &box, size_t countAt, size_t width, Table &t)
{
    if (box.end - box.body < countAt + 4)
        return false;
    t = {&b, box.body + countAt + 4, be32(b, box.body + countAt), width};
    return width == 0 || t.count <= (box.end - t.at) / width;
}

struct SoundTrack
{
    int count = 0;
    MediaTime time;
    Box stbl;
};

// Refuses a video track; keeps the sample table of the one sound track.
// Other tracks (chapters, text) may stay: their bytes are not sound.
std::string readTrack(const std::string &b, const Box &trak, SoundTrack &sound)
{
    Box mdia, hdlr, mdhd, minf;
    if (!findBox(b, trak, "mdia", mdia) || !findBox(b, mdia, "hdlr", hdlr) || hdlr.end - hdlr.body < 12)
        return "the ringtone has a track of no known kind";
    const std::string handler = b.substr(hdlr.body + 8, 4);
    if (handler == "vide" || handler == "pict" || handler == "auxv")
        return "the ringtone holds a video track";
    if (handler != "soun")
        return {};
    if (++sound.count > 1)
        return "the ringtone holds more than one sound track";
    if (!findBox(b, mdia, "mdhd", mdhd))
        return "the ringtone's sound track has no media header";
    const std::string error = readMediaTime(b, mdhd, "media header", sound.time);
    if (!error.empty())
        return error;
    if (!findBox(b, mdia, "minf", minf) || !findBox(b, minf, "stbl", sound.stbl))
        return "the ringtone's sound track has no sample table";
    return {};
}

struct Samples
{
    Table times, sizes, chunks, offsets;  // stts, stsz, stsc, stco or co64
    uint32_t size = 0;  // of every sample, or 0 when `sizes` lists them
};

std::string readSamples(const std::string &b, const Box &stbl, Samples &s)
{
    Box stts, stsz, stsc, stco;
    const bool wide = !findBox(b, stbl, "stco", stco);
    if (!findBox(b, stbl, "stts", stts) || !findBox(b, stbl, "stsz", stsz) || !findBox(b, stbl, "stsc", stsc)
        || (wide && !findBox(b, stbl, "co64", stco)))
        return "the ringtone's sound track has no complete sample table";
    bool ok = readTable(b, stts, 4, 8, s.times) && readTable(b, stsc, 4, 12, s.chunks)
        && readTable(b, stco, 4, wide ? 8 : 4, s.offsets) && stsz.end - stsz.body >= 8;
    if (ok) {
        s.size = be32(b, stsz.body + 4);
        ok = readTable(b, stsz, 8, s.size ? 0 : 4, s.sizes);
    }
    if (!ok)
        return "the ringtone's sample table is truncated";
    if (s.sizes.count == 0)
        return "the ringtone's sound track holds no samples";
    return {};
}

// The track's length as its samples add up, which a header cannot shorten.
std::string checkSampleTimes(const Samples &s, uint64_t timescale)
{
    const uint64_t limit = timescale * MaxRingtoneSeconds;
    uint64_t ticks = 0, count = 0;
    for (uint64_t i = 0; i < s.times.count; ++i) {
        const uint64_t n = s.times.u32(i, 0), delta = s.times.u32(i, 1);
        if (delta != 0 && n > (limit - ticks) / delta)
            return TooLong;
        ticks += n * delta;
        count += n;
    }
    return count == s.sizes.count ? "" : Inconsistent;
}

// Where one chunk's samples lie: past the chunk before, inside one media
// data box. `end` is where the chunk before ended.
std::string checkChunk(
    const std::string &b, const std::vector<Box> &mediaData, uint64_t at, uint64_t bytes, uint64_t &end)
{
    if (at > b.size() || bytes > b.size() - at)
        return "the ringtone's sample data lies past the end of the file";
    if (at < end)
        return "the ringtone's sample data overlaps itself";
    // The last media data box that begins at or before the chunk.
    const auto box
        = std::upper_bound(mediaData.begin(), mediaData.end(), at, [](uint64_t offset, const Box &m) {
              return offset < m.body;
          });
    if (box == mediaData.begin() || at > std::prev(box)->end || bytes > std::prev(box)->end - at)
        return "the ringtone's sample data lies outside its media data";
    end = at + bytes;
    return {};
}

// Walks the chunks in order, each with its run of samples; `sound` is the
// bytes they hold together.
std::string checkChunks(
    const std::string &b, const Samples &s, const std::vector<Box> &mediaData, uint64_t &sound)
{
    uint64_t chunk = 0, sample = 0, end = 0;
    for (uint64_t i = 0; i < s.chunks.count; ++i) {
        const uint64_t first = s.chunks.u32(i, 0), perChunk = s.chunks.u32(i, 1);
        const uint64_t next = i + 1 < s.chunks.count ? s.chunks.u32(i + 1, 0) : s.offsets.count + 1;
        if (first != chunk + 1 || next <= first || next > s.offsets.count + 1)
            return Inconsistent;
        for (; chunk + 1 < next; ++chunk) {
            if (perChunk > s.sizes.count - sample)
                return Inconsistent;
            uint64_t bytes = perChunk * s.size;
            for (uint64_t k = 0; s.size == 0 && k < perChunk; ++k)
                bytes += s.sizes.u32(sample + k);
            sample += perChunk;
            const uint64_t at = s.offsets.width == 8 ? s.offsets.u64(chunk) : s.offsets.u32(chunk);
            const std::string error = checkChunk(b, mediaData, at, bytes, end);
            if (!error.empty())
                return error;
            sound += bytes;
        }
    }
    return chunk == s.offsets.count && sample == s.sizes.count ? "" : Inconsistent;
}

// The movie's tracks: exactly one of sound, none of video, and the sound
// track's samples, as they lie in the file, make up most of it.
std::string checkTracks(const std::string &b, const Box &moov, const std::vector<Box> &mediaData)
{
    SoundTrack sound;
    std::string error;
    for (size_t at = moov.body; at < moov.end && error.empty();) {
        Box box;
        if (!readBox(b, at, moov.end, box))
            return "the ringtone's movie box is malformed";
        if (box.type == "trak")
            error = readTrack(b, box, sound);
        at = box.end;
    }
    if (error.empty() && sound.count == 0)
        error = "the ringtone has no sound track";
    Samples samples;
    if (error.empty())
        error = readSamples(b, sound.stbl, samples);
    if (error.empty())
        error = checkSampleTimes(samples, sound.time.timescale);
    uint64_t bytes = 0;
    if (error.empty())
        error = checkChunks(b, samples, mediaData, bytes);
    if (error.empty() && b.size() - bytes > MaxRingtoneOtherBytes)
        error = "the ringtone holds more than " + mebibytes(MaxRingtoneOtherBytes) + " that is not sound";
    return error;
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

std::string checkRingtoneFile(const std::string &b)
{
    if (b.empty())
        return "the ringtone is empty";
    if (b.size() > MaxRingtoneBytes)
        return "the ringtone is larger than " + mebibytes(MaxRingtoneBytes);
    Box ftyp, moov, mvhd;
    if (!readBox(b, 0, b.size(), ftyp) || ftyp.type != "ftyp" || ftyp.end - ftyp.body < 8)
        return "the ringtone is not an MPEG-4 file (no ftyp box first)";
    std::vector<Box> mediaData;
    std::string error = checkBrand(b, ftyp);
    if (error.empty())
        error = readTopLevel(b, moov, mediaData);
    if (error.empty() && !findBox(b, moov, "mvhd", mvhd))
        error = "the ringtone has no movie header (moov/mvhd)";
    MediaTime movie;
    if (error.empty())
        error = readMediaTime(b, mvhd, "movie header", movie);
    return error.empty() ? checkTracks(b, moov, mediaData) : error;
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

int64_t wholeNumber(const std::string &text, size_t maxDigits)
{
    if (text.empty() || text.size() > std::min<size_t>(maxDigits, 18)
        || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(text);
}

int64_t randomId()
{
    std::random_device device;
    int64_t id = 0;
    while (id == 0)
        id = int64_t(device() & uint32_t(MaxRingtoneId));
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
