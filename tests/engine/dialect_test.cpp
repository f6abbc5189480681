// Statements in the Windows data engine's dialect run on a real database file through the
// engine's commands: DDL, DML, queries with each literal form and function, and
// auto-increment columns with a seed and a step.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>
#include <vector>

#include "support/engine_session.h"
#include "support/query_text.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;
using orv::platform::Utf8ToUtf16;

namespace {

class DialectTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_path = m_dir.Path("plant.mdb");
        MakeDatabase(m_path,
                     "CREATE TABLE people(id INTEGER PRIMARY KEY, first TEXT(20), last TEXT(20), born DATETIME, "
                     "active YESNO, salary CURRENCY);"
                     "INSERT INTO people VALUES(1, 'Ann', 'Lee', '1980-03-01', -1, 1000.5);"
                     "INSERT INTO people VALUES(2, 'Bob', NULL, '1975-12-31 08:30:00', 0, 2000);"
                     "INSERT INTO people VALUES(3, 'Cy', 'Tan', NULL, -1, NULL);"
                     "INSERT INTO people VALUES(4, 'Di', 'Ng', '2001-07-04', 0, 50);");
        m_session = OpenSession(m_dir.WPath("plant.mdb"));
    }
    void TearDown() override {
        m_session.Release();
        CoUninitialize();
    }

    void Exec(const std::string& sql, DBROWCOUNT* affected = nullptr) {
        std::u16string text = Utf8ToUtf16(sql);
        ASSERT_EQ(RunSql(m_session, text.c_str(), nullptr, affected), S_OK) << sql << ": " << Utf16ToUtf8(LastErrorDescription());
    }

    // Every row's first column as text ("NULL" for a null).
    std::vector<std::string> Column(const std::string& sql) {
        std::u16string text = Utf8ToUtf16(sql);
        Result result = QueryText(m_session, text.c_str());
        if (result.columns.empty()) return {"<error>"};
        std::vector<std::string> out;
        for (const auto& row : result.rows) out.push_back(row[0] == u"<null>" ? "NULL" : Utf16ToUtf8(row[0]));
        return out;
    }

    std::string Value(const std::string& sql) {
        auto rows = Column(sql);
        return rows.size() == 1 ? rows[0] : "<" + std::to_string(rows.size()) + " rows>";
    }

    HRESULT Fails(const std::string& sql) {
        std::u16string text = Utf8ToUtf16(sql);
        return RunSql(m_session, text.c_str());
    }

    TempDir m_dir;
    std::string m_path;
    CComPtr<IOpenRowset> m_session;
};

using Rows = std::vector<std::string>;

TEST_F(DialectTest, TopLiteralsAndOperators) {
    EXPECT_EQ(Column("SELECT TOP 2 first FROM people ORDER BY id DESC"), (Rows{"Di", "Cy"}));
    EXPECT_EQ(Column("SELECT TOP 50 PERCENT first FROM people ORDER BY first"), (Rows{"Ann", "Bob"}));
    EXPECT_EQ(Column("SELECT TOP 26 PERCENT first FROM people ORDER BY first"), (Rows{"Ann", "Bob"}));
    EXPECT_EQ(Column("SELECT first FROM people WHERE id IN (SELECT TOP 1 id FROM people ORDER BY id DESC)"), (Rows{"Di"}));
    EXPECT_EQ(Column("SELECT first FROM people WHERE born = #3/1/1980#"), (Rows{"Ann"}));
    EXPECT_EQ(Column("SELECT first FROM people WHERE born > #1975-12-31 08:00# AND born < #12/31/1975 9:00 AM#"), (Rows{"Bob"}));
    EXPECT_EQ(Column("SELECT first & ' ' & last FROM people ORDER BY id"), (Rows{"Ann Lee", "Bob ", "Cy Tan", "Di Ng"}));
    EXPECT_EQ(Value("SELECT NULL & NULL"), "NULL");
    EXPECT_EQ(Value("SELECT 1 + 2 & 'x'"), "3x");
    EXPECT_EQ(Column("SELECT first FROM people WHERE active = True ORDER BY id"), (Rows{"Ann", "Cy"}));
    EXPECT_EQ(Column("SELECT first FROM people WHERE active = No AND first <> 'Bob'"), (Rows{"Di"}));
    EXPECT_EQ(Column("SELECT first FROM people WHERE first LIKE '?i*' OR last LIKE 'T*'"), (Rows{"Cy", "Di"}));
    EXPECT_EQ(Column("SELECT 'TOP 1 & #1/1/2000#' AS [a & b]"), (Rows{"TOP 1 & #1/1/2000#"}));
    EXPECT_EQ(Value("SELECT 7 Mod 3"), "1");
    EXPECT_EQ(Value("SELECT 1.5 & 'x'"), "1.5x");
    EXPECT_EQ(Column("SELECT TOP 1 first FROM people WHERE id < 3 UNION ALL SELECT TOP 2 last FROM people WHERE id > 2"),
              (Rows{"Ann", "Tan", "Ng"}));
    EXPECT_EQ(Column("SELECT first FROM people WHERE last LIKE \"N*\""), (Rows{"Di"}));
    // A malformed date literal fails with the literal named.
    EXPECT_EQ(Fails("SELECT * FROM people WHERE born = #2/30/2024#"), DB_E_ERRORSINCOMMAND);
    EXPECT_NE(Utf16ToUtf8(LastErrorDescription()).find("#2/30/2024#"), std::string::npos);
}

