#pragma once

// Texts to values and back, and secrets: numbers, base64, random ids and
// tokens, and their comparison.

#include "service_limits.h"

#include <cstdint>
#include <string>

namespace belfry {

// `text` as a whole number of 1 to `maxDigits` (at most 18) decimal digits
// and nothing else; -1 when it is not one.
int64_t wholeNumber(const std::string &text, size_t maxDigits = MaxNumberDigits);

// Standard base64 with padding; false on any other character or length.
bool decodeBase64(const std::string &text, std::string &bytes);
std::string encodeBase64(const std::string &bytes);

// `bytes` random bytes from the system's generator, as lowercase hex.
std::string randomHex(size_t bytes);
// A random ringtone id in 1 .. MaxRingtoneId.
int64_t randomId();
// Compares in time independent of where the strings differ.
bool sameSecret(const std::string &a, const std::string &b);

}  // namespace belfry
