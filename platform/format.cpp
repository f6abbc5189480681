// The UTF-16 printf-style formatter: one pass over the format string, writing into either a
// growing string or a fixed buffer that counts what did not fit.
#include "platform/format.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/utf.h"

namespace orv::platform {

namespace {

// Where formatted text goes. In buffer mode text past the room is dropped but still
// counted, which is what the C99 return value needs.
class Output {
public:
    explicit Output(std::u16string& text) : m_text(&text) {}
    Output(char16_t* buffer, std::size_t capacity)
        : m_buffer(buffer), m_room(capacity ? capacity - 1 : 0), m_capacity(capacity) {}

    void Append(const char16_t* units, std::size_t count) {
        if (m_text) {
            m_text->append(units, count);
        } else if (m_total < m_room) {
            const std::size_t fits = count < m_room - m_total ? count : m_room - m_total;
            std::memcpy(m_buffer + m_total, units, fits * sizeof(char16_t));
        }
        m_total += count;
    }

    void Fill(char16_t unit, std::size_t count) {
        if (m_text) {
            m_text->append(count, unit);
        } else if (m_total < m_room) {
            const std::size_t fits = count < m_room - m_total ? count : m_room - m_total;
            for (std::size_t i = 0; i < fits; ++i) m_buffer[m_total + i] = unit;
        }
        m_total += count;
    }

    void Put(char16_t unit) { Fill(unit, 1); }

    // ASCII text from the C library (numbers), widened unit by unit.
    void AppendAscii(const char* text, std::size_t count) {
        if (m_text) {
            const std::size_t start = m_text->size();
            m_text->resize(start + count);
            char16_t* out = m_text->data() + start;
            for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(text[i]);
        } else if (m_total < m_room) {
            const std::size_t fits = count < m_room - m_total ? count : m_room - m_total;
            for (std::size_t i = 0; i < fits; ++i) m_buffer[m_total + i] = static_cast<unsigned char>(text[i]);
        }
        m_total += count;
    }

    void Terminate() {
        if (m_buffer && m_capacity) m_buffer[m_total < m_room ? m_total : m_room] = 0;
    }

    std::size_t Total() const { return m_total; }

private:
    std::u16string* m_text = nullptr;
    char16_t* m_buffer = nullptr;
    std::size_t m_room = 0;
    std::size_t m_capacity = 0;
    std::size_t m_total = 0;
};

// The caller's va_list, copied so that reading arguments never disturbs the caller's, and
// ended on every way out, an exception from a growing string included.
struct Arguments {
    explicit Arguments(va_list source) { va_copy(list, source); }
    ~Arguments() { va_end(list); }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    va_list list;
};

enum class IntSize { Default, Char, Short, Bits32, Bits64 };
// What the wide conversions (%s %ls %ws %c %lc %wc) read: UTF-16 text and units for a
// UTF-16 format, wchar_t text and characters (UTF-32) for a wchar_t format.
enum class WideArguments { Utf16, Utf32 };
enum class CharWidth { Default, Narrow, Wide };

// One conversion directive of a format: the flags, width, precision and size prefix
// between the `%` and the conversion character.
struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;  // none
    IntSize size = IntSize::Default;
    CharWidth charWidth = CharWidth::Default;
};

const char16_t kNull[] = u"(null)";

// Reads a run of decimal digits, saturating instead of overflowing.
int ReadNumber(const char16_t*& p) {
    int value = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        const int digit = *p - u'0';
        value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    }
    return value;
}

// The size prefix (h, hh, l, ll, w, L, I, I32, I64, z, t, j); leaves `p` after it.
void ReadSizePrefix(const char16_t*& p, Directive& directive) {
    switch (*p) {
    case u'h':
        ++p;
        directive.charWidth = CharWidth::Narrow;
        if (*p == u'h') {
            ++p;
            directive.size = IntSize::Char;
        } else {
            directive.size = IntSize::Short;
        }
        break;
    case u'l':
        ++p;
        directive.charWidth = CharWidth::Wide;
        if (*p == u'l') {
            ++p;
            directive.size = IntSize::Bits64;
        } else {
            directive.size = IntSize::Bits32;
        }
        break;
    case u'w':
        ++p;
        directive.charWidth = CharWidth::Wide;
        break;
    case u'L':  // long double is double on Windows; integers ignore it
        ++p;
        break;
    case u'I':
        ++p;
        if (p[0] == u'6' && p[1] == u'4') {
            p += 2;
            directive.size = IntSize::Bits64;
        } else if (p[0] == u'3' && p[1] == u'2') {
            p += 2;
            directive.size = IntSize::Bits32;
        } else {
            directive.size = IntSize::Bits64;  // pointer-sized
        }
        break;
    case u'z':
    case u't':
    case u'j':
        ++p;
        directive.size = IntSize::Bits64;
        break;
    default: break;
    }
}

