// The engine's data conversions: one routine for every pair of OLE DB types that the engine
// converts. The conversion library (IDataConvert, CLSID_OLEDB_CONVERSIONLIBRARY) and the
// rowsets' GetData both call it, so a value reads the same whichever way a consumer asks.
//
// Pairs. Every numeric type (I1, I2, I4, I8, UI1, UI2, UI4, UI8, R4, R8, CY, DECIMAL,
// NUMERIC, VARNUMERIC) and BOOL convert to one another; numbers and DATE convert both ways;
// DATE, DBDATE, DBTIME, DBTIMESTAMP and FILETIME convert among themselves (except DBDATE to
// DBTIME and back); GUID and BYTES both ways; every one of these to and from WSTR, STR and
// BSTR; VARIANT to and from all of them (a VARIANT source converts as the type it holds);
// EMPTY and NULL to anything (the result is NULL). Every type converts to itself.
// DBTYPE_BYREF on the source means the buffer holds a pointer to the value; on a WSTR, STR,
// BYTES or VARNUMERIC destination it asks for a new buffer from CoTaskMemAlloc, which the
// caller frees with CoTaskMemFree. STR text is UTF-8.
//
// Lengths and truncation follow GetData. A WSTR or STR destination of `dstMaxLength` bytes
// holds the text and its terminator; *dstLength is the byte length of the whole text
// without terminator, even when it was cut. A cut keeps whole characters (no half
// surrogate pair, no partial UTF-8 sequence, hexadecimal text whole bytes) and is
// terminated whenever there is room for the terminator; the status is
// DBSTATUS_S_TRUNCATED. BYTES are cut the same way, without terminator. A number's text
// may lose fraction digits that do not fit (then the status is DBSTATUS_S_TRUNCATED, and
// a dangling point goes too) but never a digit before the point: that, and the text of a
// date, GUID or BOOL that does not fit, is DBSTATUS_E_DATAOVERFLOW. With
// DBDATACONVERT_SETDATABEHAVIOR any cut is DBSTATUS_E_DATAOVERFLOW instead.
//
// Numbers. Range checks give DBSTATUS_E_DATAOVERFLOW, and a negative value for an unsigned
// type DBSTATUS_E_SIGNMISMATCH. Fraction digits that a destination cannot keep are cut
// off, toward zero, as the OLE DB conversion rules describe (123.4567 at scale 2 is
// 123.45; -2.7 as an integer is -2); this is silent (DBSTATUS_S_OK). A floating-point
// value first becomes its decimal text of 15 significant digits (7 for R4), so that 0.3
// is 0.3 and not 0.29999..., except at magnitudes where every value is a whole number
// (1e15 and above, 1e7 for R4), which convert exactly. A NaN converts only to R4 and R8
// and to text; infinities overflow exact types. BOOL: True is VARIANT_TRUE (-1) for the
// signed and fractional types, 1 for the unsigned ones; any non-zero number is True.
//
// NUMERIC and VARNUMERIC destinations take `precision` and `scale` when `precision` is
// not 0 (E_INVALIDARG for a precision outside 1-38, or a scale above it, for NUMERIC);
// with 0 they keep the value's own scale and the precision of its source (a NUMERIC's
// own, 10 for I4, 19 for CY, 29 for DECIMAL, the digit count of text). A DECIMAL
// destination keeps the value's scale up to 28, dropping fraction digits where 96 bits
// cannot hold them. Zero is always positive.
//
// Text forms are culture-invariant and read back:
//   integers   "-123"
//   DECIMAL, NUMERIC, VARNUMERIC   exactly the scale's digits: "-123.45", "0.000", "123"
//              (scale 0, no point), "1200" (VARNUMERIC 12 at scale -2)
//   CY         up to four decimals, trailing zeros dropped: "12.5", "-0.0001", "7"
//   R8, R4     up to 15 (7) significant digits, trailing zeros dropped: "2.5",
//              "1.5E+20", "1E-05"; "NaN", "Infinity", "-Infinity"
//   BOOL       "True", "False"
//   DATE       "yyyy-mm-dd hh:mm:ss", or "yyyy-mm-dd" when the time is midnight
//   DBDATE     "yyyy-mm-dd"           DBTIME "hh:mm:ss"
//   DBTIMESTAMP, FILETIME   "yyyy-mm-dd hh:mm:ss", then "." and the fraction of a second
//              without trailing zeros when it is not 0 ("...:05.25")
//   GUID       "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case
//   BYTES      two upper-case hexadecimal digits a byte
// Text read back may have blanks around it. Numbers: a sign, digits with an optional point,
// an optional exponent ("1.5e3"); NaN and Infinity for R4 and R8. BOOL: "True", "False",
// "Yes", "No" in any case, or any number. Dates: "yyyy-mm-dd", "m/d/yyyy" (or a two-digit
// year: 00-29 are 2000-2029), either followed by a blank or "T" and a time; a time alone
// ("hh:mm", "hh:mm:ss", with a fraction, with AM or PM) is on 30 December 1899, as in a
// DATE. GUIDs with or without braces, either case. Hexadecimal in either case, whole
// bytes. Anything else is DBSTATUS_E_CANTCONVERTVALUE, as is a date that does not exist
// (2021-02-30) in any date structure.
//
// Dates. A DATE covers 1 January 100 to 31 December 9999 (outside that,
// DBSTATUS_E_DATAOVERFLOW); it converts to DBTIMESTAMP and FILETIME to the millisecond, to
// every other form to the second (rounded). A date without a time is at midnight; a time
// without a date is on 30 December 1899. FILETIME counts from 1 January 1601 on the same
// clock as the other forms (no time-zone shift).
//
// VARIANT destinations take the natural VARTYPE: the integers, R4, R8, CY, BOOL, DATE and
// ERROR their own; DECIMAL, NUMERIC and VARNUMERIC VT_DECIMAL; the other dates VT_DATE;
// text and GUIDs VT_BSTR. A VARIANT to VARIANT is a copy (VariantCopy).
//
// NULL. A DBTYPE_EMPTY or DBTYPE_NULL source, or a VARIANT holding VT_EMPTY or VT_NULL,
// gives DBSTATUS_S_ISNULL and S_OK, *dstLength 0, and writes a VT_NULL (VT_EMPTY)
// VARIANT to a VARIANT destination and nothing to any other.
//
// Everything here keeps no state and may be called from any thread.
#pragma once

