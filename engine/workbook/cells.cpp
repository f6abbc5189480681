#include <cstdio>
#include <cstring>
#include <string_view>

#include "engine/workbook/workbook.h"

namespace orv::engine::workbook {

namespace {
constexpr std::uint32_t kMaxRows = 1048576, kMaxColumns = 16384;  // the largest sheet of the format
}

bool ParseCellReference(std::string_view text, std::uint32_t& row, std::uint32_t& column) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '$') ++i;
    std::uint64_t col = 0;
    std::size_t letters = 0;
    for (; i < text.size() && letters < 4; ++i, ++letters) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c < 'A' || c > 'Z') break;
        col = col * 26 + std::uint64_t(c - 'A' + 1);
    }
    if (letters == 0 || col > kMaxColumns) return false;
    if (i < text.size() && text[i] == '$') ++i;
    std::uint64_t r = 0;
    std::size_t digits = 0;
    for (; i < text.size() && digits < 8; ++i, ++digits) {
        if (text[i] < '0' || text[i] > '9') return false;
        r = r * 10 + std::uint64_t(text[i] - '0');
    }
    if (digits == 0 || i != text.size() || r == 0 || r > kMaxRows) return false;
    row = static_cast<std::uint32_t>(r);
    column = static_cast<std::uint32_t>(col);
    return true;
}

std::optional<Format> DetectFormat(const std::string& path) {
    char head[8] = {};
    FILE* f = std::fopen(path.c_str(), "rb");
    const std::size_t n = f ? std::fread(head, 1, sizeof head, f) : 0;
    if (f) std::fclose(f);
    if (n == sizeof head && std::memcmp(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0) return Format::Xls;
    if (n >= 4 && std::memcmp(head, "PK\x03\x04", 4) == 0) return Format::Xlsx;
    return std::nullopt;
}

double DaysFromSerial(double serial) { return serial >= 1 && serial < 60 ? serial + 1 : serial; }
double SerialFromDays(double days) { return days >= 2 && days < 61 ? days - 1 : days; }

std::string CellReference(std::uint32_t row, std::uint32_t column) {
    std::string letters;
    for (std::uint32_t c = column; c > 0; c = (c - 1) / 26) letters.insert(letters.begin(), char('A' + (c - 1) % 26));
    return letters + std::to_string(row);
}

}  // namespace orv::engine::workbook
