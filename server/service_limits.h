#pragma once

// The service's limits and the defaults of its options, each written here
// once: the option structs start from them, the checks and their messages
// read them, and the usage text prints them. A size is counted in bytes and
// named in binary units (KiB, MiB), in code and in words alike.

#include <cstddef>
#include <cstdint>
#include <string>

namespace belfry {

inline constexpr size_t KiB = 1024;
inline constexpr size_t MiB = 1024 * KiB;
inline constexpr int64_t MinuteSeconds = 60;
inline constexpr int64_t HourSeconds = 60 * MinuteSeconds;
inline constexpr int64_t DaySeconds = 24 * HourSeconds;

// A size of whole mebibytes as messages say it: "5 MiB".
inline std::string mebibytes(size_t bytes)
{
    return std::to_string(bytes / MiB) + " MiB";
}

// --- what a ringtone may be ---
inline constexpr size_t MaxRingtoneBytes = 5 * MiB;
inline constexpr int MaxRingtoneSeconds = 40;
// Room for cover art and tags beside the sound, not for a program.
inline constexpr size_t MaxRingtoneOtherBytes = 1 * MiB;
// A ringtone's name becomes a file name with ".m4r": 255 bytes on most file systems.
inline constexpr size_t MaxRingtoneNameChars = 80;
inline constexpr size_t MaxRingtoneNameBytes = 251;

// --- what a request's fields may be ---
inline constexpr size_t MaxDeviceIdChars = 64;
inline constexpr size_t MaxDeviceNameChars = 64;
inline constexpr size_t MaxVersionChars = 32;
inline constexpr size_t MaxPlatformChars = 16;
inline constexpr size_t MaxEventChars = 32;
inline constexpr size_t MaxConfKeyChars = 64;
inline constexpr size_t MaxConfValueChars = 1024;
inline constexpr size_t MaxUrlChars = 1024;
// Secrets are this many random bytes, handed out as twice as many hex digits.
inline constexpr size_t DeviceTokenBytes = 32;
inline constexpr size_t AdminTokenBytes = 32;
// An admin token written by hand may be shorter than one we make, not much.
inline constexpr size_t MinAdminTokenChars = 32;
inline constexpr size_t FileKeyBytes = 16;
// Ringtone ids are positive 32-bit integers, which every client reads alike.
inline constexpr int64_t MaxRingtoneId = 0x7FFFFFFF;
// Numbers in addresses and options have at most this many digits: no start,
// limit or count the service takes needs more, and none overflows.
inline constexpr size_t MaxNumberDigits = 6;
// A beat promises its next one within this.
inline constexpr int64_t MaxExpireSeconds = DaySeconds;
inline constexpr size_t MaxUnpairIds = 100;
// Ringtones one beat may confirm: a PC has at most its quota waiting, and
// confirms each at its next beat.
inline constexpr size_t MaxConfirmedIds = 500;
inline constexpr size_t MaxSentListed = 100;
inline constexpr int MaxJsonDepth = 16;
// Our requests hold a handful of values (an unpair at most a hundred ids);
// a body of millions of empty ones would cost hundreds of megabytes parsed.
inline constexpr size_t MaxJsonValues = 1000;

// --- request bodies ---
// Every request but the uploads is a few hundred bytes of JSON; an unpair of
// a hundred device ids stays under 8 KiB.
inline constexpr size_t MaxJsonBodyBytes = 16 * KiB;
// A ringtone in base64 (four bytes for every three) with its JSON around it.
inline constexpr size_t MaxRingtoneJsonBodyBytes = 7 * MiB;
static_assert(MaxRingtoneJsonBodyBytes > MaxRingtoneBytes / 3 * 4 + MaxJsonBodyBytes, "room for the JSON");
// Bodies up to this size are read without taking room from the uploads'
// memory, so that beats go on whatever uploads do.
inline constexpr size_t UnmeteredBodyBytes = 64 * KiB;
static_assert(MaxJsonBodyBytes <= UnmeteredBodyBytes, "JSON requests never wait for the uploads' memory");

// --- per source address ---
inline constexpr int64_t DefaultPairingsPerHour = 30;
// Uploads, to whichever PCs: client ids are made up at will, so quotas per
// PC alone would not bound an address.
inline constexpr int64_t DefaultUploadsPerHour = 30;
// Generous, as a school behind one address may have hundreds.
inline constexpr int64_t DefaultNewPcsPerDay = 1000;
// However many networks ask, the whole service takes in at most this many
// times an address's new PCs a day: the store stays bounded.
inline constexpr int64_t NewPcsCeilingTimes = 100;
// Wider networks have budgets of their own, each this many times an
// address's (an IPv6 address counts by its /64), so that a block handed to
// one customer is not thousands of budgets.
struct Nesting
{
    int bits;
    bool v6;
    int64_t times;
};
inline constexpr Nesting BudgetNestings[] = {{24, false, 8}, {56, true, 4}, {48, true, 16}};
// Lookups of ringtones never listed to the asking address: a PC only looks
// up what its beat listed, so these are guesses.
inline constexpr int64_t MissesPerHour = 30;
// A PC sends a usage event when something went wrong, which is rare, and a
// lost one costs nothing.
inline constexpr int64_t EventsPerHour = 120;
// Past this many source addresses, the one seen least recently is forgotten.
inline constexpr size_t MaxTrackedAddresses = 100000;
// Deliveries kept in memory while the store cannot write them (a full disk).
inline constexpr size_t MaxUnrecordedDeliveries = 100000;
// How often, at most, they are tried again.
inline constexpr int64_t DeliveryRetrySeconds = 5;

// --- what is kept, and how long ---
inline constexpr int64_t DefaultKeepSeconds = 30 * DaySeconds;
inline constexpr int64_t DefaultMaxWaiting = 50;
inline constexpr int64_t DefaultMaxWaitingBytes = 100 * MiB;
// A ringtone's information is handed out this long after a beat listed it.
inline constexpr int64_t AnnouncementSeconds = 10 * MinuteSeconds;
inline constexpr int64_t EventKeepSeconds = 90 * DaySeconds;
// PCs that never paired are forgotten this long after their last beat.
inline constexpr int64_t UnpairedPcKeepSeconds = 30 * DaySeconds;
// What expires goes in batches of this many rows, each its own transaction:
// the beats wait behind one batch, not behind the whole sweep.
inline constexpr size_t SweepBatchRows = 500;
// At most this often a request starts the removal of what is kept too long,
// and the log repeats that the disk is full.
inline constexpr int64_t ExpiryIntervalSeconds = MinuteSeconds;
inline constexpr int64_t DiskFullLogSeconds = MinuteSeconds;
// At most this often a count kept in the store removes the buckets that
// have drained.
inline constexpr int64_t BudgetSweepSeconds = MinuteSeconds;
// Stats name this many event names at most, whatever was sent.
inline constexpr int64_t MaxStatsEvents = 50;
// A PC counts as online this long after its last beat's "expire" ran out.
inline constexpr int64_t OnlineGraceSeconds = 30;

// --- the stores ---
// Database connections each instance opens at most, and how long a request
// waits for one of them.
inline constexpr size_t MaxDatabaseConnections = 16;
inline constexpr int64_t DatabaseWaitSeconds = 10;
// At start, a database that cannot be reached is tried again for this long
// (--db-wait), the first pause this long (--db-retry), each twice the one
// before up to the last.
inline constexpr int64_t DefaultDatabaseStartWaitSeconds = 5 * MinuteSeconds;
inline constexpr int64_t DefaultDatabaseRetrySeconds = 1;
inline constexpr int64_t MaxDatabaseRetrySeconds = 30;
// What a request answered 503 while the database is away is told to wait.
inline constexpr int64_t DatabaseAwayRetryAfterSeconds = 5;
// How long a request waits for a writer outside this process (SQLite).
inline constexpr int64_t BusyWaitMilliseconds = 5000;

// --- the transport ---
// Where the service listens, and where its phone's stand-in looks for it.
#define BELFRY_DEFAULT_LISTEN "127.0.0.1:8750"
inline constexpr int DefaultIoThreads = 2;
// Most of them wait: for the database, or for the batch their beat joined.
// More of them make larger batches under load.
inline constexpr int DefaultWorkers = 16;
inline constexpr size_t DefaultMaxConnections = 10000;
inline constexpr size_t DefaultMaxPerAddress = 256;
inline constexpr size_t DefaultUploadMemoryBytes = 256 * MiB;
// Of that room, one sender (an address, or an IPv6 /64) holds at most one
// share (or one largest body), and bodies read before their sender's
// credentials are checked hold this many shares between them.
inline constexpr size_t UploadRoomShares = 8;
inline constexpr size_t StrangersUploadShares = 4;
// A file is read and sent in pieces of this size, one at a time per answer;
// the pieces of all answers under way share the room below.
inline constexpr size_t FilePieceBytes = 64 * KiB;
inline constexpr size_t DefaultFileMemoryBytes = 128 * MiB;
// Under --access-log sampled (the default), one successful beat in this many
// is logged, drawn at random: at 5,000 beats a second that is 50 lines a
// second, 1,500 in journald's 30 s window against its 10,000.
inline constexpr int AccessLogBeatSample = 100;
inline constexpr int64_t IdleTimeoutSeconds = 10;
inline constexpr int64_t HeaderTimeoutSeconds = 10;
inline constexpr int64_t BodyTimeoutSeconds = 60;
// After its first seconds a body must keep arriving at this rate on average,
// or it ends: a trickle would hold its room for the whole body timeout.
inline constexpr int64_t BodyRateGraceSeconds = 10;
inline constexpr size_t MinBodyBytesPerSecond = 8 * KiB;
inline constexpr int64_t WriteTimeoutSeconds = 30;
inline constexpr size_t WriteBytesPerSecond = 16 * KiB;
inline constexpr int64_t StopGraceSeconds = 3;
inline constexpr size_t MaxHeaderBytes = 8 * KiB;

// --- the converter ---
inline constexpr size_t MaxTuneBytes = 40 * MiB;
inline constexpr int MaxTuneSeconds = 20 * int(MinuteSeconds);
inline constexpr int RingtoneSeconds = 30;
// A tune cut short fades out over its last seconds; the phone's page draws it.
inline constexpr int RingtoneFadeSeconds = 2;
// Ringtones made at once, and uploads that may wait for their turn: each
// conversion keeps a core busy for up to a few seconds.
inline constexpr size_t ConvertWorkers = 2;
inline constexpr size_t ConvertWaiting = 4;
// Limits of each converter process.
inline constexpr int ConvertWallSeconds = 30;
inline constexpr int ConvertCpuSeconds = 20;
// Address space, not resident memory: ffmpeg's libraries alone map ~350 MiB.
inline constexpr size_t ConvertMemoryBytes = 1024 * MiB;
inline constexpr size_t ConvertOutputBytes = 8 * MiB;
inline constexpr int ConvertOpenFiles = 64;
inline constexpr int ConvertNiceness = 10;

// --- metrics ---
// The admin page's charts: the last hour, a sample every 10 s, per instance.
inline constexpr int64_t HistoryEverySeconds = 10;
inline constexpr size_t HistorySamples = 360;

}  // namespace belfry
