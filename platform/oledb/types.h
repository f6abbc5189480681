// OLE DB's types and the values that describe data: scalar widths, type codes, binding
// parts, value and row status, column flags, column identifiers, the fixed-layout values
// and the binding and column descriptions that cross between consumer and provider.
//
// Widths and layouts are those of 64-bit Windows: counts, lengths, ordinals and handles
// (DBLENGTH, DBORDINAL, DBCOUNTITEM, HROW, HACCESSOR, HCHAPTER, ...) are 64 bits, flags and
// status words are 32-bit DWORDs, DBTYPE is a 16-bit WORD.
#pragma once

#include <cstddef>

#include "platform/com.h"

// ---- Scalar types -------------------------------------------------------------------------

typedef ULONGLONG DBLENGTH;
typedef LONGLONG DBROWOFFSET;
typedef LONGLONG DBROWCOUNT;
typedef ULONGLONG DBCOUNTITEM;
typedef ULONGLONG DBORDINAL;
typedef LONGLONG DB_LORDINAL;
typedef ULONGLONG DBBKMARK;
typedef ULONGLONG DBBYTEOFFSET;
typedef ULONG DBREFCOUNT;
typedef ULONGLONG DB_UPARAMS;
typedef LONGLONG DB_LPARAMS;
typedef ULONGLONG DBHASHVALUE;
typedef ULONGLONG DB_DWRESERVE;
typedef LONGLONG DB_LRESERVE;
typedef ULONGLONG DB_URESERVE;

typedef WORD DBTYPE;
typedef DWORD DBSTATUS;
typedef DWORD DBKIND;
typedef DWORD DBPART;
typedef DWORD DBPARAMIO;
typedef DWORD DBMEMOWNER;
typedef DWORD DBROWSTATUS;
typedef DWORD DBCOLUMNFLAGS;
typedef DWORD DBPROPID;
typedef DWORD DBPROPOPTIONS;
typedef DWORD DBPROPSTATUS;
typedef DWORD DBPROPFLAGS;
typedef DWORD DBPARAMFLAGS;
typedef DWORD DBACCESSORFLAGS;
typedef DWORD DBBINDSTATUS;
typedef DWORD DBROWOPTIONS;
typedef DWORD DBPENDINGSTATUS;
typedef DWORD DBCOMPARE;
typedef DWORD DBLITERAL;
typedef DWORD DBCONVERTFLAGS;
typedef DWORD DBDATACONVERT;
typedef DWORD DBINDEX_COL_ORDER;
typedef DWORD DBCONSTRAINTTYPE;
typedef DWORD DBUPDELRULE;
typedef DWORD DBMATCHTYPE;
typedef DWORD DBDEFERRABILITY;
typedef DB_LRESERVE DBRESULTFLAG;

typedef ULONG_PTR HROW;
typedef ULONG_PTR HACCESSOR;
typedef ULONG_PTR HCHAPTER;
typedef ULONG_PTR HWATCHREGION;

#define DB_NULL_HROW 0x00
#define DB_NULL_HACCESSOR 0x00
#define DB_INVALID_HACCESSOR 0x00
#define DB_NULL_HCHAPTER 0x00
#define DB_INVALID_HCHAPTER 0x00
#define DB_INVALIDCOLUMN (~(DBORDINAL)0)
#define DB_COUNTUNAVAILABLE (-1)
#define STD_BOOKMARKLENGTH 1

typedef signed char SBYTE;

// The byte-sized boolean of interface definitions (IDataInitialize::GetInitializationString).
typedef unsigned char boolean;

// Type information is never offered here; only pointers to it appear in structures.
struct ITypeInfo;

// ---- Type codes ---------------------------------------------------------------------------

