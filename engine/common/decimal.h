// Exact decimal numbers, the one home of their arithmetic: a sign, a 128-bit magnitude and
// the count of digits after the point. CURRENCY (a 64-bit count of ten-thousandths),
// DECIMAL (96 bits) and NUMERIC (up to 38 digits) all fit, so every conversion between
// them and text goes through here without a double.
//
// Plain values and pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orv::engine {

using u128 = unsigned __int128;

// magnitude / 10^scale, with a sign; a negative scale multiplies. `precision` is the digit
// count the source type declares, 0 when the value's own digits decide.
struct Decimal {
    bool negative = false;
    u128 magnitude = 0;
    int scale = 0;
    int precision = 0;
};

// Decimal digits of `v` (1 for 0).
int DigitCount(u128 v);
// 10^n for n from 0 to 38.
u128 Pow10(int n);
// The decimal digits of `v`.
std::string U128Text(u128 v);

// Dropping fraction digits follows one rule per purpose, and each purpose calls one of the
// two functions below:
// - converting between OLE DB types (the conversion library, GetData into another bound
//   type) cuts toward zero, as OLE DB's conversion rules say (1.234567E2 as NUMERIC(4,1)
//   is 123.4; -2.7 as an integer is -2): Rescale;
// - reading a stored value into its column's exact type (CURRENCY, DECIMAL(p,s)) rounds
//   half away from zero, as an amount typed into the column is kept: RoundToScale.
// OLE Automation's own functions (platform/oleauto.cpp: VarI4FromDate, VarI4FromDec)
// round half to even, as their documentation says; nothing here calls them.

// Changes the scale; digits dropped from the fraction are cut off toward zero. False when
// the magnitude would not fit 128 bits.
bool Rescale(Decimal& d, int scale);
// Changes the scale, rounding a dropped fraction half away from zero. False on overflow.
bool RoundToScale(Decimal& d, int scale);

// The sign, the integer digits and, for a positive scale, a point and exactly `scale`
// digits ("-12.50", "0.005", "7"). `point` receives the length of the part before the point.
std::string DecimalText(const Decimal& d, std::size_t& point);

// ASCII number text: an optional sign, digits with an optional point, an optional exponent
// ("-12.5", "1e3", ".5"); no blanks. The scale is the count of digits after the point (less
// the exponent); fraction digits beyond 38 significant ones are cut off. False for other
// text and for magnitudes beyond 128 bits.
bool ParseDecimal(std::string_view text, Decimal& out);

}  // namespace orv::engine
