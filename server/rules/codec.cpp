#include "rules/codec.h"

#include <algorithm>
#include <random>

namespace belfry {

bool decodeBase64(const std::string &text, std::string &bytes)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0)
        return false;
    bytes.clear();
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            // Padding only at the very end, and at most two characters of it.
            if (c == '=' && i + 4 == text.size() && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                ++padding;
                group <<= 6;
                continue;
            }
            const size_t v = alphabet.find(c);
            if (v == std::string::npos || c == '\0' || padding > 0)
                return false;
            group = (group << 6) | uint32_t(v);
        }
        bytes.push_back(char(group >> 16));
        if (padding < 2)
            bytes.push_back(char(group >> 8));
        if (padding < 1)
            bytes.push_back(char(group));
    }
    return true;
}

std::string encodeBase64(const std::string &bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (n > 1)
            group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (n > 2)
            group |= uint8_t(bytes[i + 2]);
        for (size_t k = 0; k < 4; ++k)
            out.push_back(k <= n ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
    return out;
}

std::string randomHex(size_t bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::random_device device;  // the kernel's generator on Linux
    std::string out;
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned v = device() & 0xFF;
        out.push_back(digits[v >> 4]);
        out.push_back(digits[v & 15]);
    }
    return out;
}

int64_t wholeNumber(const std::string &text, size_t maxDigits)
{
    if (text.empty() || text.size() > std::min<size_t>(maxDigits, 18)
        || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(text);
}

int64_t randomId()
{
    std::random_device device;
    int64_t id = 0;
    while (id == 0)
        id = int64_t(device() & uint32_t(MaxRingtoneId));
    return id;
}

bool sameSecret(const std::string &a, const std::string &b)
{
    // Tokens have one fixed length, so only their contents are secret.
    if (a.empty() || a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace belfry
