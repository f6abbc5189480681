// OrvOleDbHelper: builds OLE DB initialisation strings, and the table of text constants
// that goes into them (the provider's name and the provider properties for database files,
// workbooks and delimited text files) together with the recordset's statement templates.
//
// The constants are wide strings with program lifetime, never changed. They sit at namespace
// scope, not inside the class, because host code written for the Windows library names them
// unqualified (`ProviderName`, `ExcelProperties`); being `inline constexpr`, every unit sees
// the same object and nothing is exported or initialised at load. None of the connection
// string constants ends with ";": FormatConnectString adds the final one.
//
// FormatConnectString has no state; any thread may call it at any time.
#pragma once

#include "platform/platform.h"

// The provider of every file that the library opens by type.
inline constexpr const WCHAR* ProviderName = u"Microsoft.ACE.OLEDB.12.0";
// Database files (engine type 5 is the Jet 4 format of .mdb files).
inline constexpr const WCHAR* MdbEngineType = u"Jet OLEDB:Engine Type=5";
// Workbooks, read/write and read-only.
inline constexpr const WCHAR* ExcelProperties = u"Extended Properties='Excel 8.0;HDR=YES;IMEX=0'";
inline constexpr const WCHAR* ExcelReadOnlyProperties = u"Extended Properties='Excel 8.0;HDR=YES;IMEX=0;ReadOnly=True'";
// Delimited text files.
inline constexpr const WCHAR* TextProperties = u"Extended Properties='text;HDR=YES;FMT=Delimited'";

// Statement templates of the recordset: column list and table, table, condition, order.
inline constexpr const WCHAR* SelectTemplate = u"SELECT %s FROM %s";
inline constexpr const WCHAR* CountTemplate = u"SELECT COUNT(*) FROM %s";
inline constexpr const WCHAR* WhereTemplate = u" WHERE %s";
inline constexpr const WCHAR* OrderByTemplate = u" ORDER BY %s";

class ORV_API OrvOleDbHelper {
public:
    OrvOleDbHelper() {}
    ~OrvOleDbHelper() {}
    OrvOleDbHelper& operator=(const OrvOleDbHelper&) { return *this; }

    // Builds "Provider=<provider>;Data Source=<dataSource>;" followed by "User ID=<userId>;",
    // "Password=<password>;", `properties` and `moreProperties` for those that are not null,
    // and makes the text end with ";". Values are copied verbatim (nothing is quoted), and
    // `properties` and `moreProperties` are joined without a separator: each carries its own.
    // False, with `out` untouched, when `dataSource` or `provider` is null or no memory is
    // left for the text; throws CMemoryException when `out` cannot take the finished text.
    static bool FormatConnectString(CComBSTR& out, const WCHAR* dataSource, const WCHAR* userId, const WCHAR* password,
                                    const WCHAR* provider, const WCHAR* properties, const WCHAR* moreProperties);
    // The same with wchar_t text (L"...") among the texts: converted, then the member above.
    template <class... Text>
    requires orv::platform::CallWithUtf32Text<Text...>
    static bool FormatConnectString(CComBSTR& out, const Text&... text) {
        return FormatConnectString(out, orv::platform::Utf16Text(text)...);
    }
};