TEST_F(DialectTest, TextFileNamesWithHash) {
    Exec("CREATE TABLE [parts.csv] (n LONG)");
    Exec("INSERT INTO parts#csv VALUES (5)");
    EXPECT_EQ(Value("SELECT n FROM parts#csv"), "5");
}

TEST_F(DialectTest, DateFunctions) {
    EXPECT_EQ(Value("SELECT Year(born) & '-' & Month(born) & '-' & Day(born) FROM people WHERE id = 1"), "1980-3-1");
    EXPECT_EQ(Value("SELECT Hour(born) * 100 + Minute(born) FROM people WHERE id = 2"), "830");
    EXPECT_EQ(Value("SELECT Second(#1/1/2000 10:11:12#)"), "12");
    EXPECT_EQ(Value("SELECT Year(born) FROM people WHERE id = 3"), "NULL");
    EXPECT_EQ(Value("SELECT Weekday(#3/1/2024#)"), "6");  // a Friday, Sunday being 1
    EXPECT_EQ(Value("SELECT Weekday(#3/1/2024#, 2)"), "5");
    EXPECT_EQ(Value("SELECT DateAdd('m', 1, #1/31/2024#)"), "2024-02-29");
    EXPECT_EQ(Value("SELECT DateAdd('yyyy', -1, '2024-02-29')"), "2023-02-28");
    EXPECT_EQ(Value("SELECT DateAdd('d', 1, #12/31/2023 23:00#)"), "2024-01-01 23:00:00");
    EXPECT_EQ(Value("SELECT DateAdd('h', 2, #12/31/2023 23:00#)"), "2024-01-01 01:00:00");
    EXPECT_EQ(Value("SELECT DateAdd('q', 1, #11/15/2023#)"), "2024-02-15");
    EXPECT_EQ(Value("SELECT DateAdd('ww', 2, #1/1/2024#)"), "2024-01-15");
    EXPECT_EQ(Value("SELECT DateAdd('n', 90, 45352.5)"), "2024-03-01 13:30:00");  // an OLE date number
    EXPECT_EQ(Value("SELECT DateDiff('yyyy', #12/31/2023#, #1/1/2024#)"), "1");
    EXPECT_EQ(Value("SELECT DateDiff('d', #3/1/2024#, #2/1/2024#)"), "-29");
    EXPECT_EQ(Value("SELECT DateDiff('m', #1/31/2024#, #2/1/2024#)"), "1");
    EXPECT_EQ(Value("SELECT DateDiff('h', #1/1/2024 23:59#, #1/2/2024 00:01#)"), "1");
    EXPECT_EQ(Value("SELECT DateDiff('ww', #3/2/2024#, #3/3/2024#)"), "1");  // Saturday to Sunday
    EXPECT_EQ(Value("SELECT DatePart('q', #8/15/2024#)"), "3");
    EXPECT_EQ(Value("SELECT DatePart('y', #2/1/2024#)"), "32");
    EXPECT_EQ(Value("SELECT DateSerial(2024, 13, 1)"), "2025-01-01");
    EXPECT_EQ(Value("SELECT DateSerial(2024, 3, 0)"), "2024-02-29");
    EXPECT_EQ(Value("SELECT CDate('3/1/2024 1:05 PM')"), "2024-03-01 13:05:00");
    EXPECT_EQ(Value("SELECT Len(Now()) > 10"), "1");
    EXPECT_EQ(Value("SELECT Date() = date('now', 'localtime')"), "1");
    EXPECT_EQ(Fails("SELECT DateAdd('x', 1, #1/1/2024#)"), DB_E_ERRORSINCOMMAND);
}

