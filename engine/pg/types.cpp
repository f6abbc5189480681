#include "engine/pg/types.h"

#include <cstring>

#include "platform/strings.h"

namespace orv::engine::pg {
namespace {

// Type identifiers of the built-in types (pg_type.oid), fixed since their creation.
enum : Oid {
    kBool = 16,
    kBytea = 17,
    kInt8 = 20,
    kInt2 = 21,
    kInt4 = 23,
    kOid = 26,
    kFloat4 = 700,
    kFloat8 = 701,
    kMoney = 790,
    kBpchar = 1042,
    kVarchar = 1043,
    kDate = 1082,
    kTime = 1083,
    kTimestamp = 1114,
    kTimestamptz = 1184,
    kTimetz = 1266,
    kNumeric = 1700,
    kUuid = 2950,
};

// The widest decimal OLE DB's NUMERIC holds.
constexpr int kMaxNumericPrecision = 38;

PgType Declared(std::string declared, TextForm form = TextForm::Plain) {
    PgType t;
    t.type = MapDeclaredType(declared);
    t.form = form;
    t.declared = std::move(declared);
    return t;
}

}  // namespace

PgType MapPgType(Oid oid, int typmod) {
    switch (oid) {
    case kBool: return Declared("YESNO", TextForm::Bool);
    case kBytea: return Declared("LONGBINARY", TextForm::Bytes);
    case kInt2: return Declared("SMALLINT");
    case kInt4: return Declared("INTEGER");
    case kInt8: return Declared("BIGINT");
    case kOid: return Declared("BIGINT");
    case kFloat4: return Declared("SINGLE");
    case kFloat8: return Declared("DOUBLE");
    case kMoney: return Declared("CURRENCY", TextForm::Money);
    case kDate:
    case kTimestamp:
    case kTime: return Declared("DATETIME");
    case kTimestamptz:
    case kTimetz: return Declared("DATETIME", TextForm::Zoned);
    case kUuid: return Declared("GUID");
    case kVarchar: return typmod >= 4 ? Declared("VARCHAR(" + std::to_string(typmod - 4) + ")") : Declared("TEXT");
    case kBpchar: return Declared("CHAR(" + std::to_string(typmod >= 4 ? typmod - 4 : 1) + ")");
    case kNumeric: {
        // Without a precision and scale a numeric holds any number of digits on either side
        // of the point: no fixed scale would keep every value exact, so it reads as its text.
        if (typmod < 4) return Declared("TEXT");
        const int precision = ((typmod - 4) >> 16) & 0xFFFF;
        const int scale = (typmod - 4) & 0xFFFF;
        if (precision < 1 || precision > kMaxNumericPrecision || scale > precision) return Declared("TEXT");
        return Declared("DECIMAL(" + std::to_string(precision) + "," + std::to_string(scale) + ")");
    }
    default:
        // text, json, jsonb, xml, intervals, arrays, ranges, enums, domains...: their text,
        // sized as a file's TEXT column is: read in place, up to 8000 characters.
        return Declared("TEXT");
    }
}

void LoadText(const char* text, int length, TextForm form, StoredValue& out) {
    if (!text) {
        out.kind = SQLITE_NULL;
        return;
    }
    const std::size_t n = static_cast<std::size_t>(length);
    switch (form) {
    case TextForm::Plain: break;
    case TextForm::Bool:
        out.kind = SQLITE_INTEGER;
        out.integer = n > 0 && text[0] == 't' ? 1 : 0;
        return;
    case TextForm::Bytes:
        if (n >= 2 && text[0] == '\\' && text[1] == 'x') {
            out.kind = SQLITE_BLOB;
            out.bytes.resize((n - 2) / 2);
            for (std::size_t i = 0; i < out.bytes.size(); ++i)
                out.bytes[i] =
                    static_cast<char>(platform::HexDigit(text[2 + 2 * i]) << 4 | platform::HexDigit(text[3 + 2 * i]));
            return;
        }
        break;
    case TextForm::Money:
        out.kind = SQLITE_TEXT;
        out.bytes.clear();
        for (std::size_t i = 0; i < n; ++i)
            if (text[i] != '$' && text[i] != ',') out.bytes += text[i];
        return;
    case TextForm::Zoned: {
        // "2024-03-01 13:45:00+01", "13:45:00-05:30": the offset goes, the local time stays.
        std::size_t end = n;
        for (std::size_t i = n; i > 8; --i) {
            if (text[i - 1] == '+' || text[i - 1] == '-') {
                end = i - 1;
                break;
            }
        }
        out.kind = SQLITE_TEXT;
        out.bytes.assign(text, end);
        return;
    }
    }
    out.kind = SQLITE_TEXT;
    out.bytes.assign(text, n);
}

}  // namespace orv::engine::pg
