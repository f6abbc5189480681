// orvsql at its prompt on a pseudo-terminal, and stopped by Ctrl-C: what a person meets
// typing at the keyboard (the line cleared, a long query cancelled, the caret under an
// error, Tab completion) and what a script meets when it is interrupted.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tools/shell_cases.h"

namespace {

using namespace std::chrono_literals;
using orv::test::Holds;
using orv::test::MakeDatabase;
using orv::test::RunShell;
using orv::test::TempDir;
using orv::test::Terminal;
using orv::test::WriteFile;

// A statement that only an interrupt ends: it counts without end inside one step of SQLite.
const char* kEndless = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT COUNT(*) FROM c";

class OrvsqlTerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_db = m_dir.Path("plant.mdb");
        MakeDatabase(m_db,
                     "CREATE TABLE parts (id INTEGER PRIMARY KEY, name TEXT(60), price CURRENCY);"
                     "INSERT INTO parts VALUES (1, 'bolt', 0.25), (2, 'nut', 0.1);");
    }

    // Starts the shell on the test's database and waits for its first prompt.
    std::unique_ptr<Terminal> Start() {
        auto terminal = std::make_unique<Terminal>(m_dir, std::vector<std::string>{m_db});
        EXPECT_TRUE(terminal->Shows("", {"orvsql> "}));
        return terminal;
    }

    // Leaves with .quit; the shell must end by itself with status 0.
    void Quit(Terminal& terminal) {
        terminal.Type(".quit\n");
        EXPECT_EQ(terminal.Finish(), 0) << terminal.Shown();
    }

    TempDir m_dir;
    std::string m_db;
};

TEST_F(OrvsqlTerminalTest, CtrlCAtThePromptClearsTheLineAndAMultiLineStatement) {
    auto terminal = Start();
    terminal->Type("SELECT 'never run'");
    ASSERT_TRUE(terminal->Shows("\x03", {"^C", "orvsql> "}));
    // A statement over several lines goes as a whole.
    ASSERT_TRUE(terminal->Shows("SELECT 'half' AS first\n", {"...> "}));
    ASSERT_TRUE(terminal->Shows("\x03", {"orvsql> "}));
    ASSERT_TRUE(terminal->Shows("SELECT 42 AS answer;\n", {"answer", "orvsql> "}));
    Quit(*terminal);
    // Typed (and echoed, once or twice, whether the keys came before the line editor took
    // the terminal or after), never printed as a result.
    const std::string& shown = terminal->Shown();
    auto count = [&](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = shown.find(text); at != std::string::npos; at = shown.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("never run"), count("'never run'")) << shown;
    EXPECT_EQ(shown.find("half\r\n"), std::string::npos) << shown;
}

TEST_F(OrvsqlTerminalTest, CtrlCCancelsARunningStatementAndTheSessionGoesOn) {
    auto terminal = Start();
    ASSERT_TRUE(
        terminal->Shows(".begin\nINSERT INTO parts (name) VALUES ('in the transaction');\n", {"1 row affected"}));
    terminal->Type(std::string(kEndless) + ";\n");
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(terminal->Shows("\x03", {"cancelled", "orvsql> "}));
    // The transaction is still open and the connection still works.
    ASSERT_TRUE(terminal->Shows(".commit\nSELECT COUNT(*) AS n FROM parts;\n", {"3"}));
    Quit(*terminal);
}

TEST_F(OrvsqlTerminalTest, AnErrorAtThePromptShowsACaretUnderTheToken) {
    auto terminal = Start();
    ASSERT_TRUE(terminal->Shows("SELECT id,\n   nme FROM parts;\n",
                                {"     nme FROM parts\r\n     ^\r\n",
                                 "Error: No such column: nme. (SQLSTATE 42S22, line 2, column 4)", "orvsql> "}));
    Quit(*terminal);  // a failure at the prompt does not end the session, nor fail it
}

TEST_F(OrvsqlTerminalTest, TabCompletesKeywordsTablesAndColumns) {
    auto terminal = Start();
    ASSERT_TRUE(terminal->Shows("sel\t 1 AS one;\n", {"one", "orvsql> "}));  // "select", in the case it was typed
    // "pri" alone would also be PRIMARY.
    ASSERT_TRUE(terminal->Shows("SELECT pric\t FROM pa\t;\n", {"price", "(2 rows"}));
    // A table made in this session completes too.
    ASSERT_TRUE(terminal->Shows("CREATE TABLE suppliers (city TEXT(20));\n", {"orvsql> "}));
    ASSERT_TRUE(terminal->Shows("SELECT ci\t FROM supp\t;\n", {"(0 rows"}));
    Quit(*terminal);
}

TEST_F(OrvsqlTerminalTest, AnInterruptedImportOrExportLeavesNothingBehind) {
    std::string csv = "id,name,qty\n";
    for (int i = 0; i < 400000; ++i)
        csv += std::to_string(i) + ",part " + std::to_string(i) + "," + std::to_string(i % 97) + "\n";
    WriteFile(m_dir.Path("big.csv"), csv);
    // Once the import's transaction has its journal, the rows are going in.
    const std::string journal = m_db + "-journal";
    auto r =
        RunShell(m_dir, {m_db, ".import big.csv big"}, "", 100ms, [&] { return std::filesystem::exists(journal); });
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(Holds(r.err, {"nothing was kept"}));
    r = RunShell(m_dir, {"--csv", m_db, ".tables"});
    EXPECT_EQ(r.out.find("big"), std::string::npos) << r.out;

    // A table large enough that its export is under way when Ctrl-C comes.
    MakeDatabase(m_db,
                 "CREATE TABLE many AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                 "LIMIT 400000) SELECT x, 'row ' || x AS label FROM c");
    // The export makes its file first, then copies the rows into it.
    const std::string out = m_dir.Path("out.csv");
    r = RunShell(m_dir, {m_db, ".export many out.csv"}, "", 100ms, [&] { return std::filesystem::exists(out); });
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path("out.csv")));
}

}  // namespace
