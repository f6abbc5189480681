// What the .xlsx reader, the .xlsx writer and the .xls reader must agree on about a
// workbook's cell formats: which number formats show a date or a time. A cell the writer
// gives a date format has to read back as a date, so there is one rule, here.
//
// Functions and a plain value type; any thread.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace orv::engine::workbook {

// What a number format shows: kNotDate, kCalendar (a date, a time of day), or kElapsed (a
// duration such as [h]:mm, whose whole days are not days of a calendar).
constexpr std::uint8_t kNotDate = 0, kCalendar = 1, kElapsed = 2;

// The built-in number formats by their number (14 "m/d/yyyy", 22 "m/d/yyyy h:mm", 46
// "[h]:mm:ss", ...), for formats the file does not spell out.
std::uint8_t BuiltInDateFormat(std::uint64_t id);
// A format the file spells out ("yyyy-mm-dd", "[h]:mm", "0.00").
std::uint8_t CustomDateFormat(std::string_view code);

// Whether a number format code shows a date or a time ("yyyy-mm-dd", "[h]:mm", "m/d/yy
// h:mm AM/PM"), as opposed to a number ("0.00", "#,##0 \"kg\"", "[Red]0%"). Elapsed time is
// one letter repeated in brackets ([h], [mm], [ss]); "[hm]" is not a section the format
// knows and shows nothing of a date.
bool IsDateFormatCode(std::string_view code);

// The number formats a styles part defines (<numFmts>), over the built-in ones: a format
// the file defines wins over the built-in one with its number.
class NumberFormats {
public:
    void Define(std::uint64_t id, std::string_view code) { m_custom.emplace_back(id, CustomDateFormat(code)); }
    bool Defines(std::uint64_t id) const {
        for (const auto& [customId, kind] : m_custom)
            if (customId == id) return true;
        return false;
    }
    std::uint8_t DateKind(std::uint64_t id) const {
        for (const auto& [customId, kind] : m_custom)
            if (customId == id) return kind;
        return BuiltInDateFormat(id);
    }

private:
    std::vector<std::pair<std::uint64_t, std::uint8_t>> m_custom;
};

}  // namespace orv::engine::workbook
