// Workbooks through the library's classes: sheets, defined names and cell ranges read as
// tables from files that another program made, and every kind of write read back by that
// program (openpyxl).
#include <gtest/gtest.h>

#include <filesystem>

#include "support/holds.h"
#include "support/library_fixture.h"
#include "support/python.h"

using namespace orv::test;

namespace {

// A workbook as a spreadsheet program leaves it: a styled header, numbers, dates, booleans,
// non-ASCII text, a defined name, and a second sheet whose data starts at B3 with a
// column of mixed values.
constexpr const char* kMakeBook = R"(
import sys, datetime, openpyxl
from openpyxl.styles import Font
from openpyxl.workbook.defined_name import DefinedName
wb = openpyxl.Workbook()
ws = wb.active
ws.title = "Parts"
ws.append(["id", "name", "qty", "price", "added", "active"])
for c in ws[1]: c.font = Font(bold=True)
ws.append([1, "bolt", 10, 0.25, datetime.datetime(2024, 3, 1), True])
ws.append([2, "Mutter \u00d88", 250, 0.1, datetime.datetime(2024, 3, 2, 13, 45), False])
ws.append([3, "washer", 5, 1.5, datetime.datetime(2023, 12, 31), True])
ws["D2"].number_format = "0.00"
notes = wb.create_sheet("Notes")
notes["B3"] = "part"; notes["C3"] = "note"
notes["B4"] = 1; notes["C4"] = "first"
notes["B5"] = 3; notes["C5"] = 42
wb.defined_names.append(DefinedName("Cheap", attr_text="Parts!$A$1:$D$3"))
wb.save(sys.argv[1])
)";

// Prints every sheet's cells as "Sheet!A1=repr" lines, with bold fonts and date types marked.
constexpr const char* kDumpBook = R"(
import sys, openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
for ws in wb.worksheets:
    print("sheet", ws.title)
    for row in ws.iter_rows():
        for c in row:
            if c.value is None: continue
            flags = (" bold" if c.font and c.font.b else "") + (" date" if c.is_date else "")
            print("%s!%s=%r%s" % (ws.title, c.coordinate, c.value, flags))
for name in wb.defined_names.definedName:
    print("name", name.name, name.attr_text)
)";

class WorkbookTest : public OnDatabaseFile {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        m_book = m_dir.Path("book.xlsx");
        std::string made = RunPython(m_dir.Path("make.py"), kMakeBook, "'" + m_book + "'");
        ASSERT_EQ(made, "");
    }

    bool Open(const std::string& path, const char16_t* properties = u"Excel 12.0 Xml;HDR=YES") {
        std::u16string init =
            InitFor(orv::platform::Utf8ToUtf16(path), u"Extended Properties=\"" + std::u16string(properties) + u"\"");
        if (m_connection.OpenFromInitializationString(CComBSTR(init.c_str()), false) != S_OK) return false;
        m_command.SetConnection(&m_connection);
        return true;
    }
    Status Exec(const char16_t* sql) { return Run(sql); }
    std::string Error() { return Utf8(m_command.GetErrorInfo(true)); }

    // Every row of the result, fields as text joined by '|'.
    std::vector<std::string> Query(const char16_t* sql) {
        std::vector<std::string> rows;
        EXPECT_EQ(Exec(sql), OrvOleDbCommand::dbTrue) << Error();
        while (m_command.FetchNext() == OrvOleDbCommand::dbTrue) {
            std::string row;
            for (DBORDINAL i = 1; i <= m_command.GetColumnCount(); ++i) {
                if (i > 1) row += "|";
                row += m_command.IsNull(i) == OrvOleDbCommand::dbTrue ? "<null>" : Utf8(m_command.FieldAsString(i));
            }
            rows.push_back(row);
        }
        return rows;
    }

    std::string Dump(const std::string& path) { return RunPython(m_dir.Path("dump.py"), kDumpBook, "'" + path + "'"); }

    std::string m_book;
};

using Rows = std::vector<std::string>;

