// Exact decimals: parsing, rescaling and text at the edges of the exact types, and stored
// values read into CURRENCY and NUMERIC columns without a double in between.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/common/decimal.h"
#include "engine/values.h"

using namespace orv::engine;

namespace {

std::string Text(const Decimal& d) {
    std::size_t point = 0;
    return DecimalText(d, point);
}

Decimal Parsed(const char* text) {
    Decimal d;
    EXPECT_TRUE(ParseDecimal(text, d)) << text;
    return d;
}

TEST(DecimalTest, RescalingCutsOrRoundsHalfAwayFromZero) {
    Decimal d = Parsed("-1234.56785");
    Decimal cut = d;
    ASSERT_TRUE(Rescale(cut, 4));
    EXPECT_EQ(Text(cut), "-1234.5678");
    ASSERT_TRUE(RoundToScale(d, 4));
    EXPECT_EQ(Text(d), "-1234.5679");
    Decimal small = Parsed("0.00004");
    ASSERT_TRUE(RoundToScale(small, 4));
    EXPECT_EQ(Text(small), "0.0000");
    Decimal up = Parsed("9.99995");
    ASSERT_TRUE(RoundToScale(up, 4));
    EXPECT_EQ(Text(up), "10.0000");
    Decimal wide = Parsed("1e38");
    EXPECT_FALSE(Rescale(wide, 4));
}

// A stored value read as a column's type, as the rowsets do.
TypedValue Read(const StoredValue& stored, DBTYPE type, BYTE precision = 0, BYTE scale = 0) {
    ColumnType column;
    column.type = type;
    column.precision = precision;
    column.scale = scale;
    TypedValue out;
    Materialise(stored, column, out);
    return out;
}

StoredValue TextValue(const char* text) {
    StoredValue v;
    v.kind = SQLITE_TEXT;
    v.bytes = text;
    return v;
}

TEST(DecimalTest, CurrencyHoldsItsWholeRange) {
    LONGLONG scaled = 0;
    TypedValue max = Read(TextValue("922337203685477.5807"), DBTYPE_CY);
    ASSERT_EQ(max.status, DBSTATUS_S_OK);
    std::memcpy(&scaled, max.fixed, sizeof scaled);
    EXPECT_EQ(scaled, INT64_MAX);
    TypedValue min = Read(TextValue("-922337203685477.5808"), DBTYPE_CY);
    ASSERT_EQ(min.status, DBSTATUS_S_OK);
    std::memcpy(&scaled, min.fixed, sizeof scaled);
    EXPECT_EQ(scaled, INT64_MIN);
    EXPECT_EQ(Read(TextValue("922337203685477.5808"), DBTYPE_CY).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(Read(TextValue("-922337203685477.58085"), DBTYPE_CY).status, DBSTATUS_E_DATAOVERFLOW);
    // A database file keeps either end as the nearest double, which reads back as that end.
    StoredValue real;
    real.kind = SQLITE_FLOAT;
    real.real = 922337203685477.5807;
    std::memcpy(&scaled, Read(real, DBTYPE_CY).fixed, sizeof scaled);
    EXPECT_EQ(scaled, INT64_MAX);
    real.real = -922337203685477.5808;
    std::memcpy(&scaled, Read(real, DBTYPE_CY).fixed, sizeof scaled);
    EXPECT_EQ(scaled, INT64_MIN);
    real.real = 922337203685478.0;
    EXPECT_EQ(Read(real, DBTYPE_CY).status, DBSTATUS_E_DATAOVERFLOW);
    StoredValue whole;
    whole.kind = SQLITE_INTEGER;
    whole.integer = -922337203685477;
    std::memcpy(&scaled, Read(whole, DBTYPE_CY).fixed, sizeof scaled);
    EXPECT_EQ(scaled, -9223372036854770000LL);
}

TEST(DecimalTest, NumericKeepsTwentyEightDigitsAndItsScale) {
    TypedValue v = Read(TextValue("-123456789012345678901234.5678"), DBTYPE_NUMERIC, 28, 4);
    ASSERT_EQ(v.status, DBSTATUS_S_OK);
    DB_NUMERIC n;
    std::memcpy(&n, v.fixed, sizeof n);
    EXPECT_EQ(n.sign, 0);
    EXPECT_EQ(n.scale, 4);
    u128 magnitude = 0;
    for (int i = 15; i >= 0; --i) magnitude = magnitude << 8 | n.val[i];
    EXPECT_EQ(U128Text(magnitude), "1234567890123456789012345678");
    EXPECT_EQ(Read(TextValue("12345678901234567890123456789"), DBTYPE_NUMERIC, 28, 0).status, DBSTATUS_E_DATAOVERFLOW);
    EXPECT_EQ(Read(TextValue("1.23456"), DBTYPE_NUMERIC, 28, 4).status, DBSTATUS_S_OK);  // rounded to 1.2346
}

}  // namespace