// Flags, width, precision and size prefix; leaves `p` on the conversion character.
Directive ReadDirective(const char16_t*& p, Arguments& args) {
    Directive directive;
    for (;; ++p) {
        if (*p == u'-') directive.left = true;
        else if (*p == u'+') directive.plus = true;
        else if (*p == u' ') directive.space = true;
        else if (*p == u'#') directive.alternate = true;
        else if (*p == u'0') directive.zero = true;
        else break;
    }

    if (*p == u'*') {
        ++p;
        const int width = va_arg(args.list, int);
        if (width < 0) {
            directive.left = true;
            directive.width = width == INT_MIN ? INT_MAX : -width;
        } else {
            directive.width = width;
        }
    } else {
        directive.width = ReadNumber(p);
    }

    if (*p == u'.') {
        ++p;
        if (*p == u'*') {
            ++p;
            const int precision = va_arg(args.list, int);
            directive.precision = precision < 0 ? -1 : precision;
        } else {
            directive.precision = ReadNumber(p);
        }
    }

    ReadSizePrefix(p, directive);
    return directive;
}

// Pads a body of `length` units to the width: before it unless left-justified, with zeros
// when the 0 flag asks for them (the Windows behaviour for strings and characters too).
std::size_t PaddingFor(const Directive& directive, std::size_t length) {
    const auto width = static_cast<std::size_t>(directive.width);
    return width > length ? width - length : 0;
}

void PadBefore(Output& out, const Directive& directive, std::size_t length) {
    if (!directive.left) out.Fill(directive.zero ? u'0' : u' ', PaddingFor(directive, length));
}

void PadAfter(Output& out, const Directive& directive, std::size_t length) {
    if (directive.left) out.Fill(u' ', PaddingFor(directive, length));
}

// ---- Integers --------------------------------------------------------------------------

struct Integer {
    std::uint64_t magnitude;
    bool negative;
};

Integer ReadSigned(const Directive& directive, Arguments& args) {
    std::int64_t value;
    switch (directive.size) {
    case IntSize::Char: value = static_cast<signed char>(va_arg(args.list, int)); break;
    case IntSize::Short: value = static_cast<short>(va_arg(args.list, int)); break;
    case IntSize::Bits64: value = va_arg(args.list, long long); break;
    default: value = va_arg(args.list, int); break;
    }
    // Negating through the unsigned type keeps INT64_MIN defined.
    if (value < 0) return {0 - static_cast<std::uint64_t>(value), true};
    return {static_cast<std::uint64_t>(value), false};
}

std::uint64_t ReadUnsigned(const Directive& directive, Arguments& args) {
    switch (directive.size) {
    case IntSize::Char: return static_cast<unsigned char>(va_arg(args.list, unsigned));
    case IntSize::Short: return static_cast<unsigned short>(va_arg(args.list, unsigned));
    case IntSize::Bits64: return va_arg(args.list, unsigned long long);
    default: return va_arg(args.list, unsigned);
    }
}