TEST_F(WorkbookTest, SheetsReadAsTypedTables) {
    ASSERT_TRUE(Open(m_book)) << Utf8(m_connection.GetErrorInfo(true));
    ASSERT_EQ(Exec(u"SELECT * FROM [Parts$] ORDER BY id"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_EQ(m_command.GetColumnCount(), 6u);
    EXPECT_EQ(m_command.GetColumnName(2), CString(u"name"));
    EXPECT_EQ(m_command.GetRawType(1), DBTYPE_R8);
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR);
    EXPECT_EQ(m_command.GetRawType(5), DBTYPE_DATE);
    EXPECT_EQ(m_command.GetRawType(6), DBTYPE_BOOL);
    m_command.Close();
    EXPECT_EQ(Query(u"SELECT id, name, qty, price, Year(added), Hour(added), active FROM [Parts$] ORDER BY id"),
              (Rows{"1.000000|bolt|10.000000|0.250000|2024|0|True",
                    "2.000000|Mutter \u00d88|250.000000|0.100000|2024|13|False",
                    "3.000000|washer|5.000000|1.500000|2023|0|True"}));
}

TEST_F(WorkbookTest, NamesRangesAndSheetsWithoutTheirDollar) {
    ASSERT_TRUE(Open(m_book));
    EXPECT_EQ(Query(u"SELECT name FROM Cheap ORDER BY id"), (Rows{"bolt", "Mutter \u00d88"}));
    EXPECT_EQ(Query(u"SELECT * FROM [Parts$B1:C3]"), (Rows{"bolt|10.000000", "Mutter \u00d88|250.000000"}));
    EXPECT_EQ(Query(u"SELECT COUNT(*) FROM Parts"), (Rows{"3"}));
    // Without a header the columns are F1, F2, ... and the first row is data.
    m_command.Close();
    m_connection.Close();
    ASSERT_TRUE(Open(m_book, u"Excel 12.0 Xml;HDR=NO"));
    EXPECT_EQ(Query(u"SELECT F1, F2 FROM [Parts$A1:B2]"), (Rows{"id|name", "1|bolt"}));
}

TEST_F(WorkbookTest, EdgesAreTrimmedAndMixedColumnsReadAsText) {
    ASSERT_TRUE(Open(m_book));
    ASSERT_EQ(Exec(u"SELECT * FROM [Notes$]"), OrvOleDbCommand::dbTrue) << Error();
    EXPECT_EQ(m_command.GetColumnCount(), 2u);
    EXPECT_EQ(m_command.GetColumnName(1), CString(u"part"));
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR);
    m_command.Close();
    // The mixed column reads every value as text; the number column as numbers.
    EXPECT_EQ(Query(u"SELECT note, part + 1 FROM [Notes$]"), (Rows{"first|2", "42|4"}));
    EXPECT_EQ(Query(u"SELECT p.name, n.note FROM [Parts$] p INNER JOIN [Notes$] n ON n.part = p.id ORDER BY p.id"),
              (Rows{"bolt|first", "washer|42"}));
    EXPECT_EQ(Query(u"SELECT SUM(qty), MAX(price) FROM [Parts$] WHERE name LIKE 'b*' OR qty > 100"),
              (Rows{"260|0.250000"}));
}

TEST_F(WorkbookTest, InsertAndUpdateLandInTheFileAndKeepEverythingElse) {
    ASSERT_TRUE(Open(m_book));
    ASSERT_EQ(Exec(u"INSERT INTO [Parts$] (id, name, qty, price, added, active) "
                   u"VALUES (4, 'nut & <bolt>', 7, 2.5, #2024-05-06 07:08:09#, True)"),
              OrvOleDbCommand::dbTrue)
        << Error();
    ASSERT_EQ(Exec(u"UPDATE [Parts$] SET qty = qty + 1, name = 'Bolt' WHERE id = 1"), OrvOleDbCommand::dbTrue)
        << Error();
    EXPECT_EQ(m_command.GetRowsAffected(), 1);
    // The connection sees its own writes.
    EXPECT_EQ(Query(u"SELECT id, name, qty FROM [Parts$] WHERE id IN (1, 4) ORDER BY id"),
              (Rows{"1.000000|Bolt|11.000000", "4.000000|nut & <bolt>|7.000000"}));
    m_command.Close();
    m_connection.Close();

    std::string dump = Dump(m_book);
    // The header keeps its style, the other sheet and the name stay as they were.
    EXPECT_TRUE(Holds(dump, {"Parts!A1='id' bold", "Parts!B2='Bolt'", "Parts!C2=11", "Parts!B5='nut & <bolt>'",
                             "Parts!E5=datetime.datetime(2024, 5, 6, 7, 8, 9) date", "Parts!F5=True", "Notes!C5=42",
                             "name Cheap Parts!$A$1:$D$3"}));
}

