// The printf-style formatter with the input as the format string. A format reads its
// arguments by the types its conversions name, so the input cannot be passed as it is: the
// harness reads each conversion the input writes (flags, width, precision, size prefix and
// conversion character, each as written) and lines it up with an argument of exactly the
// type it reads. The arguments come in a fixed order of types; before a conversion whose
// types do not come next, the harness inserts conversions that read the arguments in
// between. Conversions that take no argument (%%, %n, unknown characters) pass through
// without '*'. Widths and precisions written as digits are kept to three of them.
//
// The whole text is formatted twice, into a string and into a buffer of a size taken from
// the input, which must agree. A second part formats the input itself as a %s argument.
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/format.h"
#include "platform/text.h"
#include "platform/utf.h"

namespace {

// What an argument is read as.
enum Kind : char { kInt = 'i', kLong = 'l', kDouble = 'd', kWide = 'w', kNarrow = 'n', kPointer = 'p' };

// The order of the arguments: every kind comes after two ints, so that a conversion with a
// '*' width and a '*' precision always finds its three arguments in a row.
constexpr char kPattern[] = "iiiiiliidiiwiiniip";
constexpr int kPeriod = sizeof(kPattern) - 1;
constexpr int kArgs = kPeriod * 4;
Kind KindAt(int slot) { return static_cast<Kind>(kPattern[slot % kPeriod]); }

bool StartsWith(const std::u16string& text, size_t at, std::u16string_view prefix) {
    return text.compare(at, prefix.size(), prefix) == 0;
}

// Rewrites `input` into a format whose conversions read the arguments in kPattern's order;
// `starSlots` marks the arguments read by a '*'.
std::u16string Align(const std::u16string& input, bool (&starSlots)[kArgs]) {
    std::u16string out;
    int slot = 0;
    size_t i = 0;
    while (i < input.size()) {
        char16_t c = input[i++];
        if (c != u'%') {
            out += c;
            continue;
        }
        std::u16string flags, width, precision, size;
        int stars = 0;
        bool hasPrecision = false;
        while (i < input.size() && std::u16string_view(u"-+ #0").find(input[i]) != std::u16string_view::npos)
            flags += input[i++];
        auto number = [&](std::u16string& into) {
            if (i < input.size() && input[i] == u'*') {
                into = u"*";
                ++stars;
                ++i;
                return;
            }
            while (i < input.size() && input[i] >= u'0' && input[i] <= u'9') {
                if (into.size() < 3) into += input[i];
                ++i;
            }
        };
        number(width);
        if (i < input.size() && input[i] == u'.') {
            hasPrecision = true;
            ++i;
            number(precision);
        }
        for (std::u16string_view prefix :
             {u"I64", u"I32", u"hh", u"ll", u"h", u"l", u"w", u"I", u"z", u"t", u"j", u"L"})
            if (StartsWith(input, i, prefix)) {
                size = prefix;
                i += prefix.size();
                break;
            }
        if (i >= input.size()) {
            // The format ends inside the conversion: kept, without '*', as the last thing.
            out += u'%' + flags + (width == u"*" ? u"" : width) + (hasPrecision ? u"." : u"") +
                   (precision == u"*" ? u"" : precision) + size;
            break;
        }
        const char16_t conversion = input[i++];
        Kind kind = kInt;
        bool takesArgument = true;
        const bool wide64 =
            size == u"ll" || size == u"I64" || size == u"I" || size == u"z" || size == u"t" || size == u"j";
        switch (conversion) {
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X':
        case u'o':
            if (!(size.empty() || wide64 || size == u"h" || size == u"hh" || size == u"l" || size == u"I32"))
                size.clear();
            kind = wide64 ? kLong : kInt;
            break;
        case u'f':
        case u'F':
        case u'e':
        case u'E':
        case u'g':
        case u'G':
        case u'a':
        case u'A':
            if (size != u"L") size.clear();
            kind = kDouble;
            break;
        case u's':
            if (!(size.empty() || size == u"l" || size == u"w" || size == u"h")) size.clear();
            kind = size == u"h" ? kNarrow : kWide;
            break;
        case u'S':
            size.clear();
            kind = kNarrow;
            break;
        case u'c':
            if (!(size.empty() || size == u"l" || size == u"w" || size == u"h")) size.clear();
            break;
        case u'C': size.clear(); break;
        case u'p':
            size.clear();
            kind = kPointer;
            break;
        default:
            takesArgument = false;  // %%, %n and characters that are no conversion
            break;
        }
        if (!takesArgument) {
            // A character that could continue a conversion would make the kept text read
            // an argument after all ("%-**f" kept as "%-*" then "f"): it goes as text.
            if (std::u16string_view(u"*.0123456789-+ #hlwIztjL").find(conversion) != std::u16string_view::npos) {
                out += u"%%" + flags + (width == u"*" ? u"" : width) + (hasPrecision ? u"." : u"") +
                       (precision == u"*" ? u"" : precision) + size + conversion;
                continue;
            }
            out += u'%' + flags + (width == u"*" ? u"" : width) + (hasPrecision ? u"." : u"") +
                   (precision == u"*" ? u"" : precision) + size + conversion;
            continue;
        }
        // Skip to a slot where `stars` ints and then `kind` come in a row.
        auto fits = [&](int at) {
            for (int s = 0; s < stars; ++s)
                if (KindAt(at + s) != kInt) return false;
            return KindAt(at + stars) == kind;
        };
        while (slot + stars < kArgs && !fits(slot)) {
            switch (KindAt(slot++)) {
            case kInt: out += u"%d"; break;
            case kLong: out += u"%lld"; break;
            case kDouble: out += u"%.0e"; break;
            case kWide: out += u"%.0s"; break;
            case kNarrow: out += u"%.0hs"; break;
            case kPointer: out += u"%p"; break;
            }
        }
        if (slot + stars >= kArgs) break;  // out of arguments: the rest of the input is dropped
        for (int s = 0; s < stars; ++s) starSlots[slot + s] = true;
        slot += stars + 1;
        out += u'%' + flags + width + (hasPrecision ? u"." : u"") + precision + size + conversion;
    }
    return out;
}

// An argument value of each kind, chosen by `seed`. Ints read by a '*' stay small: a width
// in the millions would only measure the allocator.
struct Values {
    std::u16string wide;
    std::string narrow;
    uint64_t seed;