TEST_F(DialectTest, LogicAndTextFunctions) {
    EXPECT_EQ(Column("SELECT IIf(active, 'on', 'off') FROM people ORDER BY id"), (Rows{"on", "off", "on", "off"}));
    EXPECT_EQ(Column("SELECT Nz(last, '?') FROM people ORDER BY id"), (Rows{"Lee", "?", "Tan", "Ng"}));
    EXPECT_EQ(Value("SELECT Nz(NULL)"), "");
    EXPECT_EQ(Column("SELECT IsNull(salary) FROM people ORDER BY id"), (Rows{"0", "0", "-1", "0"}));
    EXPECT_EQ(Value("SELECT Len('héllo')"), "5");
    EXPECT_EQ(Value("SELECT Len(NULL)"), "NULL");
    EXPECT_EQ(Value("SELECT Left('héllo', 2) & '|' & Right('héllo', 3) & '|' & Mid('héllo', 2, 3) & '|' & Mid('abc', 2)"),
              "hé|llo|éll|bc");
    EXPECT_EQ(Value("SELECT Mid('abc', 9) = ''"), "1");
    EXPECT_EQ(Value("SELECT InStr('Hello', 'L')"), "3");
    EXPECT_EQ(Value("SELECT InStr(4, 'Hello', 'l')"), "4");
    EXPECT_EQ(Value("SELECT InStr(1, 'Hello', 'L', 0)"), "0");
    EXPECT_EQ(Value("SELECT UCase('abcé') & LCase('XY')"), "ABCÉxy");
    EXPECT_EQ(Value("SELECT '[' & Trim('  a  ') & LTrim('  b ') & RTrim(' c  ') & ']'"), "[ab  c]");
    EXPECT_EQ(Value("SELECT Replace('a-b-c', '-', '+')"), "a+b+c");
    EXPECT_EQ(Value("SELECT '[' & Space(3) & String(3, '*') & ']'"), "[   ***]");
    EXPECT_EQ(Value("SELECT StrComp('abc', 'ABC') & StrComp('abc', 'ABC', 0) & StrComp('a', 'b')"), "01-1");
}

TEST_F(DialectTest, ConversionAndNumberFunctions) {
    EXPECT_EQ(Value("SELECT Val('12abc') + Val(' 1 2.5x') + Val('abc')"), "24.5");
    EXPECT_EQ(Value("SELECT Val('&HFF')"), "255");
    EXPECT_EQ(Value("SELECT Str(42) & '|' & Str(-1.5)"), " 42|-1.5");
    EXPECT_EQ(Value("SELECT CStr(2.5) & CStr(3)"), "2.53");
    EXPECT_EQ(Value("SELECT CInt(2.5) & ',' & CInt(3.5) & ',' & CLng('-7.5')"), "2,4,-8");
    EXPECT_EQ(Fails("SELECT CInt(40000)"), DB_E_ERRORSINCOMMAND);
    EXPECT_EQ(Value("SELECT CDbl('1.25') * 2"), "2.5");
    EXPECT_EQ(Value("SELECT CCur(1.234567)"), "1.2346");
    EXPECT_EQ(Value("SELECT CBool(5) & CBool(0) & CBool('True')"), "-10-1");
    EXPECT_EQ(Value("SELECT Int(-2.5) & ',' & Fix(-2.5) & ',' & Int(7)"), "-3,-2,7");
    EXPECT_EQ(Value("SELECT Abs(-3) & Sgn(-0.5) & Sgn(0) & Sgn(9)"), "3-101");
    EXPECT_EQ(Value("SELECT Round(2.5) & ',' & Round(3.5) & ',' & Round(1.2345, 2) & ',' & Round(NULL)"), "2,4,1.23,");
    EXPECT_EQ(Value("SELECT Format(1234.5, '#,##0.00')"), "1,234.50");
    EXPECT_EQ(Value("SELECT Format(0.256, 'Percent')"), "25.60%");
    EXPECT_EQ(Value("SELECT Format(-1234.5, 'Currency')"), "($1,234.50)");
    EXPECT_EQ(Value("SELECT Format(3, '000')"), "003");
    EXPECT_EQ(Value("SELECT Format(-3.14159, '0.0;(0.0)') & Format(0.5, '#.##')"), "(3.1).5");
    EXPECT_EQ(Value("SELECT Format(#3/1/2024 13:05#, 'yyyy-mm-dd hh:nn')"), "2024-03-01 13:05");
    EXPECT_EQ(Value("SELECT Format(born, 'dd/mm/yyyy') FROM people WHERE id = 2"), "31/12/1975");
    EXPECT_EQ(Value("SELECT Format(#3/1/2024#, 'Long Date')"), "Friday, March 1, 2024");
    EXPECT_EQ(Value("SELECT Format(#3/1/2024#, 'Short Date')"), "3/1/2024");
    EXPECT_EQ(Value("SELECT Format(#3/1/2024 13:05#, 'h:nn AM/PM')"), "1:05 PM");
    EXPECT_EQ(Value("SELECT Format(NULL, '0')"), "NULL");
    EXPECT_EQ(Value("SELECT Format(salary, \"0.0\") FROM people WHERE id = 1"), "1000.5");
}

