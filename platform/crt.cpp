// The C run-time string functions of ported code, over UTF-16.
#include "platform/crt.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

namespace {

std::u16string_view View(const char16_t* text) noexcept {
    return text ? std::u16string_view(text) : std::u16string_view();
}

// The sign of the first difference of two units, as the comparisons return it.
int Order(char16_t a, char16_t b) noexcept { return a < b ? -1 : (a > b ? 1 : 0); }

// Empties `dest` when it has room for the terminator; the answer of every failed copy.
errno_t Fail(char16_t* dest, std::size_t size, errno_t code) noexcept {
    if (dest && size) dest[0] = 0;
    return code;
}

// The value of a digit in bases up to 36, or 36 for anything else.
int DigitValue(char16_t c) noexcept {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'z') return c - u'a' + 10;
    if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
    return 36;
}

}  // namespace

std::size_t wcsnlen(const char16_t* text, std::size_t max) noexcept {
    if (!text) return 0;
    std::size_t length = 0;
    while (length < max && text[length]) ++length;
    return length;
}

int wcscmp(orv::platform::Utf16Text a, orv::platform::Utf16Text b) noexcept {
    return wcsncmp(a.Get(), b.Get(), SIZE_MAX);
}

int wcsncmp(orv::platform::Utf16Text a, orv::platform::Utf16Text b, std::size_t count) noexcept {
    const char16_t* x = a.Get() ? a.Get() : u"";
    const char16_t* y = b.Get() ? b.Get() : u"";
    for (std::size_t i = 0; i < count; ++i) {
        if (x[i] != y[i]) return Order(x[i], y[i]);
        if (!x[i]) break;
    }
    return 0;
}

int _wcsicmp(const char16_t* a, const char16_t* b) noexcept { return orv::platform::CompareNoCase16(a, b); }

int _wcsnicmp(orv::platform::Utf16Text a, orv::platform::Utf16Text b, std::size_t count) noexcept {
    const char16_t* x = a.Get() ? a.Get() : u"";
    const char16_t* y = b.Get() ? b.Get() : u"";
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t p = orv::platform::ToUpper16(x[i]);
        const char16_t q = orv::platform::ToUpper16(y[i]);
        if (p != q) return Order(p, q);
        if (!p) break;
    }
    return 0;
}

const char16_t* wcschr(const char16_t* text, char16_t unit) noexcept {
    if (!text) return nullptr;
    // As in the C library, the terminator itself can be found.
    for (;; ++text) {
        if (*text == unit) return text;
        if (!*text) return nullptr;
    }
}

const char16_t* wcsrchr(const char16_t* text, char16_t unit) noexcept {
    if (!text) return nullptr;
    const char16_t* found = nullptr;
    for (;; ++text) {
        if (*text == unit) found = text;
        if (!*text) return found;
    }
}

const char16_t* wcsstr(const char16_t* text, orv::platform::Utf16Text sub) noexcept {
    if (!text) return nullptr;
    const std::u16string_view haystack(text);
    const std::size_t at = haystack.find(View(sub.Get()));
    return at == std::u16string_view::npos ? nullptr : text + at;
}

errno_t wcscpy_s(char16_t* dest, std::size_t size, orv::platform::Utf16Text src) noexcept {
    if (!dest || !size) return EINVAL;
    if (!src.Get()) return Fail(dest, size, EINVAL);
    const std::u16string_view text(src.Get());
    if (text.size() >= size) return Fail(dest, size, ERANGE);
    std::copy(text.begin(), text.end(), dest);
    dest[text.size()] = 0;
    return 0;
}

errno_t wcscat_s(char16_t* dest, std::size_t size, orv::platform::Utf16Text src) noexcept {
    if (!dest || !size) return EINVAL;
    if (!src.Get()) return Fail(dest, size, EINVAL);
    const std::size_t used = wcsnlen(dest, size);
    if (used == size) return Fail(dest, size, EINVAL);  // the destination was not terminated
    const std::u16string_view text(src.Get());
    if (used + text.size() >= size) return Fail(dest, size, ERANGE);
    std::copy(text.begin(), text.end(), dest + used);
    dest[used + text.size()] = 0;
    return 0;
}

errno_t wcsncpy_s(char16_t* dest, std::size_t size, orv::platform::Utf16Text src, std::size_t count) noexcept {
    if (!dest || !size) return EINVAL;
    if (!src.Get()) return count == 0 ? Fail(dest, size, 0) : Fail(dest, size, EINVAL);
    const std::size_t length = wcsnlen(src.Get(), count);
    if (length < size) {
        std::copy(src.Get(), src.Get() + length, dest);
        dest[length] = 0;
        return 0;
    }
    if (count != _TRUNCATE) return Fail(dest, size, ERANGE);
    std::copy(src.Get(), src.Get() + (size - 1), dest);
    dest[size - 1] = 0;
    return STRUNCATE;
}

int vfwprintf(std::FILE* stream, const char16_t* format, va_list args) noexcept {
    try {
        std::u16string text;
        orv::platform::AppendFormatV(text, format, args);
        const std::string utf8 = orv::platform::Utf16ToUtf8(text);
        if (std::fwrite(utf8.data(), 1, utf8.size(), stream) != utf8.size()) return -1;
        return static_cast<int>(text.size());
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

int fwprintf(std::FILE* stream, const char16_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int length = vfwprintf(stream, format, args);
    va_end(args);
    return length;
}

int wprintf(const char16_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int length = vfwprintf(stdout, format, args);
    va_end(args);
    return length;
}

long wcstol(const char16_t* text, char16_t** end, int base) noexcept {
    const char16_t* p = text;
    auto finish = [&](const char16_t* stop, long value) {
        if (end) *end = const_cast<char16_t*>(stop);
        return value;
    };
    if (!p || base < 0 || base == 1 || base > 36) return finish(text, 0);
    while (orv::platform::IsSpace16(*p)) ++p;
    bool negative = false;
    if (*p == u'+' || *p == u'-') {
        negative = *p == u'-';
        ++p;
    }
    // A "0x" counts as a prefix only when a hexadecimal digit follows; otherwise the "0" is
    // the number.
    const bool hexPrefix = p[0] == u'0' && (p[1] == u'x' || p[1] == u'X') && DigitValue(p[2]) < 16;
    if ((base == 0 || base == 16) && hexPrefix) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == u'0' ? 8 : 10;
    }

    // The magnitude is kept one past the 32-bit range at most, so it cannot overflow here.
    constexpr std::int64_t kLimit = std::int64_t{INT32_MAX} + 1;
    const char16_t* digits = p;
    std::int64_t magnitude = 0;
    for (int digit; (digit = DigitValue(*p)) < base; ++p) {
        if (magnitude <= kLimit) magnitude = magnitude * base + digit;
    }
    if (p == digits) return finish(text, 0);
    if (negative ? magnitude > kLimit : magnitude > INT32_MAX) {
        errno = ERANGE;
        return finish(p, negative ? INT32_MIN : INT32_MAX);
    }
    return finish(p, static_cast<long>(negative ? -magnitude : magnitude));
}

long _wtol(const char16_t* text) noexcept { return wcstol(text, nullptr, 10); }
