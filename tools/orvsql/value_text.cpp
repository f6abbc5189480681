#include "value_text.h"

#include <charconv>

namespace orvsql {
namespace {

bool ForPrograms(OutputMode mode) {
    return mode == OutputMode::Csv || mode == OutputMode::Tsv || mode == OutputMode::Json;
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
    VARIANT value;
    if (!command.FieldAsVariant(col, value)) return std::string();
    std::string text;
    if (value.vt == VT_R8) {
        text = ShortestText(value.dblVal);
    } else if (value.vt == VT_R4) {
        text = ShortestText(value.fltVal);
    } else if (ForPrograms(mode) && (value.vt == VT_CY || value.vt == VT_DECIMAL || value.vt == VT_DATE)) {
        text = InvariantText(command, value);
    } else {
        text = orv::platform::Utf16ToUtf8(command.FieldAsString(col).Str());
    }
    VariantClear(&value);
    return text;
}

}  // namespace orvsql