enum DBTYPEENUM {
    DBTYPE_EMPTY = 0,
    DBTYPE_NULL = 1,
    DBTYPE_I2 = 2,
    DBTYPE_I4 = 3,
    DBTYPE_R4 = 4,
    DBTYPE_R8 = 5,
    DBTYPE_CY = 6,
    DBTYPE_DATE = 7,
    DBTYPE_BSTR = 8,
    DBTYPE_IDISPATCH = 9,
    DBTYPE_ERROR = 10,
    DBTYPE_BOOL = 11,
    DBTYPE_VARIANT = 12,
    DBTYPE_IUNKNOWN = 13,
    DBTYPE_DECIMAL = 14,
    DBTYPE_I1 = 16,
    DBTYPE_UI1 = 17,
    DBTYPE_UI2 = 18,
    DBTYPE_UI4 = 19,
    DBTYPE_I8 = 20,
    DBTYPE_UI8 = 21,
    DBTYPE_FILETIME = 64,
    DBTYPE_GUID = 72,
    DBTYPE_BYTES = 128,
    DBTYPE_STR = 129,
    DBTYPE_WSTR = 130,
    DBTYPE_NUMERIC = 131,
    DBTYPE_UDT = 132,
    DBTYPE_DBDATE = 133,
    DBTYPE_DBTIME = 134,
    DBTYPE_DBTIMESTAMP = 135,
    DBTYPE_HCHAPTER = 136,
    DBTYPE_PROPVARIANT = 138,
    DBTYPE_VARNUMERIC = 139,
    // Modifiers, combined with a base type by OR.
    DBTYPE_VECTOR = 0x1000,
    DBTYPE_ARRAY = 0x2000,
    DBTYPE_BYREF = 0x4000,
    DBTYPE_RESERVED = 0x8000,
};

#define DBTYPEFOR_DBLENGTH DBTYPE_UI8
#define DBTYPEFOR_DBROWCOUNT DBTYPE_I8
#define DBTYPEFOR_DBORDINAL DBTYPE_UI8

// ---- Binding parts, memory owners, parameter directions -----------------------------------

enum DBPARTENUM { DBPART_INVALID = 0, DBPART_VALUE = 0x1, DBPART_LENGTH = 0x2, DBPART_STATUS = 0x4 };

enum DBMEMOWNERENUM { DBMEMOWNER_CLIENTOWNED = 0, DBMEMOWNER_PROVIDEROWNED = 0x1 };

enum DBPARAMIOENUM { DBPARAMIO_NOTPARAM = 0, DBPARAMIO_INPUT = 0x1, DBPARAMIO_OUTPUT = 0x2 };

enum DBACCESSORFLAGSENUM {
    DBACCESSOR_INVALID = 0,
    DBACCESSOR_PASSBYREF = 0x1,
    DBACCESSOR_ROWDATA = 0x2,
    DBACCESSOR_PARAMETERDATA = 0x4,
    DBACCESSOR_OPTIMIZED = 0x8,
    DBACCESSOR_INHERITED = 0x10,
};

enum DBBINDSTATUSENUM {
    DBBINDSTATUS_OK = 0,
    DBBINDSTATUS_BADORDINAL = 1,
    DBBINDSTATUS_UNSUPPORTEDCONVERSION = 2,
    DBBINDSTATUS_BADBINDINFO = 3,
    DBBINDSTATUS_BADSTORAGEFLAGS = 4,
    DBBINDSTATUS_NOINTERFACE = 5,
    DBBINDSTATUS_MULTIPLESTORAGE = 6,
};

// ---- Value status ---------------------------------------------------------------------------

