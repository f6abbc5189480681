// A host program written the way Windows code is written: _T() and L"..." literals, TCHAR
// buffers, LPCTSTR parameters, CString::Format, the _tcs functions. It keeps a small parts
// list in a database file, a folder of text files and a workbook, all in the folder named
// on the command line, and reads every one back, non-ASCII names included.
//
// Apart from the include line below (on Windows: the precompiled header and <tchar.h>),
// this is the same source that builds on Windows; `make test` compiles it with
// -Wall -Wextra -Werror and runs it. docs/porting.md explains what made that possible.
//
//   windows_host <folder>        the folder must exist; its files are made anew
#include "OrvOleDb.h"

namespace {

// A row to write and to find again: an apostrophe, accents and a character beyond the
// Basic Multilingual Plane (U+1F529, two UTF-16 units) all travel through SQL text.
struct Part {
    int id;
    const wchar_t* name;
    double price;
};

const Part kParts[] = {
    {1, L"O'Brien washer", 0.05},
    {2, L"Mutter \u00DC-f\u00F6rmig", 0.10},
    {3, L"Bolt \U0001F529 M8", 0.25},
};
const int kPartCount = sizeof(kParts) / sizeof(kParts[0]);

// Prints what failed and the object's error text, and passes the outcome on.
bool Check(bool ok, OrvOleDbErrorInfo& object, LPCTSTR what) {
    if (!ok) _tprintf(_T("  %s failed:\n%s\n"), what, (LPCTSTR)object.GetErrorInfo(true));
    return ok;
}

bool Execute(OrvOleDbCommand& command, LPCTSTR sql) {
    command.SetCommandText(sql);
    return Check(command.Execute() == OrvOleDbCommand::dbTrue, command, sql);
}

// Creates the table, writes the parts with the statement builder (one insert, then an
// update that finds the row by its key), and reads them back in key order.
bool WriteAndRead(OrvOleDbConnection& connection, LPCTSTR table, LPCTSTR createSql) {
    OrvOleDbCommand command;
    command.SetConnection(&connection);
    if (!Execute(command, createSql)) return false;
    command.Close();

    OrvOleDbDDLCommand writer;
    writer.SetConnection(&connection);
    writer.SetTable(table);
    for (int i = 0; i < kPartCount; ++i) {
        writer.EmptyCols();
        writer.EmptySearch();
        writer.AddSearchCol(_T("id"), _T("%d"), kParts[i].id);
        writer.AddColumn(L"name", L"'%s'", kParts[i].name);
        writer.AddColumn(L"price", L"%.2f", kParts[i].price);
        if (!Check(writer.Insert(), writer, _T("Insert"))) return false;
    }
    writer.EmptyCols();
    writer.EmptySearch();
    writer.AddSearchCol(L"id", L"%d", 2);
    writer.AddColumn(L"price", L"%.2f", 0.12);
    if (!Check(writer.UpdateInsert(), writer, _T("UpdateInsert"))) return false;

    OrvOleDbRecordset parts(OrvOleDbRecordset::ctExternal);
    parts.SetConnection(&connection);
    if (!Check(parts.GetRecords(table, L"id, name, price", NULL, L"id"), parts, _T("GetRecords"))) return false;
    int matched = 0;
    while (parts.FetchNext() == OrvOleDbCommand::dbTrue) {
        const LONG id = parts.FieldAsLong(1);
        const CString name = parts.FieldAsStringEx(2);
        const CString price = parts.FieldAsStringEx(3);
        _tprintf(_T("  %3d  %-24s %s\n"), (int)id, (LPCTSTR)name, (LPCTSTR)price);
        if (id >= 1 && id <= kPartCount && name == kParts[id - 1].name) ++matched;
    }
    parts.Close();  // gives the lent connection up: lend it again for the next query

    // The count, through GetRecNum with a condition written as a wide literal.
    parts.SetConnection(&connection);
    if (!Check(parts.GetRecNum(table, L"price > 0.06"), parts, _T("GetRecNum"))) return false;
    LONG dearer = parts.FetchNext() == OrvOleDbCommand::dbTrue ? parts.FieldAsLong(1) : -1;
    parts.Close();

    CString summary;
    summary.Format(L"%d of %d names read back unchanged, %ld parts above 0.06", matched, kPartCount, dearer);
    _tprintf(_T("  %s\n"), (LPCTSTR)summary);
    return matched == kPartCount && dearer == 2;
}

// Opens the store that `properties` names at `dataSource`, runs the round trip on it and
// lists the tables its catalog reports.
bool RunStore(LPCTSTR title, LPCTSTR dataSource, LPCTSTR properties, LPCTSTR table, LPCTSTR createSql) {
    _tprintf(_T("%s: %s\n"), title, dataSource);
    CComBSTR init;
    if (!OrvOleDbHelper::FormatConnectString(init, dataSource, NULL, NULL, ProviderName, properties, NULL)) {
        _tprintf(_T("  no initialisation string\n"));
        return false;
    }
    OrvOleDbConnection connection;
    if (!Check(connection.OpenFromInitializationString(init, false) == S_OK, connection, _T("Open"))) return false;
    bool ok = WriteAndRead(connection, table, createSql);

    OrvOleDbTables tables;
    if (ok && Check(tables.Open(&connection, NULL, NULL, NULL, L"TABLE"), tables, _T("Tables"))) {
        CString name;
        TCHAR names[256] = _T("");
        while (tables.FetchNext()) {
            tables.GetName(name);
            if (_tcslen(names) > 0) _tcscat_s(names, _T(", "));
            _tcscat_s(names, (LPCTSTR)name);
        }
        _tprintf(_T("  tables: %s\n"), names);
        tables.Close();
    }
    connection.Close();
    return ok;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        _tprintf(_T("usage: windows_host <folder>\n"));
        return 2;
    }
    CoInitializeEx(NULL, COINIT_MULTITHREADED);

