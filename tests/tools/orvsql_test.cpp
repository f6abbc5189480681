// orvsql run as a separate process on database files made here: output modes, statement
// splitting of piped input, dot-commands, errors and exit statuses, the bundled sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/python.h"
#include "tools/shell_process.h"
#include "support/holds.h"

namespace {

using orv::test::Holds;

using orv::test::MakeDatabase;
using orv::test::ReadFile;
using orv::test::TempDir;
using orv::test::WriteFile;

using Result = orv::test::ShellResult;
using orv::test::RunShell;

// Every line of `out` read by Python's JSON module (which refuses what RFC 8259 does not
// allow, NaN and Infinity included) and written back in one canonical form: keys sorted,
// text with every character outside ASCII escaped.
std::string JsonByPython(const TempDir& dir, const std::string& out) {
    WriteFile(dir.Path("lines.json"), out);
    return orv::test::RunPython(dir.Path("canonical.py"),
                                "import json, sys\n"
                                "def refuse(name): raise ValueError(name)\n"
                                "for line in open(sys.argv[1], encoding='utf-8', newline='\\n'):\n"
                                "    row = json.loads(line, parse_constant=refuse)\n"
                                "    print(json.dumps(row, sort_keys=True))\n",
                                orv::test::ShellQuote(dir.Path("lines.json")));
}

// The value that every escaping rule must get right.
const char* kTricky = "say \"hi\"\\ back\nnext line\ttab, ; caf\xC3\xA9 \xE6\xBC\xA2\xE5\xAD\x97";

class OrvsqlTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_db = m_dir.Path("plant.mdb");
        MakeDatabase(m_db,
                     "CREATE TABLE parts (id INTEGER PRIMARY KEY, name TEXT(60), price CURRENCY, weight DOUBLE, "
                     "note MEMO, drawing LONGBINARY);"
                     "INSERT INTO parts VALUES (1, 'bolt', 0.25, 1.5, NULL, X'00FF10');"
                     "INSERT INTO parts VALUES (2, '', 12.5, NULL, 'short', NULL);");
        MakeDatabase(m_db, ("INSERT INTO parts VALUES (3, '" + std::string(kTricky) + "', 3, -2, '" +
                            std::string(200, 'x') + "', zeroblob(25000))")
                               .c_str());
    }

    Result Run(const std::vector<std::string>& args, const std::string& input = "") {
        return RunShell(m_dir, args, input);
    }

    TempDir m_dir;
    std::string m_db;
};