enum DBSTATUSENUM {
    DBSTATUS_S_OK = 0,
    DBSTATUS_E_BADACCESSOR = 1,
    DBSTATUS_E_CANTCONVERTVALUE = 2,
    DBSTATUS_S_ISNULL = 3,
    DBSTATUS_S_TRUNCATED = 4,
    DBSTATUS_E_SIGNMISMATCH = 5,
    DBSTATUS_E_DATAOVERFLOW = 6,
    DBSTATUS_E_CANTCREATE = 7,
    DBSTATUS_E_UNAVAILABLE = 8,
    DBSTATUS_E_PERMISSIONDENIED = 9,
    DBSTATUS_E_INTEGRITYVIOLATION = 10,
    DBSTATUS_E_SCHEMAVIOLATION = 11,
    DBSTATUS_E_BADSTATUS = 12,
    DBSTATUS_S_DEFAULT = 13,
    MDSTATUS_S_CELLEMPTY = 14,
    DBSTATUS_S_IGNORE = 15,
    DBSTATUS_E_DOESNOTEXIST = 16,
    DBSTATUS_E_INVALIDURL = 17,
    DBSTATUS_E_RESOURCELOCKED = 18,
    DBSTATUS_E_RESOURCEEXISTS = 19,
    DBSTATUS_E_CANNOTCOMPLETE = 20,
    DBSTATUS_E_VOLUMENOTFOUND = 21,
    DBSTATUS_E_OUTOFSPACE = 22,
    DBSTATUS_S_CANNOTDELETESOURCE = 23,
    DBSTATUS_E_READONLY = 24,
    DBSTATUS_E_RESOURCEOUTOFSCOPE = 25,
    DBSTATUS_S_ALREADYEXISTS = 26,
    DBSTATUS_E_CANCELED = 27,
    DBSTATUS_E_NOTCOLLECTION = 28,
    DBSTATUS_S_ROWSETCOLUMN = 29,
};

// ---- Row status, pending status, bookmarks, comparisons --------------------------------------

enum DBROWSTATUSENUM {
    DBROWSTATUS_S_OK = 0,
    DBROWSTATUS_S_MULTIPLECHANGES = 2,
    DBROWSTATUS_S_PENDINGCHANGES = 3,
    DBROWSTATUS_E_CANCELED = 4,
    DBROWSTATUS_E_CANTRELEASE = 6,
    DBROWSTATUS_E_CONCURRENCYVIOLATION = 7,
    DBROWSTATUS_E_DELETED = 8,
    DBROWSTATUS_E_PENDINGINSERT = 9,
    DBROWSTATUS_E_NEWLYINSERTED = 10,
    DBROWSTATUS_E_INTEGRITYVIOLATION = 11,
    DBROWSTATUS_E_INVALID = 12,
    DBROWSTATUS_E_MAXPENDCHANGESEXCEEDED = 13,
    DBROWSTATUS_E_OBJECTOPEN = 14,
    DBROWSTATUS_E_OUTOFMEMORY = 15,
    DBROWSTATUS_E_PERMISSIONDENIED = 16,
    DBROWSTATUS_E_LIMITREACHED = 17,
    DBROWSTATUS_E_SCHEMAVIOLATION = 18,
    DBROWSTATUS_E_FAIL = 19,
    DBROWSTATUS_S_NOCHANGE = 20,
};

enum DBPENDINGSTATUSENUM {
    DBPENDINGSTATUS_NEW = 0x1,
    DBPENDINGSTATUS_CHANGED = 0x2,
    DBPENDINGSTATUS_DELETED = 0x4,
    DBPENDINGSTATUS_UNCHANGED = 0x8,
    DBPENDINGSTATUS_INVALIDROW = 0x10,
};

enum DBBOOKMARK { DBBMK_INVALID = 0, DBBMK_FIRST = 1, DBBMK_LAST = 2 };

enum DBCOMPAREENUM {
    DBCOMPARE_LT = 0,
    DBCOMPARE_EQ = 1,
    DBCOMPARE_GT = 2,
    DBCOMPARE_NE = 3,
    DBCOMPARE_NOTCOMPARABLE = 4,
};

// ---- Column and parameter flags -------------------------------------------------------------

