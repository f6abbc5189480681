#include "value_text.h"

#include <charconv>

namespace orvsql {
namespace {

bool ForPrograms(OutputMode mode) { return mode == OutputMode::Csv || mode == OutputMode::Tsv || mode == OutputMode::Json; }

// A real number's text as FieldAsString gives it ("10.000000", "0.250000") without the
// zeros its fixed six decimals add: a person reads 10 and 0.25.
std::string TrimFractionZeros(std::string text) {
    if (text.find('.') == std::string::npos || text.find_first_of("eE") != std::string::npos) return text;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

template <class Real>
std::string ShortestText(Real value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

// The conversion library's culture-invariant text of a VARIANT: every digit of a currency
// amount or a decimal, ISO dates.
std::string InvariantText(OrvOleDbCommand& command, VARIANT& value) {
    OrvOleDbConnection* connection = command.GetConnection();
    IDataConvert* convert = connection ? connection->GetIDataConvert() : nullptr;
    if (!convert) return std::string();
    char16_t text[64] = {};
    DBLENGTH length = 0;
    DBSTATUS status = DBSTATUS_S_OK;
    if (convert->DataConvert(DBTYPE_VARIANT, DBTYPE_WSTR, sizeof value, &length, &value, text, sizeof text,
                             DBSTATUS_S_OK, &status, 0, 0, DBDATACONVERT_DEFAULT) != S_OK ||
        status != DBSTATUS_S_OK)
        return std::string();
    return orv::platform::Utf16ToUtf8(text);
}

}  // namespace

std::string FieldText(OrvOleDbCommand& command, unsigned __int64 col, OutputMode mode) {
    const unsigned short type = command.GetRawType(col);
    if (!ForPrograms(mode)) {
        std::string text = orv::platform::Utf16ToUtf8(command.FieldAsString(col).Str());
        return type == DBTYPE_R8 || type == DBTYPE_R4 ? TrimFractionZeros(std::move(text)) : text;
    }
    VARIANT value;
    if (!command.FieldAsVariant(col, value)) return std::string();
    std::string text;
    switch (value.vt) {
    case VT_R8: text = ShortestText(value.dblVal); break;
    case VT_R4: text = ShortestText(value.fltVal); break;
    case VT_CY:
    case VT_DECIMAL:
    case VT_DATE: text = InvariantText(command, value); break;
    default: text = orv::platform::Utf16ToUtf8(command.FieldAsString(col).Str()); break;
    }
    VariantClear(&value);
    return text;
}

}  // namespace orvsql
