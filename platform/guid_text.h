// GUIDs as text, in the one form that every reader and writer of the library uses: 32 hex
// digits in groups of 8-4-4-4-12 joined by hyphens, the registry form without its braces.
// COM's CLSIDFromString and StringFromGUID2, the RPC UUID functions and the data
// conversions all read and write through here.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/strings.h"
#include "platform/wintypes.h"

namespace orv::platform {

inline constexpr std::size_t kGuidDigitsLength = 36;

// Reads the 36 units at `s` into `g`. It stops at the first unit out of place, so a
// terminator before the end fails without anything past it being read; `g` is written
// only on success.
template <class Char>
bool ReadGuidDigits(const Char* s, GUID& g) {
    std::uint8_t bytes[16];
    std::size_t at = 0;
    for (std::uint8_t& byte : bytes) {
        if (at == 8 || at == 13 || at == 18 || at == 23) {
            if (s[at] != '-') return false;
            ++at;
        }
        const int hi = HexDigit(s[at]);
        if (hi < 0) return false;
        const int lo = HexDigit(s[at + 1]);
        if (lo < 0) return false;
        byte = static_cast<std::uint8_t>(hi * 16 + lo);
        at += 2;
    }
    g.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
              static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    g.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    g.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int k = 0; k < 8; ++k) g.Data4[k] = bytes[8 + k];
    return true;
}

// Writes the 36 units of `g` to `out`, without a terminator.
template <class Char>
void WriteGuidDigits(const GUID& g, Char* out, bool upperCase) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::size_t at = 0;
    auto hex = [&](std::uint64_t value, int count) {
        for (int shift = (count - 1) * 4; shift >= 0; shift -= 4)
            out[at++] = static_cast<Char>(digits[(value >> shift) & 0xF]);
    };
    hex(g.Data1, 8);
    out[at++] = '-';
    hex(g.Data2, 4);
    out[at++] = '-';
    hex(g.Data3, 4);
    out[at++] = '-';
    hex(g.Data4[0], 2);
    hex(g.Data4[1], 2);
    out[at++] = '-';
    for (int k = 2; k < 8; ++k) hex(g.Data4[k], 2);
}

}  // namespace orv::platform
