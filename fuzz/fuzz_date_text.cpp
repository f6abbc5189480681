// Text read into dates, numbers and GUIDs: values of text columns and consumers' bound
// parameters both pass through the conversion routine. Reads the input as ISO date text,
// then converts it, as STR (UTF-8) and as WSTR, into fixed-size destinations of each type.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "engine/convert.h"
#include "engine/sql/datetime.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace {

struct Target {
    DBTYPE type;
    DBLENGTH size;
    BYTE precision;
    BYTE scale;
};

// Each destination in a heap block of exactly its size, so that a write past it is caught.
constexpr Target kTargets[] = {
    {DBTYPE_DATE, sizeof(DATE), 0, 0},
    {DBTYPE_DBDATE, sizeof(DBDATE), 0, 0},
    {DBTYPE_DBTIME, sizeof(DBTIME), 0, 0},
    {DBTYPE_DBTIMESTAMP, sizeof(DBTIMESTAMP), 0, 0},
    {DBTYPE_NUMERIC, sizeof(DB_NUMERIC), 0, 0},
    {DBTYPE_NUMERIC, sizeof(DB_NUMERIC), 38, 10},
    {DBTYPE_NUMERIC, sizeof(DB_NUMERIC), 5, 2},
    {DBTYPE_DECIMAL, sizeof(DECIMAL), 0, 0},
    {DBTYPE_CY, sizeof(CY), 0, 0},
    {DBTYPE_I4, sizeof(LONG), 0, 0},
    {DBTYPE_I8, sizeof(LONGLONG), 0, 0},
    {DBTYPE_UI1, sizeof(BYTE), 0, 0},
    {DBTYPE_R8, sizeof(double), 0, 0},
    {DBTYPE_R4, sizeof(float), 0, 0},
    {DBTYPE_BOOL, sizeof(VARIANT_BOOL), 0, 0},
    {DBTYPE_GUID, sizeof(GUID), 0, 0},
    {DBTYPE_BYTES, 8, 0, 0},
};

void ConvertAll(DBTYPE srcType, const void* src, DBLENGTH srcLength) {
    for (const Target& target : kTargets) {
        auto dst = std::make_unique<BYTE[]>(target.size);
        DBLENGTH length = 0;
        DBSTATUS status = 0;
        orv::engine::ConvertValue(srcType, src, srcLength, target.type, dst.get(), target.size, &length, &status,
                                  target.precision, target.scale, 0);
        // Measuring must agree with converting. Not for BYTES: measuring reports the whole
        // value's length and leaves whether it fits to the caller.
        if (target.type == DBTYPE_BYTES) continue;
        DBLENGTH measured = 0;
        DBSTATUS measuredStatus = 0;
        orv::engine::ConvertValue(srcType, src, srcLength, target.type, nullptr, target.size, &measured,
                                  &measuredStatus, target.precision, target.scale, 0);
        if (measuredStatus != status) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1024) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto parts = orv::engine::ParseIsoDateTime(text)) {
        if (orv::engine::IsValidDate(parts->year, parts->month, parts->day)) {
            // A date read from text goes to a DATE and back to the same day.
            if (auto date = orv::engine::OleDateFromParts(*parts)) {
                auto back = orv::engine::PartsFromOleDate(*date);
                if (!back) __builtin_trap();
                (void)orv::engine::FormatIsoDateTime(*back);
            }
        }
    }

    // STR: exactly `size` bytes in a block of their own, no terminator.
    auto narrow = std::make_unique<char[]>(size + 1);
    std::memcpy(narrow.get(), data, size);
    ConvertAll(DBTYPE_STR, size ? narrow.get() : "", size);

    // STR read up to its terminator, as a consumer's buffer often is.
    narrow[size] = '\0';
    for (const Target& target : kTargets) {
        auto dst = std::make_unique<BYTE[]>(target.size);
        orv::engine::ConvertValue(DBTYPE_STR, narrow.get(), 0, target.type, dst.get(), target.size, nullptr, nullptr,
                                  target.precision, target.scale, DBDATACONVERT_LENGTHFROMNTS);
    }

    // WSTR: the text as UTF-16, its length in bytes.
    const std::u16string wide = orv::platform::Utf8ToUtf16(text);
    auto units = std::make_unique<char16_t[]>(wide.size() + 1);
    std::memcpy(units.get(), wide.data(), wide.size() * sizeof(char16_t));
    ConvertAll(DBTYPE_WSTR, units.get(), wide.size() * sizeof(char16_t));
    return 0;
}
