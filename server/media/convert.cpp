#include "media/convert.h"

#include "media/child.h"
#include "media/mp4.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace belfry {

namespace {

using Clock = std::chrono::steady_clock;

// Only what the accepted formats carry: their sound, and a cover picture.
constexpr const char *Demuxers = "mov,mp3,ogg,wav,flac,aac";
constexpr const char *Decoders
    = "aac,aac_fixed,mp3float,mp3,vorbis,opus,flac,alac,"
      "pcm_s16le,pcm_s24le,pcm_s32le,pcm_f32le,pcm_f64le,pcm_u8,pcm_alaw,pcm_mulaw,"
      "adpcm_ms,adpcm_ima_wav,mjpeg,png";
constexpr const char *NotATune
    = "it is not a tune in a format this service reads (MP3, AAC, M4A, Ogg, Opus, WAV or FLAC)";
// Less than this after the start is no ringtone.
constexpr double ShortestSeconds = 1;
constexpr size_t MaxProbeOutput = 256 * 1024;

Conversion outcome(ConvertStatus status, std::string reason, std::string detail = {})
{
    Conversion c;
    c.status = status;
    c.reason = std::move(reason);
    c.detail = std::move(detail);
    return c;
}

Conversion refused(std::string reason, std::string detail = {})
{
    return outcome(ConvertStatus::Refused, std::move(reason), std::move(detail));
}

// A folder only this conversion uses, gone with everything in it however the
// conversion ends but for a crash of the service.
class TempFolder
{
public:
    explicit TempFolder(const std::string &pattern)
    {
        std::string name = pattern + "XXXXXX";
        if (::mkdtemp(name.data()))  // mode 0700
            folder = name;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (!folder.empty())
            std::filesystem::remove_all(folder, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    bool ok() const { return !folder.empty(); }
    const std::string &path() const { return folder; }

private:
    std::string folder;
};

std::string tempRoot(const std::string &chosen)
{
    if (!chosen.empty())
        return chosen;
    const char *tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// The start of the owner's conversion folders' names: a hash of its data
// folder's absolute path, which stays the same from one start to the next.
std::string folderPrefix(const std::string &owner)
{
    if (owner.empty())
        return "belfry-convert-";
    std::error_code failed;
    std::string path = std::filesystem::weakly_canonical(owner, failed).string();
    uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const unsigned char c : failed ? owner : path)
        hash = (hash ^ c) * 1099511628211ULL;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::string("belfry-convert-") + hex + "-";
}

bool writeFile(const std::string &path, const std::string &bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return ::close(fd) == 0 && done == bytes.size();
}

bool readFile(const std::string &path, size_t max, std::string &bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[64 * 1024];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && bytes.size() <= max)
        bytes.append(buffer, size_t(n));
    ::close(fd);
    return n == 0 && bytes.size() <= max;
}

// The child's first line of diagnostics, printable, for the log.
std::string firstLine(const std::string &text)
{
    std::string line;
    for (char ch : text.substr(0, text.find('\n')).substr(0, 200))
        line += (ch >= 0x20 && ch < 0x7F) ? ch : '?';
    return line;
}

// How a child's run ended, where that is no matter of the file's contents:
// stopped, not run at all, or out of time. Ok otherwise, with its diagnostics.
Conversion ended(const Child &c, const std::string &program, const char *tooLong)
{
    if (c.cancelled)
        return outcome(ConvertStatus::Busy, "the service is stopping");
    if (!c.started)
        return outcome(ConvertStatus::Failed,
            "the service cannot run " + program + (c.startError ? std::string(": ") + std::strerror(c.startError) : ""));
    if (c.timedOut)
        return refused(tooLong);
    return outcome(ConvertStatus::Ok, {}, firstLine(c.err));
}

// The input options of both children: the file protocol, our demuxers and
// decoders only.
std::vector<std::string> inputOptions(const std::string &program)
{
    return {program, "-hide_banner", "-v", "error", "-protocol_whitelist", "file", "-format_whitelist",
        Demuxers, "-codec_whitelist", Decoders, "-threads", "1"};
}

struct Probe
{
    std::string format;
    double seconds = -1;
    int audioStreams = 0;
    std::string codec, profile;
    int channels = 0;
    bool video = false;
};

double number(const nlohmann::json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return -1;
    char *end = nullptr;
    const double v = std::strtod(it->get_ref<const std::string &>().c_str(), &end);
    return end && *end == '\0' && std::isfinite(v) ? v : -1;
}

std::string text(const nlohmann::json &object, const char *key)
{
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool parseProbe(const std::string &out, Probe &p)
{
    const nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
    if (!doc.is_object() || !doc.contains("format") || !doc["format"].is_object())
        return false;
    p.format = text(doc["format"], "format_name");
    p.seconds = number(doc["format"], "duration");
    for (const nlohmann::json &s : doc.value("streams", nlohmann::json::array())) {
        const std::string type = s.is_object() ? text(s, "codec_type") : std::string();
        const bool picture = s.is_object() && s.contains("disposition") && s["disposition"].is_object()
            && s["disposition"].value("attached_pic", 0) == 1;
        if (type == "video" && !picture)
            p.video = true;
        if (type != "audio" || p.audioStreams++ > 0)
            continue;
        p.codec = text(s, "codec_name");
        p.profile = text(s, "profile");
        p.channels = s.value("channels", 0);
        p.seconds = std::max(p.seconds, number(s, "duration"));
    }
    return true;
}

Conversion probe(const TempFolder &dir, const ConvertOptions &o, const std::atomic<bool> *cancel, Probe &p)
{
    std::vector<std::string> command = inputOptions(o.ffprobe);
    command.insert(command.end(),
        {"-show_entries",
            "format=format_name,duration:stream=codec_type,codec_name,profile,channels,duration:"
            "stream_disposition=attached_pic",
            "-of", "json", "in"});
    const Child c = runChild(command, dir.path(), o, MaxProbeOutput, cancel);
    const Conversion end = ended(c, o.ffprobe, "reading it took too long");
    if (end.status != ConvertStatus::Ok)
        return end;
    const std::string &detail = end.detail;
    const size_t codec = c.err.find("Codec (");
    if (!c.succeeded() && codec != std::string::npos && c.err.find("not on whitelist") != std::string::npos) {
        const std::string name = c.err.substr(codec + 7, c.err.find(')', codec) - codec - 7);
        return refused(
            "it holds " + firstLine(name) + ", which this service does not read: only sound is taken",
            detail);
    }
    if (!c.succeeded() || !parseProbe(c.out, p))
        return refused(NotATune, detail);
    return outcome(ConvertStatus::Ok, {});
}

struct Plan
{
    bool copy = false;
    bool fade = false;
    double seconds = 0;
};

// What to make of the tune, or why not.
std::string plan(const Probe &p, int start, const ConvertOptions &o, Plan &plan)
{
    if (p.video)
        return "it holds a video: only sound is taken";
    if (p.audioStreams == 0)
        return "it holds no sound";
    if (p.seconds <= 0)
        return "its length cannot be told";
    if (p.seconds > o.maxTuneSeconds)
        return "it lasts " + std::to_string(int(p.seconds / MinuteSeconds)) + " min, longer than the "
            + std::to_string(o.maxTuneSeconds / MinuteSeconds) + " min this service takes";
    if (start + ShortestSeconds > p.seconds)
        return "the start (" + std::to_string(start) + " s) lies at or past the end of the tune ("
            + std::to_string(int(p.seconds)) + " s)";
    const double left = p.seconds - start;
    plan.seconds = std::min(left, double(o.ringtoneSeconds));
    plan.fade = left > o.ringtoneSeconds;
    plan.copy = start == 0 && !plan.fade && p.codec == "aac" && p.profile == "LC"
        && (p.format == "aac" || p.format.compare(0, 4, "mov,") == 0);
    return {};
}

std::vector<std::string> convertCommand(const ConvertOptions &o, const Probe &p, int start, const Plan &plan)
{
    std::vector<std::string> command = inputOptions(o.ffmpeg);
    command.insert(command.end(), {"-nostdin", "-nostats", "-t", std::to_string(o.ringtoneSeconds)});
    // Even "-ss 0" drops the packets before zero: an AAC file's priming frame.
    if (start > 0)
        command.insert(command.end(), {"-ss", std::to_string(start)});
    command.insert(command.end(),
        {"-i", "in", "-map", "0:a:0", "-vn", "-sn", "-dn", "-map_metadata", "-1", "-map_chapters", "-1",
            "-threads", "1", "-filter_threads", "1"});
    if (plan.copy) {
        command.insert(command.end(), {"-c:a", "copy"});
    } else {
        if (plan.fade)
            command.insert(command.end(),
                {"-af",
                    "afade=t=out:st=" + std::to_string(plan.seconds - RingtoneFadeSeconds)
                        + ":d=" + std::to_string(RingtoneFadeSeconds)});
        command.insert(command.end(),
            {"-c:a", "aac", "-profile:a", "aac_low", "-b:a", p.channels == 1 ? "96k" : "160k", "-ar", "44100",
                "-ac", p.channels == 1 ? "1" : "2"});
    }
    command.insert(command.end(), {"-f", "ipod", "-movflags", "+faststart", "out.m4r"});
    return command;
}

Conversion encode(const TempFolder &dir, const ConvertOptions &o, const Probe &p, int start, const Plan &plan,
    const std::atomic<bool> *cancel)
{
    const Child c = runChild(convertCommand(o, p, start, plan), dir.path(), o, 0, cancel);
    Conversion result = ended(c, o.ffmpeg, "converting it took too long");
    if (result.status != ConvertStatus::Ok)
        return result;
    std::string problem = c.succeeded() ? std::string() : "the converter stopped on it";
    if (problem.empty()
        && !readFile(dir.path() + "/out.m4r", std::min(o.outputBytes, MaxRingtoneBytes), result.ringtone))
        problem = "no ringtone of at most " + mebibytes(MaxRingtoneBytes) + " came out";
    if (problem.empty())
        problem = checkRingtoneFile(result.ringtone);
    if (!problem.empty())
        return refused("no usable sound came out of it (" + problem + ")", result.detail);
    result.copied = plan.copy;
    result.seconds = plan.seconds;
    return result;
}

}  // namespace

Converter::Converter(ConvertOptions options)
    : opts(std::move(options))
    , root(tempRoot(opts.tempRoot))
    , prefix(folderPrefix(opts.owner))
{ }

Conversion Converter::convert(const std::string &input, int start, const std::atomic<bool> *cancel) const
{
    if (input.empty())
        return refused("the file is empty");
    if (input.size() > opts.maxInputBytes)
        return outcome(ConvertStatus::TooLarge, "the file is larger than " + mebibytes(opts.maxInputBytes));
    if (start < 0)
        return refused("the start must not be negative");
    if (const std::string missing = unavailable(); !missing.empty())
        return outcome(ConvertStatus::Failed, missing);
    TempFolder dir(root + "/" + prefix);
    if (!dir.ok() || !writeFile(dir.path() + "/in", input))
        return outcome(ConvertStatus::Failed, "the service cannot write its temporary files");
    Probe p;
    Conversion c = probe(dir, opts, cancel, p);
    if (c.status != ConvertStatus::Ok)
        return c;
    Plan how;
    const std::string problem = plan(p, start, opts, how);
    if (!problem.empty())
        return refused(problem);
    return encode(dir, opts, p, start, how, cancel);
}

std::string Converter::unavailable() const
{
    for (const std::string *program : {&opts.ffprobe, &opts.ffmpeg})
        if (::access(program->c_str(), X_OK) != 0)
            return "the service cannot run " + *program;
    return {};
}

size_t Converter::removeLeftovers() const
{
    if (opts.owner.empty())
        return 0;
    size_t removed = 0;
    std::error_code failed;
    for (std::filesystem::directory_iterator it(root, failed), end; !failed && it != end;
         it.increment(failed)) {
        const std::string path = it->path().string();
        struct stat st;
        // In a shared temporary folder only our own folders, never a link.
        if (it->path().filename().string().rfind(prefix, 0) != 0 || ::lstat(path.c_str(), &st) != 0
            || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        std::error_code ignored;
        removed += std::filesystem::remove_all(path, ignored) > 0;
    }
    return removed;
}

ConvertQueue::ConvertQueue(const Converter &converter, size_t workers, size_t capacity)
    : converter(converter)
    , capacity(std::max<size_t>(capacity, 1))
{
    for (size_t i = 0; i < std::max<size_t>(workers, 1); ++i)
        threads.emplace_back(&ConvertQueue::work, this);
}

ConvertQueue::~ConvertQueue()
{
    stop();
    for (std::thread &t : threads)
        t.join();
}

void ConvertQueue::stop()
{
    std::deque<Job> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        waiting.swap(jobs);
    }
    wake.notify_all();
    for (Job &job : waiting)
        job.done(outcome(ConvertStatus::Busy, "the service is stopping"));
}

bool ConvertQueue::submit(std::string input, int start, Done done)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A job an idle worker has yet to take is not waiting: how soon the
        // workers wake must not decide who is turned away.
        if (stopping || jobs.size() + running >= threads.size() + capacity)
            return false;
        jobs.push_back({std::move(input), start, std::move(done)});
    }
    wake.notify_one();
    return true;
}

size_t ConvertQueue::depth()
{
    std::lock_guard<std::mutex> lock(mutex);
    return running + jobs.size();
}

void ConvertQueue::work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] {
                return stopping || !jobs.empty();
            });
            if (stopping)
                return;
            job = std::move(jobs.front());
            jobs.pop_front();
            ++running;
        }
        const auto started = std::chrono::steady_clock::now();
        Conversion result = converter.convert(job.input, job.start, &stopping);
        result.took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        {
            // Before `done`, so that an upload its answer lets through finds room.
            std::lock_guard<std::mutex> lock(mutex);
            --running;
        }
        job.done(std::move(result));
    }
}

}  // namespace belfry