    uint64_t Next() {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 33;
    }
    int Int(bool star) {
        static constexpr int small[] = {0, 1, -1, 7, -7, 42, -300, 255, 0x41, 0xE9, 0xD800, 0xDC00, 0xFFFF};
        static constexpr int any[] = {INT_MIN, INT_MAX, -1, 0, 123456789, 0x80, 0x10000};
        const uint64_t pick = Next();
        if (star || pick % 2) return small[(pick >> 1) % std::size(small)];
        return any[(pick >> 1) % std::size(any)];
    }
    long long Long() {
        static constexpr long long values[] = {LLONG_MIN, LLONG_MAX, -1, 0, 1LL << 32, -(1LL << 40), 999999999999LL};
        return values[Next() % std::size(values)];
    }
    double Double() {
        static const double values[] = {0.0,
                                        -0.0,
                                        0.1,
                                        -123.456,
                                        1e15,
                                        1e308,
                                        5e-324,
                                        2.5e-310,
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        std::numeric_limits<double>::quiet_NaN(),
                                        1.0 / 3.0,
                                        1e22,
                                        -1e-5};
        const uint64_t pick = Next();
        if (pick % 8 == 0) {
            uint64_t bits = (Next() << 32) ^ Next() ^ (Next() << 48);
            double any;
            std::memcpy(&any, &bits, sizeof any);
            return any;
        }
        return values[pick % std::size(values)];
    }
    const char16_t* Wide() {
        switch (Next() % 4) {
        case 0: return nullptr;
        case 1: return u"\xD83D\xDE00 pair, lone \xD800 end";
        default: return wide.c_str();
        }
    }
    const char* Narrow() {
        switch (Next() % 4) {
        case 0: return nullptr;
        case 1: return "caf\xC3\xA9 \xF0\x9F\x98\x80 bad \x80\xFF";
        default: return narrow.c_str();
        }
    }
    const void* Pointer() { return Next() % 2 ? nullptr : this; }
};

// Formats into a string and into a buffer of `capacity` units, and checks they agree.
void FormatBoth(size_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string whole = orv::platform::FormatV(format, args);
    std::u16string appended = u"prefix";
    orv::platform::AppendFormatV(appended, format, args);
    auto buffer = std::make_unique<char16_t[]>(capacity ? capacity : 1);
    int length = orv::platform::FormatToBufferV(capacity ? buffer.get() : nullptr, capacity, format, args);
    va_end(args);

    if (appended.compare(0, 6, u"prefix") != 0 || appended.substr(6) != whole) __builtin_trap();
    if (whole.size() <= static_cast<size_t>(INT_MAX) && length != static_cast<int>(whole.size())) __builtin_trap();
    if (capacity) {
        const size_t kept = std::min(capacity - 1, whole.size());
        if (whole.compare(0, kept, buffer.get(), kept) != 0 || buffer[kept] != u'\0') __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string input = orv::platform::Utf8ToUtf16(bytes);

    uint64_t hash = 1469598103934665603ULL;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ULL;
    Values v{input, std::string(bytes), hash};

    bool starSlots[kArgs] = {};
    const std::u16string format = Align(std::u16string(input.c_str()), starSlots);
    const size_t capacity = v.Next() % 80;

    // One argument of the right kind for every slot of kPattern, four periods of it; taken
    // into typed arrays first, because a call evaluates its arguments in no fixed order.
    int ints[kArgs] = {};
    long long longs[kArgs] = {};
    double doubles[kArgs] = {};
    const char16_t* wides[kArgs] = {};
    const char* narrows[kArgs] = {};
    const void* pointers[kArgs] = {};
    for (int slot = 0; slot < kArgs; ++slot) {
        switch (KindAt(slot)) {
        case kInt: ints[slot] = v.Int(starSlots[slot]); break;
        case kLong: longs[slot] = v.Long(); break;
        case kDouble: doubles[slot] = v.Double(); break;
        case kWide: wides[slot] = v.Wide(); break;
        case kNarrow: narrows[slot] = v.Narrow(); break;
        case kPointer: pointers[slot] = v.Pointer(); break;
        }
    }
#define ORV_ARGS(b)                                                                                            \
    ints[b + 0], ints[b + 1], ints[b + 2], ints[b + 3], ints[b + 4], longs[b + 5], ints[b + 6], ints[b + 7],   \
        doubles[b + 8], ints[b + 9], ints[b + 10], wides[b + 11], ints[b + 12], ints[b + 13], narrows[b + 14], \
        ints[b + 15], ints[b + 16], pointers[b + 17]
    static_assert(kPeriod == 18 && kArgs == 72);
    FormatBoth(capacity, format.c_str(), ORV_ARGS(0), ORV_ARGS(18), ORV_ARGS(36), ORV_ARGS(54));
#undef ORV_ARGS

    // The input as an argument, never as the format.
    CString text;
    text.Format(u"[%s|%-12.5s|%12s|%hs|%S]", input.c_str(), input.c_str(), input.c_str(), v.narrow.c_str(),
                v.narrow.c_str());
    CString copy(input.c_str());
    text.AppendFormat(u"%s%c", copy.GetString(), copy.IsEmpty() ? u'-' : copy[0]);
    return 0;
}