    const CString folder(argv[1]);
    TCHAR database[512];
    TCHAR workbook[512];
    _stprintf_s(database, _T("%s/plant.mdb"), (LPCTSTR)folder);
    _stprintf_s(workbook, _T("%s/parts.xlsx"), (LPCTSTR)folder);
    DeleteFileW(database);
    DeleteFileW(workbook);
    DeleteFileW(CString(folder + L"/parts.csv"));

    // A new database file, made by the provider that the initialisation string names.
    CComBSTR init;
    OrvOleDbHelper::FormatConnectString(init, database, NULL, NULL, ProviderName, MdbEngineType, NULL);
    OrvOleDbErrorInfo error;
    if (OrvOleDbConnection::CreateMdbFile(init, database, error) != S_OK) {
        _tprintf(_T("cannot create %s:\n%s\n"), database, (LPCTSTR)error.GetErrorText());
        return 1;
    }

    int failures = 0;
    if (!RunStore(_T("Database file"), database, MdbEngineType, _T("parts"),
                  _T("CREATE TABLE parts (id LONG PRIMARY KEY, name TEXT(40), price DOUBLE)")))
        ++failures;
    if (!RunStore(_T("Text folder"), folder, TextProperties, _T("[parts.csv]"),
                  _T("CREATE TABLE [parts.csv] (id LONG, name TEXT(40), price DOUBLE)")))
        ++failures;
    if (!RunStore(_T("Workbook"), workbook, ExcelProperties, _T("[parts$]"),
                  _T("CREATE TABLE [parts] (id LONG, name TEXT(40), price DOUBLE)")))
        ++failures;

    // The same file again through a file recordset, which builds the string itself.
    OrvOleDbFileRecordset again(OrvOleDbRecordset::ctPrivate, OrvOleDbFileRecordset::ftExcelReadOnly);
    if (again.Open(workbook, NULL, NULL, NULL, false) && again.GetRecNum(L"[parts$]", NULL) &&
        again.FetchNext() == OrvOleDbCommand::dbTrue) {
        _tprintf(_T("Workbook reopened read-only: %d rows\n"), (int)again.FieldAsLong(1));
    } else {
        _tprintf(_T("Workbook reopened read-only: failed\n%s\n"), (LPCTSTR)again.GetErrorInfo(true));
        ++failures;
    }
    again.Close();

    CoUninitialize();
    _tprintf(failures ? _T("%d of 3 stores failed\n") : _T("all %d stores passed\n"), failures ? failures : 3);
    return failures ? 1 : 0;
}
