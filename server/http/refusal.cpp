#include "http/refusal.h"

#include <nlohmann/json.hpp>

#include <iterator>

namespace belfry {

namespace {

struct RefusalKind
{
    const char *code;
    int status;
};
// Indexed by Refusal.
constexpr RefusalKind Refusals[] = {
    {"bad-request", 400},
    {"name", 400},
    {"not-audio", 422},
    {"denied", 403},
    {"not-found", 404},
    {"unknown-pc", 404},
    {"method", 405},
    {"too-large", 413},
    {"unsupported", 415},
    {"quota", 507},
    {"disk-full", 507},
    {"rate", 429},
    {"busy", 503},
    {"internal", 500},
};
static_assert(std::size(Refusals) == size_t(Refusal::Internal) + 1, "a code for every refusal");

}  // namespace

void refuse(Response &res, Refusal why, const std::string &error, int status)
{
    const RefusalKind &kind = Refusals[size_t(why)];
    res.status = status ? status : kind.status;
    res.setContent(
        nlohmann::json {{"status", 1}, {"error", error}, {"code", kind.code}}.dump(), "application/json");
    res.note = error;
    res.delivered = nullptr;
    res.refusal = int(why);
}

std::vector<std::string> refusalCodes()
{
    std::vector<std::string> codes;
    for (const RefusalKind &kind : Refusals)
        codes.push_back(kind.code);
    return codes;
}

}  // namespace belfry
