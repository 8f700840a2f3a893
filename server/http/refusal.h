#pragma once

// Every refusal, whoever makes it (the transport before a route runs, or a
// route): one body, with the English error for people and a code that
// clients tell refusals apart by, and one status for each code.

#include "http/http.h"

#include <string>
#include <vector>

namespace belfry {

enum class Refusal {
    BadRequest,
    Name,  // the ringtone's name
    NotAudio,
    Denied,
    NotFound,  // no such thing, or no such address
    UnknownPc,  // no PC with this id ever beat
    Method,  // the address takes another method
    TooLarge,  // the body, its headers or the ringtone
    Unsupported,  // a content or transfer coding not taken
    Quota,
    DiskFull,
    Rate,
    Busy,
    Internal,
};

// Answers with the refusal's body and status; `status`, when not 0, names a
// finer status of the same kind (401, 431, 501). A refusal is never a
// delivery.
void refuse(Response &res, Refusal why, const std::string &error, int status = 0);
// Each refusal's code, by its number: the metrics' labels.
std::vector<std::string> refusalCodes();

}  // namespace belfry
