// Runs the SQL scripts of tests/engine/sql/*.test, one test per file, each on a fresh
// database file reached through the engine's commands. A script is a list of records,
// each a directive line followed by text up to a blank line:
//
//   sqlite                     statements run by SQLite itself on the file before the
//                              engine opens it (to set up rows the dialect cannot write)
//   statement ok [count N]     SQL that succeeds (and reports N rows affected)
//   statement error [text]     SQL that fails, its error description holding `text`
//   query                      SQL, a line "----", then the expected rows, one a line,
//                              columns separated by "|", NULL for a null
//   begin | commit | rollback  a local transaction of the session
//   elsewhere                  SQL that succeeds on a second connection to the file,
//                              closed right after (another program's change)
//   rewrite                    SQL, "----", then the SQL the dialect rewrite gives for it
//   rewrite error [text]       SQL the rewrite refuses, naming `text`
//   rewrite unchanged          one SQL a line: the rewrite skips it and would not change it
//   rewrite flagged            one SQL a line: the rewrite must look at it
//
// Lines starting with "#" outside a record are comments.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/sql/rewrite.h"
#include "support/engine_session.h"
#include "support/query_text.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;
using orv::platform::Utf8ToUtf16;

namespace {

struct Record {
    int line = 0;
    std::string directive;
    std::vector<std::string> text;  // lines before "----"
    std::vector<std::string> expected;  // lines after it
    bool separated = false;
};

std::vector<Record> ReadScript(const std::string& path) {
    std::ifstream in(path);
    std::vector<Record> records;
    std::string line;
    int number = 0;
    Record* open = nullptr;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty()) {
            open = nullptr;
        } else if (!open) {
            if (line[0] == '#') continue;
            records.push_back({number, line, {}, {}, false});
            open = &records.back();
        } else if (line == "----") {
            open->separated = true;
        } else {
            (open->separated ? open->expected : open->text).push_back(line);
        }
    }
    return records;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += (out.empty() ? "" : "\n") + l;
    return out;
}

// What follows `word` in a directive line, or nothing when the line does not start with it.
bool Takes(const std::string& directive, const std::string& word, std::string& rest) {
    if (directive.compare(0, word.size(), word) != 0) return false;
    if (directive.size() > word.size() && directive[word.size()] != ' ') return false;
    rest = directive.size() > word.size() ? directive.substr(word.size() + 1) : "";
    return true;
}

class SqlScriptTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override {
        m_transaction.Release();
        m_session.Release();
        CoUninitialize();
    }

    IOpenRowset* Session() {
        if (!Exists(m_dir.Path("script.mdb"))) MakeDatabase(m_dir.Path("script.mdb"), "SELECT 1");
        if (!m_session) m_session = OpenSession(m_dir.WPath("script.mdb"));
        return m_session;
    }

    void Run(const Record& r) {
        const std::string sql = Joined(r.text);
        const std::u16string wide = Utf8ToUtf16(sql);
        std::string rest;
        if (r.directive == "sqlite") {
            ASSERT_FALSE(m_session) << "sqlite records come before the engine opens the file";
            MakeDatabase(m_dir.Path("script.mdb"), sql.c_str());
        } else if (Takes(r.directive, "statement ok", rest)) {
            DBROWCOUNT affected = 0;
            EXPECT_EQ(RunSql(Session(), wide.c_str(), nullptr, &affected), S_OK)
                << sql << ": " << Utf16ToUtf8(LastErrorDescription());
            if (Takes(rest, "count", rest)) {
                EXPECT_EQ(affected, std::stoll(rest)) << sql;
            }
        } else if (Takes(r.directive, "statement error", rest)) {
            EXPECT_TRUE(FAILED(RunSql(Session(), wide.c_str()))) << sql;
            EXPECT_NE(Utf16ToUtf8(LastErrorDescription()).find(rest), std::string::npos)
                << sql << ": " << Utf16ToUtf8(LastErrorDescription());
        } else if (r.directive == "query") {
            Result result = QueryText(Session(), wide.c_str());
            std::vector<std::string> rows;
            for (const auto& row : result.rows) {
                std::string line;
                for (std::size_t i = 0; i < row.size(); ++i)
                    line += (i ? "|" : "") + (row[i] == u"<null>" ? std::string("NULL") : Utf16ToUtf8(row[i]));
                rows.push_back(line);
            }
            EXPECT_EQ(Joined(rows), Joined(r.expected)) << sql;
        } else if (r.directive == "elsewhere") {
            CComPtr<IOpenRowset> other = OpenSession(m_dir.WPath("script.mdb"));
            EXPECT_EQ(RunSql(other, wide.c_str()), S_OK) << sql << ": " << Utf16ToUtf8(LastErrorDescription());
        } else if (r.directive == "begin") {
            if (!m_transaction) {
                ASSERT_EQ(Session()->QueryInterface(IID_ITransactionLocal, reinterpret_cast<void**>(&m_transaction)),
                          S_OK);
            }
            ASSERT_EQ(m_transaction->StartTransaction(ISOLATIONLEVEL_READCOMMITTED, 0, nullptr, nullptr), S_OK);
        } else if (r.directive == "commit") {
            ASSERT_EQ(m_transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
        } else if (r.directive == "rollback") {
            ASSERT_EQ(m_transaction->Abort(nullptr, FALSE, FALSE), S_OK);
        } else if (r.directive == "rewrite") {
            auto rewritten = orv::engine::RewriteSql(sql);
            EXPECT_FALSE(rewritten.error) << sql << ": " << rewritten.error.value_or("");
            EXPECT_EQ(rewritten.sql, Joined(r.expected)) << sql;
        } else if (r.directive == "rewrite unchanged" || r.directive == "rewrite flagged") {
            const bool flagged = r.directive == "rewrite flagged";
            for (const std::string& each : r.text) {
                EXPECT_EQ(orv::engine::MayNeedRewrite(each), flagged) << each;
                if (!flagged) {
                    EXPECT_EQ(orv::engine::RewriteSql(each).sql, each);
                }
            }
        } else if (Takes(r.directive, "rewrite error", rest)) {
            auto rewritten = orv::engine::RewriteSql(sql);
            ASSERT_TRUE(rewritten.error) << sql;
            EXPECT_NE(rewritten.error->find(rest), std::string::npos) << *rewritten.error;
        } else {
            ADD_FAILURE() << "unknown directive: " << r.directive;
        }
    }

    TempDir m_dir;
    CComPtr<IOpenRowset> m_session;
    CComPtr<ITransactionLocal> m_transaction;
};

TEST_P(SqlScriptTest, Runs) {
    const std::string path = std::string(ORV_SQL_SCRIPTS) + "/" + GetParam() + ".test";
    const std::vector<Record> records = ReadScript(path);
    ASSERT_FALSE(records.empty()) << path;
    for (const Record& r : records) {
        SCOPED_TRACE(GetParam() + ".test:" + std::to_string(r.line));
        Run(r);
        if (HasFatalFailure()) return;
    }
}

std::vector<std::string> Scripts() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(ORV_SQL_SCRIPTS))
        if (entry.path().extension() == ".test") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(Scripts, SqlScriptTest, ::testing::ValuesIn(Scripts()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
