// orvsql run as a separate process on database files made here: output modes, statement
// splitting of piped input, dot-commands, errors and exit statuses, the bundled sample.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"

namespace {

using orv::test::MakeDatabase;
using orv::test::ReadFile;
using orv::test::TempDir;
using orv::test::WriteFile;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs orvsql with `args`, `input` as its standard input (a file, so never a terminal) and
// TMPDIR pointing into `dir`, so that the sample's temporary copy can be watched.
Result RunShell(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
    const std::string in = dir.Path("stdin"), out = dir.Path("stdout"), err = dir.Path("stderr");
    const std::string tmp = dir.Path("tmp");
    std::filesystem::create_directories(tmp);
    WriteFile(in, input);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fdIn = ::open(in.c_str(), O_RDONLY);
        const int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int fdErr = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fdIn, 0);
        ::dup2(fdOut, 1);
        ::dup2(fdErr, 2);
        ::setenv("TMPDIR", tmp.c_str(), 1);
        ::unsetenv("ORVSQL_SAMPLE");
        std::vector<char*> argv{const_cast<char*>(ORVSQL)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ORVSQL, argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    Result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
}

// ---- A small strict JSON reader: exactly the grammar of RFC 8259, nothing lenient.

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;  // strings, and the number's literal text
    std::vector<Json> items;
    std::map<std::string, Json> members;
};

class JsonReader {
public:
    explicit JsonReader(const std::string& s) : m_s(s) {}

    // One complete document; throws on anything else.
    Json Document() {
        Json value = Value();
        Blanks();
        if (m_i != m_s.size()) Fail("text after the value");
        return value;
    }

private:
    [[noreturn]] void Fail(const std::string& why) {
        throw std::runtime_error("bad JSON at " + std::to_string(m_i) + ": " + why + " in " + m_s);
    }
    void Blanks() {
        while (m_i < m_s.size() && (m_s[m_i] == ' ' || m_s[m_i] == '\t' || m_s[m_i] == '\n' || m_s[m_i] == '\r')) ++m_i;
    }
    bool Take(const std::string& word) {
        if (m_s.compare(m_i, word.size(), word) != 0) return false;
        m_i += word.size();
        return true;
    }
    char Peek() { return m_i < m_s.size() ? m_s[m_i] : '\0'; }

    Json Value() {
        Blanks();
        Json v;
        if (Take("null")) return v;
        if (Take("true") || Take("false")) {
            v.kind = Json::Bool;
            v.boolean = m_s[m_i - 1] == 'e' && m_s[m_i - 2] == 'u';
            return v;
        }
        const char c = Peek();
        if (c == '"') {
            v.kind = Json::String;
            v.text = String();
            return v;
        }
        if (c == '[') return Array();
        if (c == '{') return Object();
        if (c == '-' || (c >= '0' && c <= '9')) return Number();
        Fail("no value");
    }

    Json Number() {
        const size_t start = m_i;
        auto digits = [&] {
            const size_t from = m_i;
            while (m_i < m_s.size() && m_s[m_i] >= '0' && m_s[m_i] <= '9') ++m_i;
            if (m_i == from) Fail("digits expected");
        };
        if (Peek() == '-') ++m_i;
        if (Peek() == '0') ++m_i;
        else digits();
        if (Peek() == '.') { ++m_i; digits(); }
        if (Peek() == 'e' || Peek() == 'E') {
            ++m_i;
            if (Peek() == '+' || Peek() == '-') ++m_i;
            digits();
        }
        Json v;
        v.kind = Json::Number;
        v.text = m_s.substr(start, m_i - start);
        v.number = std::strtod(v.text.c_str(), nullptr);
        return v;
    }

    unsigned Hex4() {
        if (m_i + 4 > m_s.size()) Fail("short \\u escape");
        unsigned value = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = m_s[m_i++];
            value = value * 16 + (h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                  : h >= 'A' && h <= 'F' ? h - 'A' + 10 : (Fail("bad hex digit"), 0));
        }
        return value;
    }

    static void AppendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) out += static_cast<char>(cp);
        else if (cp < 0x800) { out += static_cast<char>(0xC0 | cp >> 6); out += static_cast<char>(0x80 | (cp & 0x3F)); }
        else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    std::string String() {
        ++m_i;  // the opening quote
        std::string out;
        for (;;) {
            if (m_i >= m_s.size()) Fail("unterminated string");
            const unsigned char c = m_s[m_i++];
            if (c == '"') return out;
            if (c < 0x20) Fail("raw control character in a string");
            if (c != '\\') { out += static_cast<char>(c); continue; }
            if (m_i >= m_s.size()) Fail("unterminated escape");
            switch (m_s[m_i++]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = Hex4();
                if (cp >= 0xD800 && cp < 0xDC00) {
                    if (!Take("\\u")) Fail("lone high surrogate");
                    const unsigned low = Hex4();
                    if (low < 0xDC00 || low > 0xDFFF) Fail("bad low surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, cp);
                break;
            }
            default: Fail("unknown escape");
            }
        }
    }

    Json Array() {
        ++m_i;
        Json v;
        v.kind = Json::Array;
        Blanks();
        if (Take("]")) return v;
        for (;;) {
            v.items.push_back(Value());
            Blanks();
            if (Take("]")) return v;
            if (!Take(",")) Fail("',' or ']' expected");
        }
    }

    Json Object() {
        ++m_i;
        Json v;
        v.kind = Json::Object;
        Blanks();
        if (Take("}")) return v;
        for (;;) {
            Blanks();
            if (Peek() != '"') Fail("member name expected");
            std::string name = String();
            Blanks();
            if (!Take(":")) Fail("':' expected");
            if (!v.members.emplace(name, Value()).second) Fail("duplicate member " + name);
            Blanks();
            if (Take("}")) return v;
            if (!Take(",")) Fail("',' or '}' expected");
        }
    }

    const std::string& m_s;
    size_t m_i = 0;
};

