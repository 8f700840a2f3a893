// The checks both backends make in the same order inside one transaction
// for a phone's request (the PC, the pairing and its token, the PC's room,
// then the write), written once over the queries each backend answers.
// How a backend locks, and how it finds an id or a file key taken, stay its
// own: they differ (one writer at a time on SQLite; row and advisory locks
// and ON CONFLICT on PostgreSQL).

#pragma once

#include "store/storage.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace belfry {

// Who a phone's request says it is.
struct Sender
{
    const std::string &pcid;
    const std::string &deviceId;
    const std::string &token;
};

// The queries of one transaction that the steps are made of. Each answers
// Ok, Failed (the database failed, or its disk is full), or the one other Result
// its comment names.
class Queries
{
public:
    virtual ~Queries() = default;

    // NotFound when no PC with this id has ever beaten.
    virtual Result knownPc(const std::string &pcid) = 0;
    // Pairs the device, or pairs it again under a new token; a loss of the
    // PC's last pairing that its PC has not heard of yet is forgotten.
    virtual Result pairDevice(
        const std::string &pcid, const Device &device, const std::string &token, int64_t now)
        = 0;
    // Denied unless the device is paired with the PC under this token.
    // `hold`: what follows writes on its word, so a removal of the pairing
    // that commits meanwhile must win.
    virtual Result paired(const Sender &sender, bool hold) = 0;
    // Removes the pairing; Denied as for paired().
    virtual Result dropPairing(const Sender &sender) = 0;
    // Marks the PC's pairing lost when it has none left.
    virtual Result lostIfLast(const std::string &pcid) = 0;
    virtual Result load(const std::string &pcid, Load &load) = 0;
    // Conflict when the ringtone's id or file key is taken.
    virtual Result insertRingtone(const NewRingtone &ringtone, const std::string &bytes) = 0;
    virtual Result sent(const Sender &sender, size_t limit, std::vector<SentRingtone> &out) = 0;
    // NotFound when no such ringtone of this device waits.
    virtual Result withdraw(const Sender &sender, int64_t id) = 0;
};

// The steps of Storage's methods of the same names.
namespace steps {

Result pair(Queries &q, const std::string &pcid, const Device &device, const std::string &token, int64_t now);
Result removePairing(Queries &q, const Sender &sender);
Result addRingtone(Queries &q, const NewRingtone &ringtone, const std::string &bytes);
Result sentRingtones(Queries &q, const Sender &sender, size_t limit, std::vector<SentRingtone> &out);
Result withdrawRingtone(Queries &q, const Sender &sender, int64_t id);

}  // namespace steps

}  // namespace belfry
