#include "media/mp4.h"

#include "service_limits.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <vector>

namespace belfry {

namespace {

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
}  // namespace belfry