enum DBCOLUMNFLAGSENUM {
    DBCOLUMNFLAGS_ISBOOKMARK = 0x1,
    DBCOLUMNFLAGS_MAYDEFER = 0x2,
    DBCOLUMNFLAGS_WRITE = 0x4,
    DBCOLUMNFLAGS_WRITEUNKNOWN = 0x8,
    DBCOLUMNFLAGS_ISFIXEDLENGTH = 0x10,
    DBCOLUMNFLAGS_ISNULLABLE = 0x20,
    DBCOLUMNFLAGS_MAYBENULL = 0x40,
    DBCOLUMNFLAGS_ISLONG = 0x80,
    DBCOLUMNFLAGS_ISROWID = 0x100,
    DBCOLUMNFLAGS_ISROWVER = 0x200,
    DBCOLUMNFLAGS_CACHEDEFERRED = 0x1000,
    DBCOLUMNFLAGS_ISCHAPTER = 0x2000,
    DBCOLUMNFLAGS_SCALEISNEGATIVE = 0x4000,
    DBCOLUMNFLAGS_RESERVED = 0x8000,
    DBCOLUMNFLAGS_ISROWURL = 0x10000,
    DBCOLUMNFLAGS_ISDEFAULTSTREAM = 0x20000,
    DBCOLUMNFLAGS_ISCOLLECTION = 0x40000,
    DBCOLUMNFLAGS_ISSTREAM = 0x80000,
    DBCOLUMNFLAGS_ISROWSET = 0x100000,
    DBCOLUMNFLAGS_ISROW = 0x200000,
    DBCOLUMNFLAGS_ROWSPECIFICCOLUMN = 0x400000,
};

enum DBPARAMFLAGSENUM {
    DBPARAMFLAGS_ISINPUT = 0x1,
    DBPARAMFLAGS_ISOUTPUT = 0x2,
    DBPARAMFLAGS_ISSIGNED = 0x10,
    DBPARAMFLAGS_ISNULLABLE = 0x40,
    DBPARAMFLAGS_ISLONG = 0x80,
    DBPARAMFLAGS_SCALEISNEGATIVE = 0x100,
};

// ---- Column identifiers -------------------------------------------------------------------

enum DBKINDENUM {
    DBKIND_GUID_NAME = 0,
    DBKIND_GUID_PROPID = 1,
    DBKIND_NAME = 2,
    DBKIND_PGUID_NAME = 3,
    DBKIND_PGUID_PROPID = 4,
    DBKIND_PROPID = 5,
    DBKIND_GUID = 6,
};

struct DBID {
    union {
        GUID guid;
        GUID* pguid;
    } uGuid;
    DBKIND eKind;
    union {
        LPOLESTR pwszName;
        ULONG ulPropid;
    } uName;
};
// The unions sit where 64-bit Windows puts them.
static_assert(sizeof(DBID) == 32 && offsetof(DBID, eKind) == 16 && offsetof(DBID, uName) == 24);

// The identifier that names nothing: a null GUID with no name.
inline constexpr GUID DB_NULLGUID = GUID_NULL;
inline constexpr DBID DB_NULLID = {{GUID_NULL}, DBKIND_GUID_NAME, {nullptr}};
static_assert(DB_NULLID.uGuid.guid == GUID_NULL && DB_NULLID.eKind == DBKIND_GUID_NAME && !DB_NULLID.uName.pwszName);

// ---- Fixed-layout values ------------------------------------------------------------------

struct DB_NUMERIC {
    BYTE precision;
    BYTE scale;
    BYTE sign;  // 1 for positive, 0 for negative
    BYTE val[16];  // little-endian magnitude
};
static_assert(sizeof(DB_NUMERIC) == 19 && offsetof(DB_NUMERIC, val) == 3, "packed, as on Windows");

struct DB_VARNUMERIC {
    BYTE precision;
    SBYTE scale;
    BYTE sign;
    BYTE val[1];  // variable length: the value's bytes follow
};
static_assert(sizeof(DB_VARNUMERIC) == 4);

struct DBDATE {
    SHORT year;
    USHORT month;
    USHORT day;
};
static_assert(sizeof(DBDATE) == 6);