TEST_F(WorkbookTest, RefusedWritesLeaveTheFileAsItWas) {
    const std::string before = ReadFile(m_book);
    ASSERT_TRUE(Open(m_book));
    EXPECT_EQ(Exec(u"DELETE FROM [Parts$] WHERE id = 1"), OrvOleDbCommand::dbError);
    EXPECT_NE(Error().find("Rows cannot be deleted"), std::string::npos) << Error();
    EXPECT_EQ(Exec(u"CREATE TABLE [Parts] (a INTEGER)"), OrvOleDbCommand::dbError);
    EXPECT_NE(Error().find("already exists"), std::string::npos) << Error();
    EXPECT_EQ(Exec(u"CREATE TABLE IF NOT EXISTS [Parts] (a INTEGER)"), OrvOleDbCommand::dbTrue) << Error();
    EXPECT_EQ(Exec(u"CREATE TABLE [Bad:Name] (a INTEGER)"), OrvOleDbCommand::dbError);
    m_command.Close();
    m_connection.Close();

    ASSERT_TRUE(Open(m_book, u"Excel 12.0 Xml;HDR=YES;ReadOnly=True"));
    EXPECT_EQ(Exec(u"UPDATE [Parts$] SET qty = 0"), OrvOleDbCommand::dbError);
    EXPECT_NE(Error().find("read-only"), std::string::npos) << Error();
    EXPECT_EQ(Exec(u"CREATE TABLE [Other] (a INTEGER)"), OrvOleDbCommand::dbError);
    m_command.Close();
    m_connection.Close();
    EXPECT_EQ(ReadFile(m_book), before);
}

