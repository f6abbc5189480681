// orvsql run as a separate process on database files made here: the cases of
// tools/cases/*.test (output modes, statement splitting of piped input, dot-commands, errors
// and exit statuses), and what needs more than the shell's output to check: values read
// back by Python, a dump read back, files compared, another program's lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/python.h"
#include "tools/shell_cases.h"
#include "support/holds.h"

namespace {

using namespace orv::test;
using Result = ShellResult;

// Every line of `out` read by Python's JSON module (which refuses what RFC 8259 does not
// allow, NaN and Infinity included) and written back in one canonical form: keys sorted,
// text with every character outside ASCII escaped.
std::string JsonByPython(const TempDir& dir, const std::string& out) {
    WriteFile(dir.Path("lines.json"), out);
    return RunPython(dir.Path("canonical.py"),
                     "import json, sys\n"
                     "def refuse(name): raise ValueError(name)\n"
                     "for line in open(sys.argv[1], encoding='utf-8', newline='\\n'):\n"
                     "    row = json.loads(line, parse_constant=refuse)\n"
                     "    print(json.dumps(row, sort_keys=True))\n",
                     ShellQuote(dir.Path("lines.json")));
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

// .import over many rows: every value arrives as written, and a row that cannot be stored
// is named by its number in the file.
TEST_F(OrvsqlTest, ImportOfManyRowsArrivesAsWrittenAndAFailureNamesItsRow) {
    const std::string db = m_dir.Path("d.db");
    // 1,000 rows, several statements' worth: quotes, commas and empty fields.
    std::string csv = "id,name,code,qty\r\n";
    for (int i = 1; i <= 1000; ++i)
        csv += std::to_string(i) + ",\"it's \"\"row\"\", " + std::to_string(i) + "\"," +
               (i % 4 == 0 ? std::string() : "c00" + std::to_string(i)) + "," + std::to_string(i % 7) + "\r\n";
    WriteFile(m_dir.Path("rows.csv"), csv);
    MakeDatabase(db, "CREATE TABLE r (id INTEGER PRIMARY KEY, name TEXT(40), code TEXT(10), qty LONG)");
    auto r = Run({db, ".import " + m_dir.Path("rows.csv") + " r"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("imported 1000 rows"), std::string::npos) << r.out;
    r = Run({"--csv", db,
             "SELECT COUNT(*), SUM(qty), SUM(code IS NULL), MAX(name), MIN(code) FROM r "
             "WHERE name = 'it''s \"row\", ' || id"});
    EXPECT_EQ(r.out,
              "COUNT(*),SUM(qty),SUM(code IS NULL),MAX(name),MIN(code)\r\n"
              "1000,3003,250,\"it's \"\"row\"\", 999\",c001\r\n")
        << r.err;

    // Row 1001 repeats a key: nothing of the file is kept, and the row is named.
    csv += "700,again,x,1\r\n";
    WriteFile(m_dir.Path("rows.csv"), csv);
    MakeDatabase(db, "DELETE FROM r");
    r = Run({db, ".import " + m_dir.Path("rows.csv") + " r"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("row 1001 could not be copied"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"--csv", db, "SELECT COUNT(*) AS n FROM r"}).out, "n\r\n0\r\n");
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

class ShellCaseTest : public ::testing::TestWithParam<ShellCase> {};

TEST_P(ShellCaseTest, Runs) {
    TempDir dir;
    RunShellCase(GetParam(), dir);
}

INSTANTIATE_TEST_SUITE_P(Orvsql, ShellCaseTest, ::testing::ValuesIn(ReadShellCases(ORV_SHELL_CASES)),
                         [](const auto& info) { return info.param.name; });

}  // namespace