struct DBTIME {
    USHORT hour;
    USHORT minute;
    USHORT second;
};
static_assert(sizeof(DBTIME) == 6);

struct DBTIMESTAMP {
    SHORT year;
    USHORT month;
    USHORT day;
    USHORT hour;
    USHORT minute;
    USHORT second;
    ULONG fraction;  // billionths of a second
};
static_assert(sizeof(DBTIMESTAMP) == 16 && offsetof(DBTIMESTAMP, fraction) == 12);

struct DBVECTOR {
    DBLENGTH size;
    void* ptr;
};

// ---- Bindings, column and parameter descriptions ---------------------------------------

struct DBOBJECT {
    DWORD dwFlags;  // STGM_* access mode of a storage object
    IID iid;
};
static_assert(sizeof(DBOBJECT) == 20);

struct DBBINDEXT {
    BYTE* pExtension;
    DBCOUNTITEM ulExtension;
};

struct DBBINDING {
    DBORDINAL iOrdinal;
    DBBYTEOFFSET obValue;
    DBBYTEOFFSET obLength;
    DBBYTEOFFSET obStatus;
    ITypeInfo* pTypeInfo;
    DBOBJECT* pObject;
    DBBINDEXT* pBindExt;
    DBPART dwPart;
    DBMEMOWNER dwMemOwner;
    DBPARAMIO eParamIO;
    DBLENGTH cbMaxLen;
    DWORD dwFlags;
    DBTYPE wType;
    BYTE bPrecision;
    BYTE bScale;
};
static_assert(sizeof(DBBINDING) == 88 && offsetof(DBBINDING, obValue) == 8 && offsetof(DBBINDING, obLength) == 16 &&
              offsetof(DBBINDING, obStatus) == 24 && offsetof(DBBINDING, dwPart) == 56 &&
              offsetof(DBBINDING, eParamIO) == 64 && offsetof(DBBINDING, cbMaxLen) == 72 &&
              offsetof(DBBINDING, wType) == 84 && offsetof(DBBINDING, bScale) == 87);

struct DBCOLUMNINFO {
    LPOLESTR pwszName;
    ITypeInfo* pTypeInfo;
    DBORDINAL iOrdinal;
    DBCOLUMNFLAGS dwFlags;
    DBLENGTH ulColumnSize;
    DBTYPE wType;
    BYTE bPrecision;
    BYTE bScale;
    DBID columnid;
};
static_assert(sizeof(DBCOLUMNINFO) == 80 && offsetof(DBCOLUMNINFO, iOrdinal) == 16 &&
              offsetof(DBCOLUMNINFO, ulColumnSize) == 32 && offsetof(DBCOLUMNINFO, wType) == 40 &&
              offsetof(DBCOLUMNINFO, columnid) == 48);

struct DBPARAMS {
    void* pData;
    DB_UPARAMS cParamSets;
    HACCESSOR hAccessor;
};
static_assert(sizeof(DBPARAMS) == 24);

struct DBPARAMINFO {
    DBPARAMFLAGS dwFlags;
    DBORDINAL iOrdinal;
    LPOLESTR pwszName;
    ITypeInfo* pTypeInfo;
    DBLENGTH ulParamSize;
    DBTYPE wType;
    BYTE bPrecision;
    BYTE bScale;
};
static_assert(sizeof(DBPARAMINFO) == 48);

struct DBPARAMBINDINFO {
    LPOLESTR pwszDataSourceType;
    LPOLESTR pwszName;
    DBLENGTH ulParamSize;
    DBPARAMFLAGS dwFlags;
    BYTE bPrecision;
    BYTE bScale;
};

#define DBPARAMTYPE_INPUT 0x01
#define DBPARAMTYPE_INPUTOUTPUT 0x02
#define DBPARAMTYPE_OUTPUT 0x03
#define DBPARAMTYPE_RETURNVALUE 0x04

// ---- Value sizes and families -------------------------------------------------------------

