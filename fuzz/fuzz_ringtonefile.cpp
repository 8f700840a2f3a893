#include <cstdint>
#include <string>

#include "fuzz/check.h"
#include "media/mp4.h"
#include "rules/codec.h"

// A phone's ringtone upload as the service sees it: the base64 text, and the
// MPEG-4 check of whatever bytes it holds. Both take the input as it comes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    belfry::checkRingtoneFile(input);

    std::string decoded;
    if (belfry::decodeBase64(input, decoded))
        belfry::checkRingtoneFile(decoded);
    FUZZ_CHECK(belfry::decodeBase64(belfry::encodeBase64(input), decoded) && decoded == input, input);
    return 0;
}