TEST_F(OrvsqlTest, TableAlignsColumnsShowsNullCutsLongTextAndCountsRows) {
    Result r = Run({m_db, "SELECT id, price, weight FROM parts WHERE id < 3 ORDER BY id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "id | price | weight\n"
              "---+-------+-------\n"
              " 1 |  0.25 |    1.5\n"
              " 2 |  12.5 | (null)\n"
              "(2 rows)\n");

    // Long text is cut, and binary shown as its size.
    r = Run({m_db, "SELECT note, drawing FROM parts WHERE id = 3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string(39, 'x') + "\xE2\x80\xA6"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(std::string(41, 'x')), std::string::npos);
    EXPECT_NE(r.out.find("<25000 bytes>"), std::string::npos) << r.out;
}

TEST_F(OrvsqlTest, CsvQuotesAsRfc4180AndTellsNullFromEmpty) {
    Result r = Run({"--csv", m_db, "SELECT id, name, weight, drawing FROM parts ORDER BY id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "id,name,weight,drawing\r\n"
              "1,bolt,1.5,00ff10\r\n"
              "2,\"\",,\r\n"
              "3,\"say \"\"hi\"\"\\ back\nnext line\ttab, ; caf\xC3\xA9 \xE6\xBC\xA2\xE5\xAD\x97\",-2," +
                  std::string(50000, '0') + "\r\n");
    EXPECT_EQ(r.err, "");  // counts never mix into the data, and stderr is no terminal here

    // Long text comes in full.
    r = Run({"--csv", m_db, "SELECT note FROM parts WHERE id = 3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "note\r\n" + std::string(200, 'x') + "\r\n");
}

TEST_F(OrvsqlTest, TsvEscapesTabsLineBreaksAndBackslashes) {
    const Result r = Run({"--tsv", m_db, "SELECT id, name, weight FROM parts WHERE id >= 2 ORDER BY id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "id\tname\tweight\n"
              "2\t\t\\N\n"
              "3\tsay \"hi\"\\\\ back\\nnext line\\ttab, ; caf\xC3\xA9 \xE6\xBC\xA2\xE5\xAD\x97\t-2\n");
}

TEST_F(OrvsqlTest, JsonParsesBackWithNumbersNullsAndEscapedText) {
    const Result r = Run({"--json", m_db, "SELECT id, name, price, weight, note, drawing FROM parts ORDER BY id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonByPython(m_dir, r.out),
              R"({"drawing": "00ff10", "id": 1, "name": "bolt", "note": null, "price": 0.25, "weight": 1.5})"
              "\n"
              R"({"drawing": null, "id": 2, "name": "", "note": "short", "price": 12.5, "weight": null})"
              "\n"
              R"({"drawing": ")" +
                  std::string(50000, '0') +
                  R"(", "id": 3, "name": "say \"hi\"\\ back\nnext line\ttab, ; caf\u00e9 \u6f22\u5b57", "note": ")" +
                  std::string(200, 'x') + R"(", "price": 3, "weight": -2})" + "\n");
}

TEST_F(OrvsqlTest, JsonWritesYesNoColumnsAsBooleansAndEscapesControlCharacters) {
    MakeDatabase(m_db, "CREATE TABLE flags (f YESNO); INSERT INTO flags VALUES (1), (0), (NULL)");
    Result r = Run({"--json", m_db, "SELECT f FROM flags ORDER BY rowid"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"f\":true}\n{\"f\":false}\n{\"f\":null}\n");

    // Control characters are escaped.
    r = Run({"--json", m_db, "SELECT char(1) || char(31) || char(127) AS c"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"c\":\"\\u0001\\u001f\\u007f\"}\n");
}

TEST_F(OrvsqlTest, PipedInputSplitsAtSemicolonsOutsideQuotesAndBrackets) {
    const Result r = Run({"--csv", m_db},
                         "CREATE TABLE [odd;name] (v TEXT(20));\n"
                         "INSERT INTO [odd;name] VALUES ('a;b'), ('it''s; fine');  -- a comment; with a semicolon\n"
                         "/* a block; comment */ INSERT INTO [odd;name]\n"
                         "  VALUES (\"c;d\")\n"
                         ";\n"
                         ".mode tsv\n"
                         "SELECT v FROM [odd;name] ORDER BY v");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "v\na;b\nc;d\nit's; fine\n");
}

TEST_F(OrvsqlTest, WritesReportRowsAffected) {
    Result r = Run({m_db, "UPDATE parts SET price = price * 2 WHERE id < 3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "(2 rows affected)\n");
    r = Run({m_db, "DELETE FROM parts WHERE id = 1"});
    EXPECT_EQ(r.out, "(1 row affected)\n");
}

TEST_F(OrvsqlTest, AFailedStatementIsOneLineWithItsSqlStateAndPlace) {
    Result r = Run({m_db, "SELECT * FROM missing_table", "DELETE FROM parts"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error: No such table: missing_table. (SQLSTATE 42S02, line 1, column 15)\n");
    // The statement after the failure never ran.
    EXPECT_EQ(Run({"--csv", m_db, "SELECT COUNT(*) AS n FROM parts"}).out, "n\r\n3\r\n");

    // In a script the place is the script's line and column.
    r = Run({"--csv", m_db}, "SELECT 1 AS a;\n\nSELECT id,\n  nme FROM parts; SELECT 2 AS b;\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a\r\n1\r\n");
    EXPECT_EQ(r.err, "Error: No such column: nme. (SQLSTATE 42S22, line 4, column 3)\n");

    // A statement cut short fails where it ends; a second statement on a line counts its column.
    r = Run({m_db}, "SELECT 1; SELECT id FROM parts WHERE\n");
    EXPECT_NE(r.err.find("line 1, column 37)"), std::string::npos) << r.err;
    r = Run({m_db, "SELECT [name] FROM parts WHERE 'nme' = nme"});
    EXPECT_NE(r.err.find("line 1, column 40)"), std::string::npos) << r.err;  // not the quoted 'nme'

    // --verbose gives the whole record and the statement.
    r = Run({"--verbose", m_db, "SELECT * FROM missing_table"});
    EXPECT_EQ(r.status, 1);
    for (const char* part : {"Description: ", "SQLState: 42S02", "GUID: ", "SELECT * FROM missing_table"})
        EXPECT_NE(r.err.find(part), std::string::npos) << part << " in " << r.err;
}

TEST_F(OrvsqlTest, FilesThatCannotBeOpenedFailWithStatusOne) {
    Result r = Run({m_dir.Path("absent.mdb"), "SELECT 1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Holds(r.err, {"absent.mdb", "No such file"}));

    WriteFile(m_dir.Path("book.xlsx"), std::string("PK\x03\x04", 4) + "rest of an archive");
    r = Run({m_dir.Path("book.xlsx"), "SELECT 1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("book.xlsx"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;  // one line, not the record
}

TEST_F(OrvsqlTest, DotIsTheCurrentFolderAndATextFileIsATableOfItsFolder) {
    WriteFile(m_dir.Path("stock.csv"), "part,count\r\nbolt,10\r\n");
    for (const char* folder : {".", "./"}) {
        const Result r = Run({"--csv", folder, "SELECT COUNT(*) AS n FROM [stock.csv]"});
        EXPECT_EQ(r.status, 0) << folder << ": " << r.err;
        EXPECT_EQ(r.out, "n\r\n1\r\n") << folder;
    }

    // A text file is a table of its folder.
    WriteFile(m_dir.Path("stock.csv"), "part,count\r\nbolt,10\r\n\"nut, hex\",25\r\n");
    Result r = Run({"--csv", m_dir.Path("stock.csv"), "SELECT part, count FROM [stock.csv] WHERE count > 20"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "part,count\r\n\"nut, hex\",25\r\n");
    r = Run({"--csv", "--type", "csv", m_dir.Path(""), "SELECT COUNT(*) AS n FROM stock#csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "n\r\n2\r\n");
}

TEST_F(OrvsqlTest, UsageErrorsExitWithStatusTwo) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"},
                                                 {"--type"},
                                                 {"--type", "docx", m_db},
                                                 {m_db, ".frobnicate"},
                                                 {m_db, ".mode yaml"},
                                                 {m_db, ".schema"},
                                                 {m_db, ".import only.csv"},
                                                 {m_db, ".export parts a.csv b"},
                                                 {"--busy-timeout", "soon", m_db},
                                                 {m_db, ".headers maybe"},
                                                 {m_db, ".exit 300"},
                                                 {m_db, ".once"},
                                                 {m_db, ".timeout -1"},
                                                 {m_db, ".separator"},
                                                 {"--create", m_dir.Path("old.xls")}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << (args.size() > 1 ? args.back() : "");
        EXPECT_FALSE(r.err.empty());
    }
    const Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* needle :
         {"--csv",      "--json",         "--tsv",   "--box",    "--markdown", "--line",      "--type",
          "--verbose",  "--busy-timeout", ".tables", ".schema",  ".indexes",   ".begin",      ".commit",
          ".rollback",  ".mode",          ".quit",   ".exit",    ".open",      ".import",     ".export",
          ".read",      ".output",        ".once",   ".headers", ".nullvalue", ".timer",      ".bail",
          ".separator", ".echo",          ".show",   ".dump",    ".timeout",   "Exit status", "130"})
        EXPECT_NE(help.out.find(needle), std::string::npos) << needle;
}

TEST_F(OrvsqlTest, DotCommandsDescribeTablesAndRunTransactions) {
    MakeDatabase(m_db, "CREATE INDEX parts_by_name ON parts (name)");
    Result r = Run({"--csv", m_db, ".tables", ".schema parts", ".indexes parts"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Holds(r.out, {"name,type\r\nparts,TABLE\r\n", "id,I4,4,no,,\r\n", "price,CY,19,yes,,\r\n",
                              "drawing,BYTES,1073741823,yes,,\r\n", "parts_by_name,name\r\n", "PrimaryKey,id\r\n"}));

    r = Run({"--csv", m_db},
            ".begin\nDELETE FROM parts;\n.rollback\n.begin\nDELETE FROM parts WHERE id = 1;\n"
            ".commit\nSELECT COUNT(*) AS n FROM parts;\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "n\r\n2\r\n");

    // A transaction left open at the end is rolled back, not committed.
    r = Run({m_db, ".begin", "DELETE FROM parts"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Run({"--csv", m_db, "SELECT COUNT(*) AS n FROM parts"}).out, "n\r\n2\r\n");
}

TEST_F(OrvsqlTest, WithoutAFileTheSampleOpensAsATemporaryCopy) {
    Result r = Run({"--csv", ".tables"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "name,type\r\norder_lines,TABLE\r\norders,TABLE\r\npart_notes,TABLE\r\nparts,TABLE\r\nsuppliers,TABLE\r\n");

    r = Run({"--csv", "DELETE FROM order_lines", "SELECT COUNT(*) AS n FROM order_lines"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "n\r\n0\r\n");
    // The sample itself is untouched, and the copy is gone.
    r = Run({"--csv", "SELECT COUNT(*) > 100 AS many FROM order_lines"});
    EXPECT_EQ(r.out, "many\r\n1\r\n");
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path("tmp")));

    r = Run({"--json", "SELECT name FROM parts WHERE price > 10 ORDER BY price DESC"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string rows = JsonByPython(m_dir, r.out);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 8) << rows;
}

}  // namespace

namespace {

TEST_F(OrvsqlTest, CreatesAndCompactsDatabaseFiles) {
    const std::string fresh = m_dir.Path("fresh.mdb");
    Result r = Run({"--create", fresh, "CREATE TABLE t(a TEXT(10))", "INSERT INTO t VALUES ('kept')"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Run({"--create", fresh, "SELECT 1"});  // never over an existing file
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("never overwritten"), std::string::npos) << r.err;
    r = Run({"--compact", fresh});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("compacted"), std::string::npos);
    r = Run({"--csv", fresh}, ".compact\nSELECT a FROM t;\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("a\r\nkept\r\n"), std::string::npos) << r.out;
    r = Run({"--compact", m_dir.Path("missing.mdb")});
    EXPECT_EQ(r.status, 1);
}

TEST_F(OrvsqlTest, ExportWritesANewCsvFileAndImportReadsItBack) {
    const std::string csv = m_dir.Path("out/parts.csv");
    std::filesystem::create_directories(m_dir.Path("out"));
    Result r = Run({m_db, ".export parts " + csv});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("exported 3 rows from parts to " + csv), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;  // no progress bar: stderr is not a terminal
    const std::string text = ReadFile(csv);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "id,name,price,weight,note,drawing\r\n");
    EXPECT_NE(text.find("1,bolt,0.25,1.5,,00FF10\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("2,\"\",12.5,,short,\r\n"), std::string::npos) << text;  // "" is the empty text

    // Back into a new table of the database: the same values, the text with its quotes,
    // line breaks and tabs intact, the empty text still empty.
    r = Run({m_db, ".import " + csv + " copy"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("imported 3 rows from " + csv + " into copy (created)"), std::string::npos) << r.out;
    r = Run({"--csv", m_db,
             "SELECT COUNT(*) FROM parts p JOIN copy c ON c.id = p.id AND c.name = p.name AND c.price = p.price "
             "AND c.weight IS p.weight AND c.note IS p.note"});
    EXPECT_EQ(r.out, "COUNT(*)\r\n3\r\n") << r.err;

    // Into an existing table the rows are added; an existing file is never overwritten.
    r = Run({m_db, ".import " + csv + " copy"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Run({"--csv", m_db, "SELECT COUNT(*) AS n FROM copy"}).out, "n\r\n6\r\n");
    const std::string before = ReadFile(csv);
    r = Run({m_db, ".export parts " + csv});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("never overwritten"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(csv), before);
}

// What the shell prints for programs is what is stored, byte for byte.
TEST_F(OrvsqlTest, CsvTsvAndJsonNeverRound) {
    MakeDatabase(m_db,
                 "CREATE TABLE v (r DOUBLE, s SINGLE, c CURRENCY, n DECIMAL(20,4), d DATETIME, big BIGINT);"
                 "INSERT INTO v VALUES (3.14159265358979, 0.1, 922337203685477, '12345678901.2345',"
                 " '2024-03-02 13:30:00', 9223372036854775807);"
                 "INSERT INTO v VALUES (0.1 + 0.2, -1.5, -0.0001, '-0.5', '2024-03-02', -9223372036854775808);"
                 "INSERT INTO v VALUES (1e-10, 3.4e38, 1234.5, '0', '0100-01-01', 0);"
                 "INSERT INTO v VALUES (1e300, 1e-7, 0, '1', '9999-12-31 23:59:59', 1);");
    Result r = Run({"--csv", m_db, "SELECT * FROM v"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "r,s,c,n,d,big\r\n"
              "3.14159265358979,0.1,922337203685477,12345678901.2345,2024-03-02 13:30:00,9223372036854775807\r\n"
              "0.30000000000000004,-1.5,-0.0001,-0.5000,2024-03-02,-9223372036854775808\r\n"
              "1e-10,3.4e+38,1234.5,0.0000,0100-01-01,0\r\n"
              "1e+300,1e-07,0,1.0000,9999-12-31 23:59:59,1\r\n");
    r = Run({"--tsv", m_db, "SELECT r, c, d FROM v WHERE big = 0"});
    EXPECT_EQ(r.out, "r\tc\td\n1e-10\t1234.5\t0100-01-01\n");
    r = Run({"--json", m_db, "SELECT r, c, n, d FROM v WHERE big = 1"});
    EXPECT_EQ(r.out, "{\"r\":1e+300,\"c\":0,\"n\":1.0000,\"d\":\"9999-12-31 23:59:59\"}\n");
    // The people's table keeps its short forms.
    r = Run({m_db, "SELECT r FROM v WHERE big = 1"});
    EXPECT_NE(r.out.find("1e+300"), std::string::npos) << r.out;
}

TEST_F(OrvsqlTest, ExpressionsAreNamedAsWrittenAndAHalfConcatenationFails) {
    Result r = Run({"--csv", m_db, "SELECT name & '!', id FROM parts WHERE id = 1"});
    EXPECT_EQ(r.out, "name & '!',id\r\nbolt!,1\r\n") << r.err;
    r = Run({"--csv", m_db, "SELECT name & FROM parts"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("needs a value on each side"), std::string::npos) << r.err;
}

TEST_F(OrvsqlTest, ExportKeepsCurrencyDecimalsAndTextWidths) {
    MakeDatabase(m_db,
                 "CREATE TABLE w (code TEXT(40), amount CURRENCY, rate DECIMAL(28,4), memo MEMO);"
                 "INSERT INTO w VALUES ('08123', 12.5, '3.1416', 'x');");
    const std::string csv = m_dir.Path("w.csv");
    ASSERT_EQ(Run({m_db, ".export w " + csv}).status, 0);
    const std::string ini = ReadFile(m_dir.Path("schema.ini"));
    for (const char* line : {"Col1=code Text Width 40", "Col2=amount Currency",
                             "Col3=rate Decimal Precision 28 Scale 4", "Col4=memo Memo"})
        EXPECT_NE(ini.find(line), std::string::npos) << line << " in\n" << ini;
    Result r = Run({"--csv", m_dir.Path(""), "SELECT * FROM [w.csv]"});
    EXPECT_EQ(r.out, "code,amount,rate,memo\r\n08123,12.5,3.1416,x\r\n") << r.err;
}

TEST_F(OrvsqlTest, AFailedImportLeavesTheTableAsItWas) {
    MakeDatabase(m_db, "CREATE TABLE u (id INTEGER PRIMARY KEY, name TEXT(10))");
    WriteFile(m_dir.Path("u.csv"), "id,name\r\n1,a\r\n2,b\r\n1,again\r\n");
    Result r = Run({m_db, ".import " + m_dir.Path("u.csv") + " u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("row 3"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"--csv", m_db, "SELECT COUNT(*) AS n FROM u"}).out, "n\r\n0\r\n");

    r = Run({m_db, ".import " + m_dir.Path("missing.csv") + " u"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.csv"), std::string::npos) << r.err;
    r = Run({m_db, ".export nosuchtable " + m_dir.Path("n.csv")});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("n.csv")));
}

}  // namespace

namespace {

TEST_F(OrvsqlTest, BoxMarkdownAndLineViewsAlignForPeople) {
    const std::string query = "SELECT id, name FROM parts WHERE id < 3 ORDER BY id";
    Result r = Run({"--box", m_db, query});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "\u250C\u2500\u2500\u2500\u2500\u252C\u2500\u2500\u2500\u2500\u2500\u2500\u2510\n"
              "\u2502 id \u2502 name \u2502\n"
              "\u251C\u2500\u2500\u2500\u2500\u253C\u2500\u2500\u2500\u2500\u2500\u2500\u2524\n"
              "\u2502  1 \u2502 bolt \u2502\n"
              "\u2502  2 \u2502      \u2502\n"
              "\u2514\u2500\u2500\u2500\u2500\u2534\u2500\u2500\u2500\u2500\u2500\u2500\u2518\n"
              "(2 rows)\n");

    r = Run({"--markdown", m_db, "SELECT id, name, weight FROM parts WHERE id < 3 ORDER BY id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "| id  | name | weight |\n"
              "| --: | ---- | -----: |\n"
              "|   1 | bolt |    1.5 |\n"
              "|   2 |      | (null) |\n"
              "(2 rows)\n");
    // A pipe in a value is escaped so that the cell stays one cell.
    r = Run({"--markdown", m_db, "SELECT 'a|b' AS t"});
    EXPECT_NE(r.out.find("| a\\|b |"), std::string::npos) << r.out;

    r = Run({"--line", m_db, query});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "  id = 1\nname = bolt\n\n  id = 2\nname = \n(2 rows)\n");
}

TEST_F(OrvsqlTest, HeadersNullValueAndSeparatorShapeTheOutput) {
    Result r = Run({"--csv", m_db},
                   ".headers off\n.nullvalue NA\n.separator ;\n"
                   "SELECT id, weight, name FROM parts ORDER BY id;\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find("\r\n3;")), "1;1.5;bolt\r\n2;NA;\"\"");
    EXPECT_NE(r.out.find("3;-2;\"say"), std::string::npos) << r.out;  // the text holds a ';': quoted

    r = Run({m_db},
            ".mode tsv\n.separator | \\n\\n\nSELECT 1 AS a, NULL AS b;\n.mode table\n"
            ".nullvalue \"no value\"\nSELECT NULL AS b;\n.mode json\nSELECT NULL AS b;\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a|b\n\n1|\\N\n\nb\n--------\nno value\n(1 row)\n{\"b\":null}\n");
}

TEST_F(OrvsqlTest, OutputAndOnceWriteResultsToFilesWhole) {
    const std::string once = m_dir.Path("once.txt"), output = m_dir.Path("output.csv");
    WriteFile(output, "old content");
    const Result r = Run({m_db}, ".once " + once +
                                     "\nSELECT COUNT(*) AS n FROM parts;\nSELECT 5 AS five;\n"
                                     ".output " +
                                     output +
                                     "\n.mode csv\nSELECT 1 AS one;\nSELECT 2 AS two;\n"
                                     ".output\nSELECT 3 AS three;\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(once), "n\n-\n3\n(1 row)\n");
    EXPECT_EQ(ReadFile(output), "one\r\n1\r\ntwo\r\n2\r\n");
    EXPECT_EQ(r.out, "five\n----\n   5\n(1 row)\nthree\r\n3\r\n");
    // Nothing but the two files: no temporary name stays behind.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
        files += entry.path().filename().string().find("orvsql-") != std::string::npos;
    EXPECT_EQ(files, 0);

    const Result failed = Run({m_db, ".output " + m_dir.Path("no/such/folder/x.txt")});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("x.txt"), std::string::npos) << failed.err;
}

TEST_F(OrvsqlTest, DumpReadsBackIntoTheSameTablesRowsAndIndexes) {
    MakeDatabase(m_db,
                 "CREATE INDEX parts_by_name ON parts (name); "
                 "CREATE VIEW cheap AS SELECT name FROM parts WHERE price < 5");
    // Through the engine, which keeps the identity's seed and step; the catalog shows them
    // at once, before another statement has run.
    Result made = Run({"--csv", m_db, "CREATE TABLE counted (n COUNTER(100, 5) PRIMARY KEY, label TEXT(10))",
                       ".schema counted", "INSERT INTO counted (label) VALUES ('first')"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("n,I4,4,no,,\"seed 100, step 5\""), std::string::npos) << made.out;
    const std::string dump = m_dir.Path("plant.sql"), copy = m_dir.Path("copy.mdb");
    Result r = Run({m_db, ".once " + dump, ".dump"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Run({"--create", copy, ".read " + dump});
    ASSERT_EQ(r.status, 0) << r.err << ReadFile(dump).substr(0, 2000);

    for (const std::string& query :
         {std::string("SELECT * FROM parts ORDER BY id"), std::string(".schema parts"), std::string(".indexes parts"),
          std::string("SELECT * FROM cheap"), std::string(".schema counted")}) {
        const Result original = Run({"--csv", m_db, query}), copied = Run({"--csv", copy, query});
        EXPECT_EQ(copied.status, 0) << query << ": " << copied.err;
        EXPECT_EQ(copied.out, original.out) << query;
    }
    // The identity goes on from where it was.
    EXPECT_EQ(
        Run({"--csv", copy, "INSERT INTO counted (label) VALUES ('second')", "SELECT MAX(n) AS n FROM counted"}).out,
        "n\r\n105\r\n");

    // One table only; and a text folder has no dump.
    r = Run({m_db, ".dump counted"});
    EXPECT_NE(r.out.find("INSERT INTO [counted]"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("INSERT INTO [parts]"), std::string::npos) << r.out;
    EXPECT_EQ(Run({m_db, ".dump nosuch"}).status, 1);
    r = Run({m_dir.Path(""), ".dump"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(".export"), std::string::npos) << r.err;
}

TEST_F(OrvsqlTest, ReadRunsAScriptAndNamesItWhenItFails) {
    WriteFile(m_dir.Path("inner.sql"), ".mode csv\nSELECT 7 AS seven;\n");
    WriteFile(m_dir.Path("outer.sql"),
              ".read inner.sql\nSELECT 8 AS eight;\n\nSELECT nothing FROM parts;\nSELECT 9;\n");
    const Result r = Run({m_db, ".read outer.sql"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "seven\r\n7\r\neight\r\n8\r\n");
    EXPECT_TRUE(Holds(r.err, {"line 4, column 8", "outer.sql"}));

    WriteFile(m_dir.Path("self.sql"), ".read self.sql\n");
    EXPECT_EQ(Run({m_db, ".read self.sql"}).status, 1);
    EXPECT_EQ(Run({m_db, ".read missing.sql"}).status, 1);
}

TEST_F(OrvsqlTest, EchoTimerShowAndExit) {
    Result r = Run({m_db, ".echo on", "SELECT 1 AS one"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 16), "SELECT 1 AS one\n");

    r = Run({"--csv", m_db, ".timer on", "SELECT 1 AS one"});
    EXPECT_EQ(r.out, "one\r\n1\r\n");
    EXPECT_EQ(r.err.rfind("time: ", 0), 0u) << r.err;

    r = Run({"--line", m_db, ".nullvalue -", ".timeout 250", ".show"});
    for (const char* setting :
         {"mode: line", "nullvalue: \"-\"", "headers: on", "bail: on", "timer: off", "timeout: 250 ms"})
        EXPECT_NE(r.out.find(setting), std::string::npos) << setting << " in " << r.out;

    r = Run({m_db}, "SELECT 1 AS one;\n.exit 3\nSELECT 2 AS two;\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out.find("two"), std::string::npos);
    EXPECT_EQ(Run({m_db, ".exit"}).status, 0);
}

// Holds a write lock on `path` for `hold` in another process, from when the call returns.
class LockHolder {
public:
    LockHolder(const std::string& path, std::chrono::milliseconds hold) {
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        m_pid = ::fork();
        if (m_pid == 0) {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
            std::this_thread::sleep_for(hold);
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_close(db);
            ::_exit(0);
        }
        char byte;
        if (::read(ready[0], &byte, 1) != 1) throw std::runtime_error("the lock holder did not start");
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~LockHolder() { ::waitpid(m_pid, nullptr, 0); }

private:
    pid_t m_pid;
};

TEST_F(OrvsqlTest, BusyTimeoutWaitsForAnotherProgramsLock) {
    {
        LockHolder lock(m_db, std::chrono::milliseconds(1500));
        const Result r = Run({"--busy-timeout", "30000", "--csv", m_db, "SELECT COUNT(*) AS n FROM parts"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "n\r\n3\r\n");
    }
    {
        LockHolder lock(m_db, std::chrono::milliseconds(3000));
        const Result r = Run({"--busy-timeout", "20", m_db, "SELECT COUNT(*) AS n FROM parts"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("locked"), std::string::npos) << r.err;
    }
}

TEST_F(OrvsqlTest, CreateMakesTheKindOfFileItsNameSays) {
    const std::string book = m_dir.Path("book.xlsx");
    Result r = Run({"--create", book, "CREATE TABLE [Prices] (name TEXT(40), price CURRENCY)",
                    "INSERT INTO [Prices$] (name, price) VALUES ('bolt', 0.25)"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(book).substr(0, 4), std::string("PK\x03\x04", 4));
    EXPECT_EQ(Run({"--csv", book, "SELECT name FROM [Prices$]"}).out, "name\r\nbolt\r\n");

    // A missing .xlsx named as FILE is a new workbook too.
    const std::string other = m_dir.Path("new.xlsx");
    r = Run({other, "CREATE TABLE [T] (x INTEGER)"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(other).substr(0, 4), std::string("PK\x03\x04", 4));

    const std::string folder = m_dir.Path("data") + "/";
    r = Run({"--create", folder, "CREATE TABLE [parts.csv] (id INTEGER, name TEXT(20))",
             "INSERT INTO [parts.csv] VALUES (1, 'bolt')"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_NE(ReadFile(folder + "parts.csv").find("bolt"), std::string::npos);

    r = Run({"--create", m_dir.Path("fresh.db"), "CREATE TABLE t (a INTEGER)"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(m_dir.Path("fresh.db")).substr(0, 15), "SQLite format 3");

    // Never over something that exists; a name that cannot be made says what to do.
    for (const std::string& existing : {book, folder}) {
        r = Run({"--create", existing, "SELECT 1"});
        EXPECT_EQ(r.status, 1) << existing;
        EXPECT_NE(r.err.find("never overwritten"), std::string::npos) << r.err;
    }
    r = Run({"--create", m_dir.Path("alone.csv")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("CREATE TABLE [alone.csv]"), std::string::npos) << r.err;
}

}  // namespace
