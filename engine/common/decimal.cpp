#include "engine/common/decimal.h"

#include <algorithm>

namespace orv::engine {
namespace {

constexpr u128 kU128Max = ~static_cast<u128>(0);

}  // namespace

int DigitCount(u128 v) {
    int n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

u128 Pow10(int n) {
    u128 r = 1;
    while (n-- > 0) r *= 10;
    return r;
}

std::string U128Text(u128 v) {
    char buf[40];
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
        v /= 10;
    } while (v);
    std::string s(buf, static_cast<std::size_t>(n));
    std::reverse(s.begin(), s.end());
    return s;
}

bool Rescale(Decimal& d, int scale) {
    if (scale > d.scale) {
        if (d.magnitude) {
            for (long long i = d.scale; i < scale; ++i) {
                if (d.magnitude > kU128Max / 10) return false;
                d.magnitude *= 10;
            }
        }
    } else if (scale < d.scale) {
        const long long drop = static_cast<long long>(d.scale) - scale;
        d.magnitude = drop > 38 ? 0 : d.magnitude / Pow10(static_cast<int>(drop));
    }
    d.scale = scale;
    if (!d.magnitude) d.negative = false;
    return true;
}

bool RoundToScale(Decimal& d, int scale) {
    bool up = false;
    if (scale < d.scale) {
        const long long drop = static_cast<long long>(d.scale) - scale;
        up = drop <= 38 && d.magnitude % Pow10(static_cast<int>(drop)) >= 5 * Pow10(static_cast<int>(drop) - 1);
    }
    const bool negative = d.negative;
    if (!Rescale(d, scale)) return false;
    if (up) {
        if (d.magnitude == kU128Max) return false;
        ++d.magnitude;
        d.negative = negative;
    }
    return true;
}

std::string DecimalText(const Decimal& d, std::size_t& point) {
    std::string digits = U128Text(d.magnitude);
    std::string out;
    if (d.negative && d.magnitude) out += '-';
    if (d.scale <= 0) {
        out += digits;
        if (d.magnitude) out.append(static_cast<std::size_t>(-static_cast<long long>(d.scale)), '0');
        point = out.size();
        return out;
    }
    const auto scale = static_cast<std::size_t>(d.scale);
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
    out.append(digits, 0, digits.size() - scale);
    point = out.size();
    out += '.';
    out.append(digits, digits.size() - scale, scale);
    return out;
}

bool ParseDecimal(std::string_view text, Decimal& out) {
    out = Decimal{};
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) out.negative = text[i++] == '-';
    bool any = false, point = false;
    int significant = 0;
    long long exponent = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            any = true;
            if (significant == 0 && c == '0') {
                if (point) --exponent;
                continue;
            }
            if (significant >= 38) {
                if (!point) ++exponent;  // a whole digit beyond 38: too large for any exact type
                continue;  // a fraction digit beyond 38: cut off
            }
            out.magnitude = out.magnitude * 10 + static_cast<unsigned>(c - '0');
            ++significant;
            if (point) --exponent;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        if (i == text.size()) return false;
        long long e = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            e = std::min(e * 10 + (text[i] - '0'), 100000LL);
        exponent += negative ? -e : e;
    }
    if (i != text.size()) return false;
    if (!out.magnitude) {
        out.negative = false;
        out.scale = static_cast<int>(std::clamp(-exponent, 0LL, 255LL));
        return true;
    }
    if (exponent > 0) {
        // A whole number: the scale stays 0 and the digits are multiplied out.
        out.scale = 0;
        for (long long k = 0; k < exponent; ++k) {
            if (out.magnitude > kU128Max / 10) return false;
            out.magnitude *= 10;
        }
        return true;
    }
    out.scale = static_cast<int>(std::min(-exponent, 100000LL));
    return true;
}

}  // namespace orv::engine