namespace orv::platform {

// True for the integer and floating-point types, signed or not, of every size.
constexpr bool IsIntegerOrRealType(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_I8:
    case DBTYPE_UI1:
    case DBTYPE_UI2:
    case DBTYPE_UI4:
    case DBTYPE_UI8:
    case DBTYPE_R4:
    case DBTYPE_R8: return true;
    default: return false;
    }
}

// True for the types that hold a number: integers, floating point, currency and decimals.
constexpr bool IsNumericType(DBTYPE type) {
    if (IsIntegerOrRealType(type)) return true;
    switch (type) {
    case DBTYPE_CY:
    case DBTYPE_DECIMAL:
    case DBTYPE_NUMERIC:
    case DBTYPE_VARNUMERIC: return true;
    default: return false;
    }
}

// Bytes of one value of a fixed-length OLE DB type (a pointer for BSTR and interfaces);
// 0 for the variable-length types (STR, WSTR, BYTES, VARNUMERIC) and unknown ones.
constexpr DBLENGTH FixedTypeSize(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1: return 1;
    case DBTYPE_I2:
    case DBTYPE_UI2:
    case DBTYPE_BOOL: return 2;
    case DBTYPE_I4:
    case DBTYPE_UI4:
    case DBTYPE_R4:
    case DBTYPE_ERROR: return 4;
    case DBTYPE_I8:
    case DBTYPE_UI8:
    case DBTYPE_R8:
    case DBTYPE_CY:
    case DBTYPE_DATE:
    case DBTYPE_FILETIME: return 8;
    case DBTYPE_DECIMAL: return sizeof(DECIMAL);
    case DBTYPE_NUMERIC: return sizeof(DB_NUMERIC);
    case DBTYPE_GUID: return sizeof(GUID);
    case DBTYPE_DBDATE: return sizeof(DBDATE);
    case DBTYPE_DBTIME: return sizeof(DBTIME);
    case DBTYPE_DBTIMESTAMP: return sizeof(DBTIMESTAMP);
    case DBTYPE_BSTR: return sizeof(BSTR);
    case DBTYPE_VARIANT: return sizeof(VARIANT);
    case DBTYPE_IUNKNOWN:
    case DBTYPE_IDISPATCH: return sizeof(IUnknown*);
    case DBTYPE_HCHAPTER: return sizeof(HCHAPTER);
    default: return 0;
    }
}

}  // namespace orv::platform

// Widths of 64-bit Windows, and the codes that are easy to get wrong.
static_assert(sizeof(DBLENGTH) == 8 && sizeof(DBORDINAL) == 8 && sizeof(DBCOUNTITEM) == 8 &&
              sizeof(DBBYTEOFFSET) == 8 && sizeof(DBROWCOUNT) == 8 && sizeof(DBRESULTFLAG) == 8);
static_assert(sizeof(HROW) == 8 && sizeof(HACCESSOR) == 8 && sizeof(HCHAPTER) == 8);
static_assert(sizeof(DBREFCOUNT) == 4 && sizeof(DBTYPE) == 2 && sizeof(DBSTATUS) == 4);
static_assert(DBTYPE_FILETIME == 64 && DBTYPE_GUID == 72 && DBTYPE_WSTR == 130 && DBTYPE_DBTIMESTAMP == 135 &&
              DBTYPE_HCHAPTER == 136 && DBTYPE_VARNUMERIC == 139 && (DBTYPE_BYREF | DBTYPE_WSTR) == 0x4082);
static_assert(DBSTATUS_S_ISNULL == 3 && DBSTATUS_S_DEFAULT == 13 && DBSTATUS_S_IGNORE == 15 &&
              DBSTATUS_E_DOESNOTEXIST == 16);
static_assert(DBCOLUMNFLAGS_ISLONG == 0x80 && DBCOLUMNFLAGS_CACHEDEFERRED == 0x1000 && DBKIND_GUID == 6 &&
              DBACCESSOR_INHERITED == 0x10);
