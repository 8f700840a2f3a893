#pragma once

// Where the rules' results become answers: every status and refusal a route
// gives for a store's result, a budget's verdict or a conversion is chosen here.

#include "core/budgets.h"
#include "core/uploads.h"
#include "http/http.h"
#include "media/convert.h"
#include "store/storage.h"

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace belfry {

void answer(Response &res, const nlohmann::json &body, int status = 200);
// True on Ok; otherwise refuses as the result says, a missing row in the
// route's own words when it has some.
bool stored(Result r, Response &res, const std::string &notFound = {});
// True when the address may go on; else refused: past its budget with when
// to come back, or as the store's failure to count says.
bool allowed(const Verdict &v, Response &res, const std::string &why);
bool allowed(Allowance got, const AddressBudget &limit, Response &res, const std::string &why);
// True when the upload may go on; a ringtone it made is answered 201 with
// its id, a refusal as its step says.
bool uploaded(const UploadOutcome &o, Response &res);

}  // namespace belfry
