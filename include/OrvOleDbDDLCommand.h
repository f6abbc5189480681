// OrvOleDbDDLCommand: writes rows without hand-written SQL. The host names a table, adds
// column/value pairs to the column list (what to set) and the search list (which rows),
// and asks for an INSERT, UPDATE, DELETE or an update that falls back to an insert.
//
// Values are stored as SQL literal text exactly as they will appear in the statement: the
// host chooses the literal form through the printf-style format it passes (u"'%s'" for a
// text, u"%d" for a number, u"NULL", u"Date()"). Inside a quoted literal the library
// doubles single quotes. The lists, the table name and the rendered fragments persist
// across statements until the host clears them.
//
// Ownership: the object owns its lists, its format buffer and its command part; the
// connection is lent (SetConnection), as for every command. One thread at a time.
#pragma once

#include <cstdarg>
#include <vector>

#include "OrvOleDbCommand.h"

class ORV_API OrvOleDbDDLCommand : public OrvOleDbCommand {
public:
    // One column and its value as SQL literal text.
    struct _ColValueMap {
        CString m_column;
        CString m_value;
    };

    OrvOleDbDDLCommand();
    virtual ~OrvOleDbDDLCommand();

    // Formats a value from `format` and the arguments (%s takes a wide string) and adds it
    // to the column list, replacing the value of a column of the same name (in any case).
    // A value is cut to 204,799 characters; a quoted literal cut so is closed at the cut
    // (its last character becomes the quote), so that it stays one value.
    void AddColumn(const WCHAR* column, const WCHAR* format, ...);
    void AddColumnV(const WCHAR* column, const WCHAR* format, va_list args);
    // The same for the search list.
    void AddSearchCol(const WCHAR* column, const WCHAR* format, ...);
    void AddSearchColV(const WCHAR* column, const WCHAR* format, va_list args);
    // The four with a wchar_t format (L"'%s'"), whose %s and %c read wchar_t text as a wide
    // format does on Windows; %S and %hs still read narrow text.
    void AddColumn(const WCHAR* column, const wchar_t* format, ...);
    void AddColumnV(const WCHAR* column, const wchar_t* format, va_list args);
    void AddSearchCol(const WCHAR* column, const wchar_t* format, ...);
    void AddSearchColV(const WCHAR* column, const wchar_t* format, va_list args);
    // A wchar_t column name (with either format): converted, then one of the members above.
    template <orv::platform::Utf32Text Column, class FormatChar, class... Args>
    void AddColumn(const Column& column, const FormatChar* format, Args... args) {
        AddColumn(orv::platform::Utf16Text(column).Get(), format, args...);
    }
    template <orv::platform::Utf32Text Column, class FormatChar, class... Args>
    void AddSearchCol(const Column& column, const FormatChar* format, Args... args) {
        AddSearchCol(orv::platform::Utf16Text(column).Get(), format, args...);
    }
    // Values added from now on that are empty, or an empty quoted literal, become NULL.
    void EmptyAsNull(bool emptyAsNull);
    void SetTable(const WCHAR* table);
    template <orv::platform::Utf32Text Text>
    void SetTable(const Text& table) {
        SetTable(orv::platform::Utf16Text(table).Get());
    }
    // Clears the search list, the column list and the table name.
    void Empty();
    void EmptyCols();
    void EmptySearch();

    // INSERT INTO t (search columns, columns) VALUES (their values); true when executed.
    bool Insert();
    // UPDATE t SET columns WHERE search columns.
    bool Update();
    // DELETE FROM t WHERE search columns.
    bool Delete();
    // Counts the rows the search list matches; updates them when there are any, inserts
    // otherwise. The count's result is closed before the update or insert runs.
    bool UpdateInsert();

protected:
    void AddColumnValue(std::vector<_ColValueMap>& list, const WCHAR* column, const WCHAR* value);
    // Doubles every single quote inside a value that is a quoted literal ('...').
    static void VerifyColumnData(CString& value);
    // An empty value, or the two characters '', becomes NULL.
    void SetNullEmptyCol(CString& value);
    // Column names, values, "name = value" items joined by ",\n", and by "\n AND ".
    const CString& GetColList(std::vector<_ColValueMap>& list, bool append);
    const CString& GetValueList(std::vector<_ColValueMap>& list, bool append);
    const CString& GetSetList(std::vector<_ColValueMap>& list);
    const CString& GetWhereList(std::vector<_ColValueMap>& list);

    unsigned __int64 m_heapSize;
    WCHAR* m_heap;
    std::vector<_ColValueMap> m_columns;
    std::vector<_ColValueMap> m_searchCols;
    CString m_table;
    CString m_listText[4];  // set list, where list, column-name list, value list
    bool m_emptyAsNull;

private:
    OrvOleDbDDLCommand(const OrvOleDbDDLCommand&);
    OrvOleDbDDLCommand& operator=(const OrvOleDbDDLCommand&);

    // Replaces the format buffer by one 10240 characters larger; its content is lost.
    bool ManageHeap();
    // Formats with a UTF-16 or a wchar_t format.
    template <class FormatChar>
    void AddValueV(std::vector<_ColValueMap>& list, const WCHAR* column, const FormatChar* format, va_list args);
    bool Run(const CString& statement);
};