// Every line of `out` as one JSON document.
std::vector<Json> JsonLines(const std::string& out) {
    std::vector<Json> rows;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        rows.push_back(JsonReader(out.substr(start, end - start)).Document());
        start = end + 1;
    }
    return rows;
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
                            std::string(200, 'x') + "', zeroblob(25000))").c_str());
    }

    Result Run(const std::vector<std::string>& args, const std::string& input = "") {
        return RunShell(m_dir, args, input);
    }

    TempDir m_dir;
    std::string m_db;
};

TEST_F(OrvsqlTest, TableAlignsColumnsShowsNullAndCountsRows) {
    const Result r = Run({m_db, "SELECT id, price, weight FROM parts WHERE id < 3 ORDER BY id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "id | price | weight\n"
              "---+-------+-------\n"
              " 1 |  0.25 |    1.5\n"
              " 2 |  12.5 | (null)\n"
              "(2 rows)\n");
}

TEST_F(OrvsqlTest, TableCutsLongTextAndShowsBinaryAsItsSize) {
    const Result r = Run({m_db, "SELECT note, drawing FROM parts WHERE id = 3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string(39, 'x') + "\xE2\x80\xA6"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(std::string(41, 'x')), std::string::npos);
    EXPECT_NE(r.out.find("<25000 bytes>"), std::string::npos) << r.out;
}

TEST_F(OrvsqlTest, CsvQuotesAsRfc4180AndTellsNullFromEmpty) {
    const Result r = Run({"--csv", m_db, "SELECT id, name, weight, drawing FROM parts ORDER BY id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "id,name,weight,drawing\r\n"
              "1,bolt,1.5,00ff10\r\n"
              "2,\"\",,\r\n"
              "3,\"say \"\"hi\"\"\\ back\nnext line\ttab, ; caf\xC3\xA9 \xE6\xBC\xA2\xE5\xAD\x97\",-2," +
                  std::string(50000, '0') + "\r\n");
    EXPECT_EQ(r.err, "");  // counts never mix into the data, and stderr is no terminal here
}

TEST_F(OrvsqlTest, CsvGivesLongTextInFull) {
    const Result r = Run({"--csv", m_db, "SELECT note FROM parts WHERE id = 3"});
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
    std::vector<Json> rows;
    ASSERT_NO_THROW(rows = JsonLines(r.out)) << r.out;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].members.at("id").kind, Json::Number);
    EXPECT_EQ(rows[0].members.at("price").number, 0.25);
    EXPECT_EQ(rows[0].members.at("drawing").text, "00ff10");
    EXPECT_EQ(rows[0].members.at("note").kind, Json::Null);
    EXPECT_EQ(rows[1].members.at("name").kind, Json::String);
    EXPECT_EQ(rows[1].members.at("name").text, "");
    EXPECT_EQ(rows[1].members.at("weight").kind, Json::Null);
    EXPECT_EQ(rows[2].members.at("name").text, kTricky);
    EXPECT_EQ(rows[2].members.at("weight").number, -2);
    EXPECT_EQ(rows[2].members.at("note").text, std::string(200, 'x'));
}

TEST_F(OrvsqlTest, JsonWritesYesNoColumnsAsBooleans) {
    MakeDatabase(m_db, "CREATE TABLE flags (f YESNO); INSERT INTO flags VALUES (1), (0), (NULL)");
    const Result r = Run({"--json", m_db, "SELECT f FROM flags ORDER BY rowid"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"f\":true}\n{\"f\":false}\n{\"f\":null}\n");
}

TEST_F(OrvsqlTest, JsonEscapesControlCharacters) {
    const Result r = Run({"--json", m_db, "SELECT char(1) || char(31) || char(127) AS c"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"c\":\"\\u0001\\u001f\\u007f\"}\n");
    EXPECT_EQ(JsonLines(r.out)[0].members.at("c").text, "\x01\x1f\x7f");
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

TEST_F(OrvsqlTest, SqlErrorGoesToStderrWithTheStatementAndStopsTheRun) {
    const Result r = Run({m_db, "SELECT * FROM missing_table", "DELETE FROM parts"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("missing_table"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("SELECT * FROM missing_table"), std::string::npos) << r.err;
    // The statement after the failure never ran.
    EXPECT_EQ(Run({"--csv", m_db, "SELECT COUNT(*) AS n FROM parts"}).out, "n\r\n3\r\n");
}

TEST_F(OrvsqlTest, PipedInputStopsAtTheFirstError) {
    const Result r = Run({"--csv", m_db}, "SELECT 1 AS a;\nSELECT nonsense FROM;\nSELECT 2 AS b;\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "a\r\n1\r\n");
    EXPECT_NE(r.err.find("SELECT nonsense FROM"), std::string::npos) << r.err;
}

TEST_F(OrvsqlTest, FilesThatCannotBeOpenedFailWithStatusOne) {
    Result r = Run({m_dir.Path("absent.mdb"), "SELECT 1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("absent.mdb"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("No such file"), std::string::npos) << r.err;

    WriteFile(m_dir.Path("book.xlsx"), std::string("PK\x03\x04", 4) + "rest of an archive");
    r = Run({m_dir.Path("book.xlsx"), "SELECT 1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("workbook"), std::string::npos) << r.err;
}

TEST_F(OrvsqlTest, ATextFileIsATableOfItsFolder) {
    WriteFile(m_dir.Path("stock.csv"), "part,count\r\nbolt,10\r\n\"nut, hex\",25\r\n");
    Result r = Run({"--csv", m_dir.Path("stock.csv"), "SELECT part, count FROM [stock.csv] WHERE count > 20"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "part,count\r\n\"nut, hex\",25\r\n");
    r = Run({"--csv", "--type", "csv", m_dir.Path(""), "SELECT COUNT(*) AS n FROM stock#csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "n\r\n2\r\n");
}

TEST_F(OrvsqlTest, UsageErrorsExitWithStatusTwo) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"}, {"--type"}, {"--type", "docx", m_db}, {m_db, ".frobnicate"},
          {m_db, ".mode yaml"}, {m_db, ".schema"}, {m_db, ".import only.csv"}, {m_db, ".export parts a.csv b"}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2) << args[0] << " " << (args.size() > 1 ? args.back() : "");
        EXPECT_FALSE(r.err.empty());
    }
    const Result help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* needle : {"--csv", "--json", "--tsv", "--type", ".tables", ".schema", ".indexes", ".begin",
                               ".commit", ".rollback", ".mode", ".quit", ".open", ".import", ".export", "Exit status"})
        EXPECT_NE(help.out.find(needle), std::string::npos) << needle;
}

TEST_F(OrvsqlTest, DotCommandsDescribeTablesAndRunTransactions) {
    MakeDatabase(m_db, "CREATE INDEX parts_by_name ON parts (name)");
    Result r = Run({"--csv", m_db, ".tables", ".schema parts", ".indexes parts"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("name,type\r\nparts,TABLE\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("id,I4,4,no,,\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("price,CY,19,yes,,\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("drawing,BYTES,1073741823,yes,,\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("parts_by_name,name\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PrimaryKey,id\r\n"), std::string::npos) << r.out;

    r = Run({"--csv", m_db}, ".begin\nDELETE FROM parts;\n.rollback\n.begin\nDELETE FROM parts WHERE id = 1;\n"
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
    EXPECT_EQ(r.out, "name,type\r\norder_lines,TABLE\r\norders,TABLE\r\npart_notes,TABLE\r\nparts,TABLE\r\nsuppliers,TABLE\r\n");

    r = Run({"--csv", "DELETE FROM order_lines", "SELECT COUNT(*) AS n FROM order_lines"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "n\r\n0\r\n");
    // The sample itself is untouched, and the copy is gone.
    r = Run({"--csv", "SELECT COUNT(*) > 100 AS many FROM order_lines"});
    EXPECT_EQ(r.out, "many\r\n1\r\n");
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path("tmp")));

    r = Run({"--json", "SELECT name FROM parts WHERE price > 10 ORDER BY price DESC"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(JsonLines(r.out).size(), 8u);
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
    MakeDatabase(m_db, "CREATE TABLE v (r DOUBLE, s SINGLE, c CURRENCY, n DECIMAL(20,4), d DATETIME, big BIGINT);"
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
    MakeDatabase(m_db, "CREATE TABLE w (code TEXT(40), amount CURRENCY, rate DECIMAL(28,4), memo MEMO);"
                       "INSERT INTO w VALUES ('08123', 12.5, '3.1416', 'x');");
    const std::string csv = m_dir.Path("w.csv");
    ASSERT_EQ(Run({m_db, ".export w " + csv}).status, 0);
    const std::string ini = ReadFile(m_dir.Path("schema.ini"));
    for (const char* line : {"Col1=code Text Width 40", "Col2=amount Currency", "Col3=rate Decimal Precision 28 Scale 4",
                             "Col4=memo Memo"})
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
