// Numbers written as text, read into digits and a power of ten without losing any digit:
// the first step of every conversion from text to an exact decimal or a floating-point
// value, so that "1e-3", " 12.50 " and "-Infinity" read the same whatever the target.
//
// Plain values and pure functions; any thread.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "platform/strings.h"

namespace orv::engine {

template <class Char>
constexpr bool IsAsciiDigit(Char c) {
    return c >= '0' && c <= '9';
}

// A number as text reads it: value = digits x 10^exponent.
struct NumberText {
    enum Special { None, NaN, Infinity };
    bool negative = false;
    std::string digits;  // no leading zeros; trailing ones kept, they carry the scale
    long long exponent = 0;
    Special special = None;
};

template <class Char>
bool ParseNumber(std::basic_string_view<Char> s, NumberText& n) {
    s = platform::Trim(s);
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) n.negative = s[i++] == '-';
    const auto rest = s.substr(i);
    if (platform::EqualsAsciiWord(rest, "nan")) {
        n.special = NumberText::NaN;
        return true;
    }
    if (platform::EqualsAsciiWord(rest, "infinity") || platform::EqualsAsciiWord(rest, "inf")) {
        n.special = NumberText::Infinity;
        return true;
    }
    bool any = false, point = false;
    long long fraction = 0;
    for (; i < s.size(); ++i) {
        const Char c = s[i];
        if (IsAsciiDigit(c)) {
            any = true;
            if (!(n.digits.empty() && c == '0')) n.digits += static_cast<char>(c);
            if (point) ++fraction;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any) return false;
    long long exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
        if (i == s.size() || !IsAsciiDigit(s[i])) return false;
        for (; i < s.size() && IsAsciiDigit(s[i]); ++i)
            exponent = std::min<long long>(exponent * 10 + (s[i] - '0'), 1'000'000'000);
        if (negative) exponent = -exponent;
    }
    if (i != s.size()) return false;
    n.exponent = exponent - fraction;
    return true;
}

}  // namespace orv::engine
