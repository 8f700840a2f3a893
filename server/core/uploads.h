#pragma once

// The way of an upload, budget → room → convert → store, on plain values:
// what its sender may still send, and what became of it.

#include "core/beats.h"
#include "core/budgets.h"
#include "media/convert.h"
#include "store/storage.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace belfry {

// What became of an upload, or of the step it stopped at: the store's
// result or the address's spent budget (OverQuota: its PC has no room), or
// the converter's refusal. `why` says it in English when it was refused.
struct UploadOutcome
{
    Verdict verdict;
    ConvertStatus converted = ConvertStatus::Ok;
    std::string why;
    // For the log: how it was made, and the converter's own words.
    std::string note;
    int64_t id = 0;
    bool ok() const { return verdict.ok() && converted == ConvertStatus::Ok; }
};

class Uploads
{
public:
    Uploads(Storage &storage, Beats &beats, ConvertQueue &conversions, Quota quota, int64_t perHour);

    // Whether the sender's pairing holds: cheap, before any work on the file.
    Result paired(const std::string &pcid, const std::string &deviceId, const std::string &token);
    // Whether the PC has room for one ringtone more, whatever its size.
    Result full(const std::string &pcid, bool &full);
    // Counts the upload against its address's budget once its PC has room:
    // every upload costs a conversion, whichever PC it goes to, and a full
    // PC costs nothing.
    UploadOutcome admit(const std::string &pcid, const std::string &address);
    // Hands the file to the converter; `made` is called on its thread with
    // what it made. False, without calling `made`, when the queue is full:
    // then the upload never ran, and `address` has its unit back.
    bool convert(std::string input, int start, const std::string &address, std::function<void(Conversion)> made);
    // What the queue's refusal answers.
    static UploadOutcome busy();
    // Stores what the converter made for `r` (its pcid, device, token and
    // name), under an id of its own.
    UploadOutcome store(NewRingtone r, const Conversion &made);

private:
    UploadOutcome stored(NewRingtone &r, const std::string &bytes);
    std::string quotaProblem() const;

    Storage &storage;
    Beats &beats;
    ConvertQueue &conversions;
    const Quota quota;
    std::unique_ptr<AddressBudget> budget;
};

}  // namespace belfry