TEST_F(DialectTest, DdlWithWindowsTypeNames) {
    Exec("CREATE TABLE Parts (PartID COUNTER CONSTRAINT pk PRIMARY KEY, Code TEXT(10) NOT NULL UNIQUE, "
         "Descr MEMO, Qty SHORT DEFAULT 0, Price CURRENCY, Made DATETIME, Ok YESNO DEFAULT Yes, Ref GUID, "
         "Pic LONGBINARY, Ratio DOUBLE, Small SINGLE, B BYTE)");
    Exec("CREATE UNIQUE INDEX ixCode ON Parts (Code)");
    Exec("CREATE INDEX ixMade ON Parts (Made DESC)");
    DBROWCOUNT affected = 0;
    Exec("INSERT INTO Parts (Code, Made) VALUES ('A1', #1/2/2024#)", &affected);
    EXPECT_EQ(affected, 1);
    Exec("INSERT INTO Parts (Code, Price) VALUES ('B2', 9.99)");
    EXPECT_EQ(Column("SELECT PartID & ':' & Code & ':' & Qty & ':' & Ok FROM Parts ORDER BY PartID"), (Rows{"1:A1:0:-1", "2:B2:0:-1"}));
    EXPECT_NE(Fails("INSERT INTO Parts (Code) VALUES ('A1')"), S_OK);  // unique
    EXPECT_NE(Fails("INSERT INTO Parts (Qty) VALUES (1)"), S_OK);      // not null
    Exec("ALTER TABLE Parts ADD COLUMN Note TEXT(30)");
    Exec("UPDATE Parts SET Note = 'n' & PartID WHERE Made = #2024-01-02#");
    EXPECT_EQ(Value("SELECT Note FROM Parts WHERE Code = 'A1'"), "n1");
    Exec("ALTER TABLE Parts DROP COLUMN Note");
    // Text that looks like a number stays text in a MEMO column.
    Exec("UPDATE Parts SET Descr = '00123' WHERE Code = 'A1'");
    EXPECT_EQ(Value("SELECT Descr FROM Parts WHERE Code = 'A1'"), "00123");
    EXPECT_EQ(Value("SELECT typeof(Descr) FROM Parts WHERE Code = 'A1'"), "text");
    Exec("DROP INDEX ixMade ON Parts");
    Exec("DROP TABLE Parts");
    EXPECT_EQ(Value("SELECT count(*) FROM sqlite_master WHERE name IN ('Parts', 'ixMade')"), "0");
}

