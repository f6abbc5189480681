// UTF-8 <-> UTF-16 conversion and the character tests of ported Windows code.
#include "platform/utf.h"

#include "platform/strings.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orv::platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

constexpr bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Eight bytes at `p` hold only ASCII. The word load keeps the common all-ASCII text at a
// fraction of a branch per byte.
inline bool AsciiBlock8(const unsigned char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return (word & 0x8080808080808080ull) == 0;
}

// Four UTF-16 units at `p` are all below U+0080.
inline bool AsciiBlock4(const char16_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return (word & 0xFF80FF80FF80FF80ull) == 0;
}

// Decodes the sequence that starts with the non-ASCII byte at `p`, writes one or two units
// at `out` and returns the number of bytes consumed. An ill-formed sequence consumes its
// maximal subpart (the lead byte and the continuation bytes that were valid so far) and
// writes one U+FFFD, so a unit is never written for less than one byte.
std::size_t DecodeSequence(const unsigned char* p, const unsigned char* end, char16_t*& out) {
    const unsigned char lead = p[0];
    const std::size_t available = static_cast<std::size_t>(end - p);

    if (lead >= 0xC2 && lead <= 0xDF) {
        if (available >= 2 && IsContinuation(p[1])) {
            *out++ = static_cast<char16_t>(((lead & 0x1F) << 6) | (p[1] & 0x3F));
            return 2;
        }
        *out++ = kReplacement;
        return 1;
    }

    if (lead >= 0xE0 && lead <= 0xEF) {
        // E0 must not encode below U+0800 (overlong), ED must not encode a surrogate.
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        if (available < 2 || p[1] < low || p[1] > high) {
            *out++ = kReplacement;
            return 1;
        }
        if (available < 3 || !IsContinuation(p[2])) {
            *out++ = kReplacement;
            return 2;
        }
        *out++ = static_cast<char16_t>(((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
        return 3;
    }

    if (lead >= 0xF0 && lead <= 0xF4) {
        // F0 must not encode below U+10000, F4 not above U+10FFFF.
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        if (available < 2 || p[1] < low || p[1] > high) {
            *out++ = kReplacement;
            return 1;
        }
        if (available < 3 || !IsContinuation(p[2])) {
            *out++ = kReplacement;
            return 2;
        }
        if (available < 4 || !IsContinuation(p[3])) {
            *out++ = kReplacement;
            return 3;
        }
        const char32_t cp = ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        out += EncodeCodePointUtf16(cp, out);
        return 4;
    }

    // A continuation byte without a lead, C0/C1 (always overlong) or F5-FF.
    *out++ = kReplacement;
    return 1;
}

// Encodes `len` units into `dst`, which has room for 3 bytes a unit (a surrogate pair takes
// 4 bytes for 2 units, everything else at most 3 for 1). Returns the bytes written.
std::size_t EncodeUtf8(const char16_t* src, std::size_t len, char* dst) {
    char* out = dst;
    std::size_t i = 0;
    while (i < len) {
        const char16_t c = src[i];
        if (c < 0x80) {
            if (len - i >= 4 && AsciiBlock4(src + i)) {
                out[0] = static_cast<char>(src[i]);
                out[1] = static_cast<char>(src[i + 1]);
                out[2] = static_cast<char>(src[i + 2]);
                out[3] = static_cast<char>(src[i + 3]);
                out += 4;
                i += 4;
                continue;
            }
            *out++ = static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
            ++i;
            continue;
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && i + 1 < len && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
                const char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(src[i + 1]) - 0xDC00);
                *out++ = static_cast<char>(0xF0 | (cp >> 18));
                *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
                i += 2;
                continue;
            }
            // An unpaired surrogate has no UTF-8 form.
            *out++ = static_cast<char>(0xEF);
            *out++ = static_cast<char>(0xBF);
            *out++ = static_cast<char>(0xBD);
            ++i;
            continue;
        }
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
        ++i;
    }
    return static_cast<std::size_t>(out - dst);
}

}  // namespace

// ---- Conversion ------------------------------------------------------------------------

std::size_t Utf8ToUtf16(const char* src, std::size_t len, char16_t* dst) {
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    const auto* const end = p + len;
    char16_t* out = dst;
    while (p < end) {
        if (*p >= 0x80) {
            p += DecodeSequence(p, end, out);
            continue;
        }
#if defined(__SSE2__)
        // Sixteen ASCII bytes widen to sixteen units with two interleaves against zero.
        while (end - p >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if (_mm_movemask_epi8(bytes) != 0) break;
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(bytes, zero));
            p += 16;
            out += 16;
        }
#endif
        while (end - p >= 8 && AsciiBlock8(p)) {
            for (int i = 0; i < 8; ++i) out[i] = p[i];
            out += 8;
            p += 8;
        }
        while (p < end && *p < 0x80) *out++ = *p++;
    }
    return static_cast<std::size_t>(out - dst);
}

std::size_t DecodeUtf8Sequence(const char* src, std::size_t len, char16_t* dst, std::size_t& units) {
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    if (*p < 0x80) {
        *dst = *p;
        units = 1;
        return 1;
    }
    char16_t* out = dst;
    const std::size_t consumed = DecodeSequence(p, p + len, out);
    units = static_cast<std::size_t>(out - dst);
    return consumed;
}

void AppendCodePointUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf8ToUtf16(std::u16string& out, std::string_view utf8) {
    const std::size_t start = out.size();
    out.resize(start + utf8.size());
    const std::size_t written = Utf8ToUtf16(utf8.data(), utf8.size(), out.data() + start);
    out.resize(start + written);
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    AppendUtf8ToUtf16(out, utf8);
    return out;
}

std::size_t EncodeCodePointUtf16(char32_t cp, char16_t* dst) noexcept {
    if (cp < 0x10000) {
        dst[0] = cp >= 0xD800 && cp <= 0xDFFF ? kReplacement : static_cast<char16_t>(cp);
        return 1;
    }
    if (cp > 0x10FFFF) {
        dst[0] = kReplacement;
        return 1;
    }
    const char32_t offset = cp - 0x10000;
    dst[0] = static_cast<char16_t>(0xD800 + (offset >> 10));
    dst[1] = static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
    return 2;
}

void AppendUtf32ToUtf16(std::u16string& out, std::wstring_view utf32) {
    // One pass sized for the worst case (every character a pair), then cut to what was written.
    const std::size_t start = out.size();
    out.resize(start + 2 * utf32.size());
    char16_t* write = out.data() + start;
    for (const wchar_t c : utf32) write += EncodeCodePointUtf16(static_cast<char32_t>(c), write);
    out.resize(static_cast<std::size_t>(write - out.data()));
}

std::u16string Utf32ToUtf16(std::wstring_view utf32) {
    std::u16string out;
    AppendUtf32ToUtf16(out, utf32);
    return out;
}

void AppendUtf16ToUtf8(std::string& out, std::u16string_view utf16) {
    const std::size_t start = out.size();
    out.resize(start + 3 * utf16.size());
    const std::size_t written = EncodeUtf8(utf16.data(), utf16.size(), out.data() + start);
    out.resize(start + written);
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    AppendUtf16ToUtf8(out, utf16);
    return out;
}

// ---- Characters ------------------------------------------------------------------------

char16_t ToUpper16(char16_t c) noexcept {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
        if (c == 0xFF) return 0x178;
        return c;
    }
    if (c < 0x180) {
        if (c == 0x17F) return u'S';
        if (c == 0x131) return c;
        // Pairs with the capital on the even unit, then pairs with it on the odd unit.
        if ((c >= 0x101 && c <= 0x137) || (c >= 0x14B && c <= 0x177)) return static_cast<char16_t>(c & ~1u);
        if ((c >= 0x13A && c <= 0x148) || (c >= 0x17A && c <= 0x17E)) return (c & 1) ? c : static_cast<char16_t>(c - 1);
        return c;
    }
    if (c >= 0x386 && c <= 0x3CE) {
        if (c >= 0x3B1 && c <= 0x3CB) return c == 0x3C2 ? char16_t(0x3A3) : static_cast<char16_t>(c - 0x20);
        if (c == 0x3AC) return 0x386;
        if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
        if (c == 0x3CC) return 0x38C;
        if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
        return c;
    }
    if (c >= 0x400 && c <= 0x4FF) {
        if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
        if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
        if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || c >= 0x4D0)
            return static_cast<char16_t>(c & ~1u);
        if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? c : static_cast<char16_t>(c - 1);
        if (c == 0x4CF) return 0x4C0;
        return c;
    }
    return c;
}

char16_t ToLower16(char16_t c) noexcept {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
        return c;
    }
    if (c < 0x180) {
        if (c == 0x178) return 0xFF;
        if (c == 0x130) return c;
        if ((c >= 0x100 && c <= 0x136) || (c >= 0x14A && c <= 0x176)) return static_cast<char16_t>(c | 1u);
        if ((c >= 0x139 && c <= 0x147) || (c >= 0x179 && c <= 0x17D)) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
        return c;
    }
    if (c >= 0x386 && c <= 0x3CE) {
        if (c >= 0x391 && c <= 0x3AB) return c == 0x3A2 ? c : static_cast<char16_t>(c + 0x20);
        if (c == 0x386) return 0x3AC;
        if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 0x25);
        if (c == 0x38C) return 0x3CC;
        if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 0x3F);
        return c;
    }
    if (c >= 0x400 && c <= 0x4FF) {
        if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
        if (c <= 0x40F) return static_cast<char16_t>(c + 0x50);
        if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || c >= 0x4D0)
            return static_cast<char16_t>(c | 1u);
        if (c >= 0x4C1 && c <= 0x4CE) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
        if (c == 0x4C0) return 0x4CF;
        return c;
    }
    return c;
}

int CompareNoCase16(const char16_t* a, const char16_t* b) noexcept {
    return CompareNoCase(std::u16string_view(a ? a : u""), std::u16string_view(b ? b : u""));
}

bool IsSpace16(char16_t c) noexcept {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    switch (c) {
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return c >= 0x2000 && c <= 0x200A;
    }
}

}  // namespace orv::platform