TEST_F(WorkbookTest, TransactionsLandAtCommitOnly) {
    const std::string before = ReadFile(m_book);
    ASSERT_TRUE(Open(m_book));
    ASSERT_TRUE(m_connection.StartTransaction());
    ASSERT_EQ(Exec(u"INSERT INTO [Parts$] (id, name) VALUES (9, 'pin')"), OrvOleDbCommand::dbTrue) << Error();
    EXPECT_EQ(ReadFile(m_book), before);
    ASSERT_TRUE(m_connection.Rollback());
    EXPECT_EQ(ReadFile(m_book), before);
    EXPECT_EQ(Query(u"SELECT COUNT(*) FROM [Parts$]"), (Rows{"3"}));

    ASSERT_TRUE(m_connection.StartTransaction());
    ASSERT_EQ(Exec(u"INSERT INTO [Parts$] (id, name) VALUES (9, 'pin')"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_EQ(Exec(u"UPDATE [Notes$] SET note = 'changed' WHERE part = 1"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_TRUE(m_connection.Commit());
    m_command.Close();
    m_connection.Close();
    std::string dump = Dump(m_book);
    EXPECT_TRUE(Holds(dump, {"Parts!B5='pin'", "Notes!C4='changed'"}));
}

TEST_F(WorkbookTest, CreateTableMakesSheetsAndNewWorkbooks) {
    ASSERT_TRUE(Open(m_book));
    ASSERT_EQ(Exec(u"CREATE TABLE [Orders] (id COUNTER, item VARCHAR(20), due DATETIME, paid YESNO)"),
              OrvOleDbCommand::dbTrue)
        << Error();
    ASSERT_EQ(Exec(u"INSERT INTO [Orders$] (id, item, due, paid) VALUES (1, 'bolts', #2025-01-02#, False)"),
              OrvOleDbCommand::dbTrue)
        << Error();
    ASSERT_EQ(Exec(u"DROP TABLE [Notes$]"), OrvOleDbCommand::dbTrue) << Error();
    m_command.Close();
    m_connection.Close();
    std::string dump = Dump(m_book);
    // The dropped sheet Notes is cleared, not removed.
    EXPECT_TRUE(Holds(dump, {"Orders!A1='id'", "Orders!B2='bolts'",
                             "Orders!C2=datetime.datetime(2025, 1, 2, 0, 0) date", "sheet Notes"}));
    EXPECT_EQ(dump.find("Notes!"), std::string::npos) << dump;

    // A workbook path where no file is yet: the first CREATE TABLE makes it.
    const std::string fresh = m_dir.Path("new.xlsx");
    ASSERT_TRUE(Open(fresh)) << Utf8(m_connection.GetErrorInfo(true));
    EXPECT_FALSE(std::filesystem::exists(fresh));
    ASSERT_EQ(Exec(u"CREATE TABLE Totals (region TEXT, amount DOUBLE)"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_EQ(Exec(u"INSERT INTO Totals (region, amount) VALUES ('north', 12.5)"), OrvOleDbCommand::dbTrue) << Error();
    EXPECT_EQ(Query(u"SELECT region, amount FROM [Totals$]"), (Rows{"north|12.500000"}));
    m_command.Close();
    m_connection.Close();
    dump = Dump(fresh);
    EXPECT_TRUE(Holds(dump, {"Totals!A2='north'", "Totals!B2=12.5"}));
}

TEST_F(WorkbookTest, SheetNamesIgnoreTheCaseOfEveryLetter) {
    const std::string fresh = m_dir.Path("names.xlsx");
    ASSERT_TRUE(Open(fresh)) << Utf8(m_connection.GetErrorInfo(true));
    ASSERT_EQ(Exec(u"CREATE TABLE [\u00DCbersicht] (name TEXT)"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_EQ(Exec(u"INSERT INTO [\u00FCbersicht$] (name) VALUES ('a')"), OrvOleDbCommand::dbTrue) << Error();
    EXPECT_EQ(Query(u"SELECT name FROM [\u00FCBERSICHT$]"), (Rows{"a"}));
    EXPECT_EQ(Query(u"SELECT name FROM [\u00DCbersicht$]"), (Rows{"a"}));
}

TEST_F(WorkbookTest, DamagedAndForeignFilesAreRefusedWithTheReason) {
    WriteFile(m_dir.Path("broken.xlsx"), ReadFile(m_book).substr(0, 300));
    EXPECT_FALSE(Open(m_dir.Path("broken.xlsx")));
    EXPECT_NE(Utf8(m_connection.GetErrorInfo(true)).find("broken.xlsx"), std::string::npos);
    WriteFile(m_dir.Path("notes.xlsx"), "just some text\n");
    EXPECT_FALSE(Open(m_dir.Path("notes.xlsx")));
    EXPECT_NE(Utf8(m_connection.GetErrorInfo(true)).find("not a workbook"), std::string::npos)
        << Utf8(m_connection.GetErrorInfo(true));
    EXPECT_FALSE(Open(m_dir.Path("missing.xls")));
    EXPECT_NE(Utf8(m_connection.GetErrorInfo(true)).find("no such file"), std::string::npos);
}

TEST_F(WorkbookTest, ARolledBackSavepointTakesOnlyItsOwnRows) {
    ASSERT_TRUE(Open(m_book));
    ASSERT_TRUE(m_connection.StartTransaction());
    ASSERT_EQ(Exec(u"INSERT INTO [Parts$] (id, name) VALUES (4, 'kept')"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_TRUE(m_connection.StartTransaction());
    ASSERT_EQ(Exec(u"INSERT INTO [Parts$] (id, name) VALUES (5, 'undone')"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_EQ(Exec(u"UPDATE [Parts$] SET name = 'undone too' WHERE id = 4"), OrvOleDbCommand::dbTrue) << Error();
    ASSERT_TRUE(m_connection.Rollback());
    EXPECT_EQ(Query(u"SELECT name FROM [Parts$] WHERE id >= 4"), (Rows{"kept"}));
    ASSERT_TRUE(m_connection.Commit());
    m_command.Close();
    m_connection.Close();
    std::string dump = Dump(m_book);
    EXPECT_NE(dump.find("Parts!B5='kept'"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("undone"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("Parts!A6"), std::string::npos) << dump;
}

TEST_F(WorkbookTest, AnotherConnectionSeesTheChangeAtItsNextStatement) {
    ASSERT_TRUE(Open(m_book));
    OrvOleDbConnection other;
    // A short wait for another writer: 100 ms.
    std::u16string init = InitFor(orv::platform::Utf8ToUtf16(m_book),
                                  u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\";Jet OLEDB:Lock Retry=10;"
                                  u"Jet OLEDB:Lock Delay=10");
    ASSERT_EQ(other.OpenFromInitializationString(CComBSTR(init.c_str()), false), S_OK);
    OrvOleDbCommand reader;
    reader.SetConnection(&other);
    auto count = [&] {
        reader.SetCommandText(CString(u"SELECT COUNT(*) FROM [Parts$]"));
        EXPECT_EQ(reader.Execute(), OrvOleDbCommand::dbTrue);
        EXPECT_EQ(reader.FetchNext(), OrvOleDbCommand::dbTrue);
        long n = reader.FieldAsLong(1);
        reader.Close();
        return n;
    };
    EXPECT_EQ(count(), 3);
    ASSERT_EQ(Exec(u"INSERT INTO [Parts$] (id, name) VALUES (4, 'pin')"), OrvOleDbCommand::dbTrue) << Error();
    EXPECT_EQ(count(), 4);

    // A transaction that writes the workbook holds it to its end: the other connection's
    // write waits, then fails as locked; once the transaction ends, it writes, on top of
    // the transaction's change.
    ASSERT_TRUE(m_connection.StartTransaction());
    ASSERT_EQ(Exec(u"INSERT INTO [Parts$] (id, name) VALUES (5, 'pending')"), OrvOleDbCommand::dbTrue) << Error();
    reader.SetCommandText(CString(u"INSERT INTO [Notes$] (part, note) VALUES (9, 'other')"));
    EXPECT_NE(reader.Execute(), OrvOleDbCommand::dbTrue);
    EXPECT_NE(Utf8(reader.GetErrorText()).find("locked by another program or connection"), std::string::npos)
        << Utf8(reader.GetErrorText());
    reader.Close();
    ASSERT_TRUE(m_connection.Commit()) << Utf8(m_connection.GetErrorText());
    ASSERT_EQ(reader.Execute(), OrvOleDbCommand::dbTrue) << Utf8(reader.GetErrorInfo(true));
    reader.Close();
    m_command.Close();
    const std::string dump = Dump(m_book);
    EXPECT_TRUE(Holds(dump, {"Parts!B6='pending'", "Notes!C6='other'"}));
    reader.SetConnection(nullptr);
    other.Close();
}

TEST_F(WorkbookTest, CatalogsListSheetsNamesAndTheirColumns) {
    ASSERT_TRUE(Open(m_book));
    OrvOleDbTables tables;
    std::vector<CString> names;
    ASSERT_TRUE(tables.Open(&m_connection, nullptr, nullptr, nullptr, u"TABLE")) << Utf8(tables.GetErrorText());
    ASSERT_TRUE(tables.GetTableList(names));
    std::vector<std::string> found;
    for (const CString& name : names) found.push_back(Utf8(name));
    EXPECT_EQ(found, (std::vector<std::string>{"Cheap", "Notes$", "Parts$"}));

    OrvOleDbColumns columns;
    ASSERT_TRUE(columns.Open(&m_connection, nullptr, nullptr, u"Parts$", nullptr, false))
        << Utf8(columns.GetErrorText());
    std::vector<std::string> described;
    while (columns.FetchNext()) {
        CString name;
        columns.GetName(name);
        described.push_back(Utf8(name) + (columns.IsDataType(DBTYPE_R8)     ? ":R8"
                                          : columns.IsDataType(DBTYPE_DATE) ? ":DATE"
                                                                            : ""));
    }
    EXPECT_EQ(described, (std::vector<std::string>{"id:R8", "name", "qty:R8", "price:R8", "added:DATE", "active"}));
}

// Workbooks that a spreadsheet program saved (scripts/fixtures/make_office_workbooks.sh):
// its own shared strings, styles, defined names and computed formula values.
TEST_F(WorkbookTest, WorkbooksSavedByASpreadsheetProgram) {
    const std::string fixtures = std::string(ORV_FIXTURES) + "/workbooks/";
    ASSERT_TRUE(Open(fixtures + "office.xlsx")) << Utf8(m_connection.GetErrorInfo(true));
    EXPECT_EQ(Query(u"SELECT [order], customer, Format(placed, 'yyyy-mm-dd hh:nn'), total, shipped FROM [Orders$]"),
              (Rows{"1001.000000|\u00c5ngstr\u00f6m AB|2024-01-15 00:00|7.500000|True",
                    "1002.000000|Nakamura \u682a\u5f0f\u4f1a\u793e|2024-02-29 09:30|9.000000|False",
                    "1003.000000|O'Brien & Sons|2023-12-31 00:00|199.990000|True"}));
    EXPECT_EQ(Query(u"SELECT value FROM [Summary$] WHERE label = 'revenue'"), (Rows{"216.490000"}));
    EXPECT_EQ(Query(u"SELECT COUNT(*) FROM Customers"), (Rows{"3"}));
    m_command.Close();
    m_connection.Close();

    // The same workbook saved as .xls reads the same, formulas and booleans included, and
    // refuses writes; so does a small one that SheetJS wrote (its streams in the mini stream).
    for (const char* file : {"office.xls", "sheetjs.xls"}) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(Open(fixtures + file)) << Utf8(m_connection.GetErrorInfo(true));
        EXPECT_TRUE(m_connection.IsReadOnly());
        EXPECT_EQ(Query(u"SELECT [order], customer, Format(placed, 'yyyy-mm-dd hh:nn'), total, shipped FROM [Orders$] "
                        u"ORDER BY [order] DESC"),
                  (Rows{"1003.000000|O'Brien & Sons|2023-12-31 00:00|199.990000|True",
                        "1002.000000|Nakamura \u682a\u5f0f\u4f1a\u793e|2024-02-29 09:30|9.000000|False",
                        "1001.000000|\u00c5ngstr\u00f6m AB|2024-01-15 00:00|7.500000|True"}));
        if (std::string(file) == "office.xls") {
            EXPECT_EQ(Query(u"SELECT value FROM [Summary$] WHERE label = 'revenue'"), (Rows{"216.490000"}));
        }
        m_command.Close();
        m_connection.Close();
    }
    ASSERT_TRUE(Open(fixtures + "office.xls"));
    EXPECT_EQ(Exec(u"UPDATE [Orders$] SET qty = 1"), OrvOleDbCommand::dbError);
    EXPECT_NE(Error().find("an .xls workbook is read, never written"), std::string::npos) << Error();
}

// The file format counts a 29 February 1900 that never was; dates before March 1900 keep
// their day both ways.
// Doubles at their ends and dates at the ends of what a workbook holds come back exactly,
// also after the file is written and opened again.
TEST_F(WorkbookTest, ValuesAtTheEdgesOfTheirTypesRoundTrip) {
    ASSERT_TRUE(Open(m_book));
    ASSERT_EQ(Exec(u"CREATE TABLE Edges (id LONG, r DOUBLE, d DATETIME, code TEXT(10))"), OrvOleDbCommand::dbTrue)
        << Error();
    for (const char16_t* sql :
         {u"INSERT INTO [Edges$] VALUES (1, 1.7976931348623157e308, #1900-01-01#, '08123')",
          u"INSERT INTO [Edges$] VALUES (2, 4.9406564584124654e-324, #12/31/9999 11:59:59 PM#, '')",
          u"INSERT INTO [Edges$] VALUES (3, 0.1 + 0.2, #2024-03-02 13:30#, NULL)"})
        ASSERT_EQ(Exec(sql), OrvOleDbCommand::dbTrue) << Error();
    m_command.Close();
    m_connection.Close();
    ASSERT_TRUE(Open(m_book));
    ASSERT_EQ(Exec(u"SELECT r, d, code FROM [Edges$] ORDER BY id"), OrvOleDbCommand::dbTrue) << Error();
    const double reals[] = {1.7976931348623157e308, 4.9406564584124654e-324, 0.1 + 0.2};
    const WORD years[] = {1900, 9999, 2024};
    for (int row = 0; row < 3; ++row) {
        ASSERT_EQ(m_command.FetchNext(), OrvOleDbCommand::dbTrue);
        EXPECT_EQ(m_command.FieldAsDouble(1), reals[row]) << "row " << row + 1;
        VARIANT v;
        ASSERT_TRUE(m_command.FieldAsVariant(2, v));
        SYSTEMTIME st = {};
        ASSERT_TRUE(VariantTimeToSystemTime(v.date, &st));
        EXPECT_EQ(st.wYear, years[row]);
    }
    EXPECT_EQ(Query(u"SELECT code FROM [Edges$] WHERE id = 1"), (Rows{"08123"}));
}

TEST_F(WorkbookTest, DatesOfEarly1900KeepTheirDay) {
    ASSERT_TRUE(Open(m_book));
    ASSERT_EQ(Exec(u"CREATE TABLE Early (d DATETIME)"), OrvOleDbCommand::dbTrue) << Error();
    for (const char16_t* sql :
         {u"INSERT INTO [Early$] (d) VALUES (#1900-01-15#)", u"INSERT INTO [Early$] (d) VALUES (#1900-03-01#)"})
        ASSERT_EQ(Exec(sql), OrvOleDbCommand::dbTrue) << Error();
    m_command.Close();
    m_connection.Close();
    const std::string dump = Dump(m_book);
    EXPECT_TRUE(Holds(dump, {"Early!A2=datetime.datetime(1900, 1, 15, 0, 0) date",
                             "Early!A3=datetime.datetime(1900, 3, 1, 0, 0) date"}));
    ASSERT_TRUE(Open(m_book));
    EXPECT_EQ(Query(u"SELECT Format(d, 'yyyy-mm-dd') FROM [Early$]"), (Rows{"1900-01-15", "1900-03-01"}));
}

}  // namespace