TEST_F(DialectTest, CounterSeedAndStepAcrossInsertsAndRollback) {
    Exec("CREATE TABLE Orders (ID COUNTER(100, 10), Item TEXT(20), CONSTRAINT pk PRIMARY KEY (ID))");
    Exec("INSERT INTO Orders (Item) VALUES ('a')");
    Exec("INSERT INTO Orders (Item) VALUES ('b'), ('c')");
    EXPECT_EQ(Column("SELECT ID FROM Orders ORDER BY ID"), (Rows{"100", "110", "120"}));
    EXPECT_EQ(Value("SELECT seed & ',' & step FROM orv_identity WHERE table_name = 'Orders' AND column_name = 'ID'"), "100,10");

    // A rolled-back insert leaves the sequence where it was.
    CComPtr<ITransactionLocal> transaction;
    ASSERT_EQ(m_session.QueryInterface(&transaction), S_OK);
    ASSERT_EQ(transaction->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr), S_OK);
    Exec("INSERT INTO Orders (Item) VALUES ('gone')");
    EXPECT_EQ(Value("SELECT max(ID) FROM Orders"), "130");
    ASSERT_EQ(transaction->Abort(nullptr, FALSE, FALSE), S_OK);
    Exec("INSERT INTO Orders (Item) VALUES ('d')");
    EXPECT_EQ(Value("SELECT ID FROM Orders WHERE Item = 'd'"), "130");

    // An explicit value on the grid moves the sequence on; one off the grid stays as written.
    Exec("INSERT INTO Orders (ID, Item) VALUES (500, 'e')");
    Exec("INSERT INTO Orders (Item) VALUES ('f')");
    EXPECT_EQ(Value("SELECT ID FROM Orders WHERE Item = 'f'"), "510");
    Exec("INSERT INTO Orders (ID, Item) VALUES (515, 'g')");
    EXPECT_EQ(Value("SELECT ID FROM Orders WHERE Item = 'g'"), "515");
    Exec("DELETE FROM Orders WHERE ID >= 500");
    Exec("INSERT INTO Orders (Item) VALUES ('h')");
    EXPECT_EQ(Value("SELECT ID FROM Orders WHERE Item = 'h'"), "520");

    // Plain COUNTER and IDENTITY(seed, step) in other tables; the seed applies to an empty table.
    Exec("CREATE TABLE Plain (N AUTOINCREMENT PRIMARY KEY, X LONG)");
    Exec("INSERT INTO Plain (X) VALUES (1), (2)");
    EXPECT_EQ(Column("SELECT N FROM Plain ORDER BY N"), (Rows{"1", "2"}));
    Exec("CREATE TABLE Ident ([Key No] IDENTITY(5, 1), X LONG)");
    Exec("INSERT INTO Ident (X) VALUES (1)");
    Exec("INSERT INTO Ident (X) VALUES (2)");
    EXPECT_EQ(Column("SELECT [Key No] FROM Ident ORDER BY 1"), (Rows{"5", "6"}));
    EXPECT_EQ(Value("SELECT count(*) FROM orv_identity"), "3");

    // A table dropped and made again with another seed starts over; the old row goes.
    Exec("DROP TABLE Ident");
    Exec("CREATE TABLE Ident (K COUNTER(1000, 5), X LONG)");
    Exec("INSERT INTO Ident (X) VALUES (1), (2)");
    EXPECT_EQ(Column("SELECT K FROM Ident ORDER BY 1"), (Rows{"1000", "1005"}));
    EXPECT_EQ(Column("SELECT column_name || ':' || seed || ':' || step FROM orv_identity WHERE table_name = 'Ident'"),
              (Rows{"K:1000:5"}));

    // A CREATE TABLE rolled back leaves no bookkeeping behind.
    ASSERT_EQ(transaction->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr), S_OK);
    Exec("CREATE TABLE Gone (ID COUNTER(7, 7), X LONG)");
    Exec("INSERT INTO Gone (X) VALUES (1)");
    EXPECT_EQ(Value("SELECT ID FROM Gone"), "7");
    ASSERT_EQ(transaction->Abort(nullptr, FALSE, FALSE), S_OK);
    EXPECT_EQ(Value("SELECT count(*) FROM orv_identity WHERE table_name = 'Gone'"), "0");
}

// A run of plain writes in a transaction looks at the schema once; a CREATE TABLE in the
// run, or another connection's between two transactions, is still seen before the next
// insert, so its counter starts at its seed.
TEST_F(DialectTest, CountersOfTablesMadeBetweenPlainWritesStartAtTheirSeed) {
    CComPtr<ITransactionLocal> transaction;
    ASSERT_EQ(m_session.QueryInterface(&transaction), S_OK);
    ASSERT_EQ(transaction->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr), S_OK);
    Exec("INSERT INTO people (id, first) VALUES (10, 'Ed')");
    Exec("UPDATE people SET last = 'Ox' WHERE id = 10");
    Exec("CREATE TABLE Mine (ID COUNTER(100, 10), X LONG)");
    Exec("INSERT INTO Mine (X) VALUES (1)");
    Exec("INSERT INTO Mine (X) VALUES (2)");
    ASSERT_EQ(transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
    EXPECT_EQ(Column("SELECT ID FROM Mine ORDER BY ID"), (Rows{"100", "110"}));

    CComPtr<IOpenRowset> other = OpenSession(m_dir.WPath("plant.mdb"));
    std::u16string create = u"CREATE TABLE Theirs (ID COUNTER(50, 5), X LONG)";
    ASSERT_EQ(RunSql(other, create.c_str()), S_OK);
    other.Release();
    ASSERT_EQ(transaction->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr), S_OK);
    Exec("INSERT INTO Theirs (X) VALUES (1)");
    Exec("INSERT INTO Theirs (X) VALUES (2)");
    ASSERT_EQ(transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
    EXPECT_EQ(Column("SELECT ID FROM Theirs ORDER BY ID"), (Rows{"50", "55"}));
}

}  // namespace
