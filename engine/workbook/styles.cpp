#include "engine/workbook/styles.h"

#include <algorithm>

namespace orv::engine::workbook {

std::uint8_t BuiltInDateFormat(std::uint64_t id) {
    if (id == 46) return kElapsed;  // [h]:mm:ss
    return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) || (id >= 50 && id <= 58)
               ? kCalendar
               : kNotDate;
}

namespace {

// [h], [mm], [ss]: elapsed time, a duration shown as a time. One letter, repeated.
bool IsElapsedSection(std::string_view inside) {
    if (inside.empty()) return false;
    char first = char(inside[0] | 0x20);
    return (first == 'h' || first == 'm' || first == 's') &&
           std::all_of(inside.begin(), inside.end(), [first](char x) { return char(x | 0x20) == first; });
}

}  // namespace

std::uint8_t CustomDateFormat(std::string_view code) {
    if (!IsDateFormatCode(code)) return kNotDate;
    // A bracketed section outside quotes that counts elapsed time ("[Magenta]" is a colour).
    bool quoted = false;
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (code[i] == '"') quoted = !quoted;
        if (quoted || code[i] != '[') continue;
        std::size_t close = code.find(']', i + 1);
        if (close == std::string_view::npos) break;
        if (IsElapsedSection(code.substr(i + 1, close - i - 1))) return kElapsed;
        i = close;
    }
    return kCalendar;
}

bool IsDateFormatCode(std::string_view code) {
    for (std::size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        switch (c) {
        case '"': {  // literal text
            std::size_t close = code.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            i = close;
            continue;
        }
        case '\\':  // an escaped character
        case '_':  // the width of the next character, as a space
        case '*':  // the next character repeated to fill the cell
            ++i;
            continue;
        case '[': {
            std::size_t close = code.find(']', i + 1);
            if (close == std::string_view::npos) return false;
            if (IsElapsedSection(code.substr(i + 1, close - i - 1))) return true;
            i = close;  // a colour, a condition, a locale
            continue;
        }
        default: break;
        }
        char lower = char(c | 0x20);
        if (lower == 'd' || lower == 'm' || lower == 'y' || lower == 'h' || lower == 's') return true;
    }
    return false;
}

}  // namespace orv::engine::workbook