// Sign or base prefix, zeros for the precision (or the 0 flag), digits, then padding. The
// digits come from a fixed array and the zeros are filled, so a huge precision costs no
// memory beyond the output.
void WriteInteger(Output& out, const Directive& directive, Integer value, unsigned base, bool upper, bool isSigned) {
    char16_t digits[24];  // 64 bits in octal is 22 digits
    std::size_t count = 0;
    if (!(value.magnitude == 0 && directive.precision == 0)) {
        const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        std::uint64_t rest = value.magnitude;
        do {
            digits[sizeof digits / sizeof digits[0] - ++count] = static_cast<char16_t>(alphabet[rest % base]);
            rest /= base;
        } while (rest);
    }
    const char16_t* first = digits + (sizeof digits / sizeof digits[0] - count);

    char16_t prefix[2];
    std::size_t prefixLength = 0;
    if (isSigned) {
        if (value.negative) prefix[prefixLength++] = u'-';
        else if (directive.plus) prefix[prefixLength++] = u'+';
        else if (directive.space) prefix[prefixLength++] = u' ';
    }
    if (directive.alternate && base == 16 && value.magnitude != 0) {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = upper ? u'X' : u'x';
    }

    std::size_t zeros = directive.precision > 0 && static_cast<std::size_t>(directive.precision) > count
                            ? static_cast<std::size_t>(directive.precision) - count
                            : 0;
    // '#' with octal makes the first digit a zero, adding one only where needed.
    if (directive.alternate && base == 8 && zeros == 0 && (count == 0 || first[0] != u'0')) zeros = 1;
    // The 0 flag fills the width with zeros after the sign, unless a precision was given.
    if (directive.zero && !directive.left && directive.precision < 0)
        zeros += PaddingFor(directive, prefixLength + zeros + count);

    const std::size_t length = prefixLength + zeros + count;
    if (!directive.left) out.Fill(u' ', PaddingFor(directive, length));
    out.Append(prefix, prefixLength);
    out.Fill(u'0', zeros);
    out.Append(first, count);
    PadAfter(out, directive, length);
}

// ---- Strings and characters ------------------------------------------------------------

// A body of `count` units, padded to the width.
void WriteUnits(Output& out, const Directive& directive, const char16_t* units, std::size_t count) {
    PadBefore(out, directive, count);
    out.Append(units, count);
    PadAfter(out, directive, count);
}

void WriteWide(Output& out, const Directive& directive, const char16_t* text) {
    if (!text) text = kNull;
    std::size_t length = 0;
    if (directive.precision >= 0) {
        // Never read past the precision: the text need not be terminated within it.
        const auto limit = static_cast<std::size_t>(directive.precision);
        while (length < limit && text[length]) ++length;
    } else {
        length = StrLen16(text);
    }
    WriteUnits(out, directive, text, length);
}

// wchar_t text, converted as it is read. The precision and the width count UTF-16 units, as
// for every other string, and a character beyond U+FFFF that would be cut in half by the
// precision is left out whole.
void WriteUtf32(Output& out, const Directive& directive, const wchar_t* text) {
    if (!text) {
        WriteWide(out, directive, kNull);
        return;
    }
    const std::size_t limit = directive.precision >= 0 ? static_cast<std::size_t>(directive.precision) : SIZE_MAX;
    std::u16string units;
    char16_t encoded[2];
    for (; *text; ++text) {
        const std::size_t count = EncodeCodePointUtf16(static_cast<char32_t>(*text), encoded);
        if (units.size() + count > limit) break;
        units.append(encoded, count);
    }
    WriteUnits(out, directive, units.data(), units.size());
}

// Converts `bytes` of UTF-8 through a stack buffer, cutting only before a byte that starts
// a sequence so that the pieces decode exactly as the whole would.
template <class Sink>
void DecodeInPieces(const char* text, std::size_t bytes, Sink&& sink) {
    constexpr std::size_t kPiece = 256;
    char16_t units[kPiece];
    while (bytes) {
        std::size_t cut = bytes < kPiece ? bytes : kPiece;
        if (cut < bytes) {
            std::size_t back = cut;
            while (back > 0 && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80) --back;
            if (back > 0) cut = back;
        }
        sink(units, Utf8ToUtf16(text, cut, units));
        text += cut;
        bytes -= cut;
    }
}

// How many bytes at `p` (a non-NUL byte) its sequence may span: the length that its lead
// byte announces, cut at the first byte that is no continuation byte. The terminator is no
// continuation byte, so nothing past it is read.
std::size_t SequenceWindow(const char* p) {
    const auto lead = static_cast<unsigned char>(p[0]);
    const std::size_t announced = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
    std::size_t window = 1;
    while (window < announced && (static_cast<unsigned char>(p[window]) & 0xC0) == 0x80) ++window;
    return window;
}