#include "platform/oledb.h"

namespace orv::engine {

// Converts the value at `src` (`srcLength` bytes, which only variable-length types read)
// from `srcType` to `dstType` at `dst`, as IDataConvert::DataConvert does for a source of
// status DBSTATUS_S_OK. Returns S_OK with *status DBSTATUS_S_OK, DBSTATUS_S_TRUNCATED or
// DBSTATUS_S_ISNULL; DB_E_DATAOVERFLOW with DBSTATUS_E_DATAOVERFLOW or
// DBSTATUS_E_SIGNMISMATCH; DB_E_CANTCONVERTVALUE with DBSTATUS_E_CANTCONVERTVALUE (bad
// text, a date that does not exist, a VARIANT holding a type that cannot go to
// `dstType`); DB_E_UNSUPPORTEDCONVERSION for a pair that is not converted; E_OUTOFMEMORY;
// E_INVALIDARG for a null `src` (except a variable-length source of length 0) or a bad
// precision. After a failure `dst` is untouched. `dstLength` and `status` may be null.
// A null `dst` measures: the status and length come back, nothing is written or allocated.
// Flags: DBDATACONVERT_LENGTHFROMNTS reads WSTR and STR sources up to their terminator;
// DBDATACONVERT_SETDATABEHAVIOR makes any cut an overflow; the others are accepted.
HRESULT ConvertValue(DBTYPE srcType, const void* src, DBLENGTH srcLength, DBTYPE dstType, void* dst,
                     DBLENGTH dstMaxLength, DBLENGTH* dstLength, DBSTATUS* status, BYTE precision, BYTE scale,
                     DBDATACONVERT flags);

// S_OK when ConvertValue converts `srcType` to `dstType` (for some values), S_FALSE when not.
HRESULT CanConvertType(DBTYPE srcType, DBTYPE dstType);

// The buffer a conversion needs, in bytes, as IDataConvert::GetConversionSize: the fixed
// size of a fixed-length destination (sizeof(BSTR), sizeof(VARIANT), a pointer for a BYREF
// one); for WSTR, STR, BYTES and VARNUMERIC the length of the converted `src` plus its
// terminator, or without `src` the most that any value of `srcType` (of *srcLength bytes,
// for a variable-length source) can need. A WSTR or STR `src` without `srcLength` is read
// up to its terminator. E_INVALIDARG for a null `dstLength`, or when the size depends on a
// value or length that is not given; DB_E_UNSUPPORTEDCONVERSION; or the failure of
// converting `src`.
HRESULT ConversionSize(DBTYPE srcType, DBTYPE dstType, const DBLENGTH* srcLength, DBLENGTH* dstLength, const void* src);

// The conversion library's class factory function (registered in registration.cpp).
HRESULT CreateDataConvert(IUnknown* outer, REFIID riid, void** ppv);

}  // namespace orv::engine