void WriteNarrow(Output& out, const Directive& directive, const char* text) {
    if (!text) {
        WriteWide(out, directive, kNull);
        return;
    }
    std::size_t bytes = 0;
    std::size_t length = 0;
    if (directive.precision >= 0) {
        // The precision counts units written; step one sequence at a time so that no byte
        // past the last one needed is read.
        const auto limit = static_cast<std::size_t>(directive.precision);
        char16_t scratch[2];
        while (length < limit && text[bytes]) {
            std::size_t units = 0;
            const std::size_t step = DecodeUtf8Sequence(text + bytes, SequenceWindow(text + bytes), scratch, units);
            if (length + units > limit) break;  // a pair that would be cut in half
            bytes += step;
            length += units;
        }
    } else {
        bytes = std::strlen(text);
        if (!directive.left && directive.width > 0) {
            DecodeInPieces(text, bytes, [&](const char16_t*, std::size_t n) { length += n; });
        }
    }
    PadBefore(out, directive, length);
    std::size_t written = 0;
    DecodeInPieces(text, bytes, [&](const char16_t* units, std::size_t n) {
        out.Append(units, n);
        written += n;
    });
    PadAfter(out, directive, written);
}

void WriteChar(Output& out, const Directive& directive, char16_t unit) { WriteUnits(out, directive, &unit, 1); }

// ---- Floating point --------------------------------------------------------------------

// The C library writes the digits from a narrow conversion built from the same flags;
// width and precision travel as `*` arguments, so the narrow directive is never longer than 10 chars.
void WriteFloat(Output& out, const Directive& directive, char16_t conversion, double value) {
    // The plain "%f" of every numeric field read: std::to_chars gives the same exact digits
    // as printf, several times faster.
    if (conversion == u'f' && !directive.left && !directive.plus && !directive.space && !directive.alternate &&
        !directive.zero && directive.width <= 0 && directive.precision <= 17 && std::isfinite(value)) {
        char digits[512];
        auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed,
                                       directive.precision >= 0 ? directive.precision : 6);
        if (ec == std::errc()) {
            out.AppendAscii(digits, static_cast<std::size_t>(end - digits));
            return;
        }
    }
    char format[16];
    std::size_t k = 0;
    format[k++] = '%';
    if (directive.left) format[k++] = '-';
    if (directive.plus) format[k++] = '+';
    if (directive.space) format[k++] = ' ';
    if (directive.alternate) format[k++] = '#';
    if (directive.zero) format[k++] = '0';
    format[k++] = '*';
    if (directive.precision >= 0) {
        format[k++] = '.';
        format[k++] = '*';
    }
    format[k++] = static_cast<char>(conversion);
    format[k] = '\0';

    auto print = [&](char* buffer, std::size_t size) {
        return directive.precision >= 0
                   ? std::snprintf(buffer, size, format, directive.width, directive.precision, value)
                   : std::snprintf(buffer, size, format, directive.width, value);
    };
    char small[512];
    const int length = print(small, sizeof small);
    if (length < 0) return;
    if (static_cast<std::size_t>(length) < sizeof small) {
        out.AppendAscii(small, static_cast<std::size_t>(length));
        return;
    }
    // Only a huge width or precision gets here.
    std::string large(static_cast<std::size_t>(length) + 1, '\0');
    print(large.data(), large.size());
    out.AppendAscii(large.data(), static_cast<std::size_t>(length));
}

// ---- The driver ------------------------------------------------------------------------

void Run(Output& out, const char16_t* format, va_list args, WideArguments wideArguments) {
    if (!format) return;
    Arguments arguments(args);

    const char16_t* p = format;
    while (*p) {
        const char16_t* run = p;
        while (*p && *p != u'%') ++p;
        if (p != run) out.Append(run, static_cast<std::size_t>(p - run));
        if (!*p) break;

        ++p;  // the '%'
        if (*p == u'%') {
            out.Put(u'%');
            ++p;
            continue;
        }
        Directive directive = ReadDirective(p, arguments);
        const char16_t conversion = *p;
        if (!conversion) break;  // the text ended inside the conversion
        ++p;

        switch (conversion) {
        case u'd':
        case u'i': WriteInteger(out, directive, ReadSigned(directive, arguments), 10, false, true); break;
        case u'u': WriteInteger(out, directive, {ReadUnsigned(directive, arguments), false}, 10, false, false); break;
        case u'x':
        case u'X':
            WriteInteger(out, directive, {ReadUnsigned(directive, arguments), false}, 16, conversion == u'X', false);
            break;
        case u'o': WriteInteger(out, directive, {ReadUnsigned(directive, arguments), false}, 8, false, false); break;
        case u'p': {
            const void* pointer = va_arg(arguments.list, void*);
            if (directive.precision < 16) directive.precision = 16;
            WriteInteger(out, directive, {reinterpret_cast<std::uintptr_t>(pointer), false}, 16, true, false);
            break;
        }
        case u's':
        case u'S': {
            const bool wide =
                directive.charWidth == CharWidth::Default ? conversion == u's' : directive.charWidth == CharWidth::Wide;
            if (!wide) WriteNarrow(out, directive, va_arg(arguments.list, const char*));
            else if (wideArguments == WideArguments::Utf32)
                WriteUtf32(out, directive, va_arg(arguments.list, const wchar_t*));
            else WriteWide(out, directive, va_arg(arguments.list, const char16_t*));
            break;
        }
        case u'c':
        case u'C': {
            const bool wide =
                directive.charWidth == CharWidth::Default ? conversion == u'c' : directive.charWidth == CharWidth::Wide;
            const int value = va_arg(arguments.list, int);
            if (wide && wideArguments == WideArguments::Utf32) {
                char16_t encoded[2];
                WriteUnits(out, directive, encoded, EncodeCodePointUtf16(static_cast<char32_t>(value), encoded));
            } else if (wide) {
                WriteChar(out, directive, static_cast<char16_t>(value));
            } else {
                const auto byte = static_cast<unsigned char>(value);
                WriteChar(out, directive, byte < 0x80 ? char16_t(byte) : char16_t(0xFFFD));
            }
            break;
        }
        case u'f':
        case u'F':
        case u'e':
        case u'E':
        case u'g':
        case u'G':
        case u'a':
        case u'A': WriteFloat(out, directive, conversion, va_arg(arguments.list, double)); break;
        case u'n': break;  // never writes through an argument; see the header
        default: out.Put(conversion); break;
        }
    }
}

int FormatInto(char16_t* buffer, std::size_t capacity, const char16_t* format, va_list args,
               WideArguments wideArguments) {
    if (!buffer) capacity = 0;
    Output output(buffer, capacity);
    Run(output, format, args, wideArguments);
    output.Terminate();
    return output.Total() > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(output.Total());
}

}  // namespace

void AppendFormatV(std::u16string& out, const char16_t* format, va_list args) {
    Output output(out);
    Run(output, format, args, WideArguments::Utf16);
}

void AppendFormatV(std::u16string& out, const wchar_t* format, va_list args) {
    if (!format) return;
    const std::u16string converted = Utf32ToUtf16(format);
    Output output(out);
    Run(output, converted.c_str(), args, WideArguments::Utf32);
}

std::u16string FormatV(const char16_t* format, va_list args) {
    std::u16string out;
    // Most texts are the format plus a few short values: one allocation usually suffices.
    out.reserve(StrLen16(format) + 32);
    AppendFormatV(out, format, args);
    return out;
}

std::u16string Format(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string out;
    try {
        out = FormatV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return out;
}

int FormatToBufferV(char16_t* buffer, std::size_t capacity, const char16_t* format, va_list args) {
    return FormatInto(buffer, capacity, format, args, WideArguments::Utf16);
}

int FormatToBufferV(char16_t* buffer, std::size_t capacity, const wchar_t* format, va_list args) {
    const std::u16string converted = format ? Utf32ToUtf16(format) : std::u16string();
    return FormatInto(buffer, capacity, converted.c_str(), args, WideArguments::Utf32);
}

int FormatToBuffer(char16_t* buffer, std::size_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = FormatToBufferV(buffer, capacity, format, args);
    va_end(args);
    return length;
}

}  // namespace orv::platform
