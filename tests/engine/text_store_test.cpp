// Folders of delimited text files as tables, beyond what the scripts sql/text_*.test show:
// values beyond the sampled rows, scans that stream the file, and writes that the file
// system refuses (the reader alone: lines of cases/text_forms.test).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/engine_session.h"
#include "support/holds.h"
#include "support/query_text.h"

using namespace orv::test;
using orv::platform::Utf16ToUtf8;
using orv::platform::Utf8ToUtf16;

namespace {

using Row = std::vector<std::u16string>;

class TextStoreTest : public SessionTest {
protected:
    std::string Read(const std::string& name) { return ReadFile(m_dir.Path(name)); }
    std::vector<Row> Rows(const char16_t* sql) { return QueryText(m_session, sql).rows; }
};
using TextWriteTest = TextStoreTest;

TEST_F(TextStoreTest, AValueThatDoesNotFitItsColumnStillReadsAsARow) {
    auto file = [](int goodRows) {
        std::string body = "id,name\n";
        for (int i = 1; i <= goodRows; ++i) body += std::to_string(i) + ",n" + std::to_string(i) + "\n";
        return body + "oops,late\n";  // beyond the rows the file's types are guessed from
    };
    Write("late.csv", file(30));
    Write("later.csv", file(200));
    OpenFolder();
    // Within the rows a result samples, the column widens to text and the value reads as itself.
    Result r = Query(u"SELECT id, name FROM [late.csv]");
    ASSERT_EQ(r.rows.size(), 31u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_WSTR);
    EXPECT_EQ(r.rows[29], (Row{u"30", u"n30"}));
    EXPECT_EQ(r.rows[30], (Row{u"oops", u"late"}));
    // Beyond them, the row still reads, with a conversion status instead of a made-up number.
    r = Query(u"SELECT id, name FROM [later.csv]");
    ASSERT_EQ(r.rows.size(), 201u);
    EXPECT_EQ(r.columns[0].wType, DBTYPE_I4);
    EXPECT_EQ(r.rows[199], (Row{u"200", u"n200"}));
    EXPECT_EQ(r.rows[200], (Row{u"<error>", u"late"}));
    EXPECT_EQ(Scalar(u"SELECT CAST(id AS TEXT) FROM [later.csv] WHERE name = 'late'"), u"oops");

    // MaxScanRows=0 looks at every row: the file's column is text.
    Write("schema.ini", "[later.csv]\nMaxScanRows=0\n");
    m_session.Release();
    OpenFolder();
    EXPECT_EQ(Query(u"SELECT id FROM [later.csv]").columns[0].wType, DBTYPE_WSTR);
}

TEST_F(TextStoreTest, AFileOfTheFolderOpensTheFolderAndAMissingFolderIsNamed) {
    Write("a.csv", "x\n1\n");
    m_session = OpenSession(m_dir.WPath("a.csv"), u"Extended Properties=\"text;HDR=YES\"");
    ASSERT_TRUE(m_session);
    EXPECT_EQ(Scalar(u"SELECT x FROM [a.csv]"), u"1");
    m_session.Release();

    std::u16string missing = m_dir.WPath("no/such/folder");
    CComPtr<IDBInitialize> source = DataSource(missing, u"Extended Properties=\"text;HDR=YES\"");
    ASSERT_TRUE(source);
    EXPECT_TRUE(FAILED(source->Initialize()));
    std::u16string message = LastErrorDescription();
    EXPECT_NE(message.find(u"no such folder"), std::u16string::npos) << Utf16ToUtf8(message);
    EXPECT_NE(message.find(missing), std::u16string::npos) << Utf16ToUtf8(message);
}

TEST_F(TextStoreTest, ScansStreamTheFileAndRestartAtTheTop) {
    const std::string path = m_dir.Path("big.csv");
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fputs("id,name,amount,note\n", f);
        std::string line;
        long rows = 0;
        for (long written = 0; written < 50L * 1024 * 1024; ++rows) {
            line = std::to_string(rows + 1) + ",\"name " + std::to_string(rows) + ", quoted\"," +
                   std::to_string(rows % 1000) + ".5,some filler text to make the line longer\n";
            std::fputs(line.c_str(), f);
            written += long(line.size());
        }
        std::fclose(f);
        OpenFolder();
        // Start the peak over from the present size where Linux allows it, so that an
        // earlier test's peak cannot hide this scan's.
        if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", clear);
            std::fclose(clear);
        }
        struct rusage before;
        getrusage(RUSAGE_SELF, &before);
        EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM [big.csv]"), Utf8ToUtf16(std::to_string(rows)));
        struct rusage after;
        getrusage(RUSAGE_SELF, &after);
        // ru_maxrss is in kilobytes; the peak may grow a little, never by the file's size.
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 10L * 1024)
            << "peak RSS grew by " << after.ru_maxrss - before.ru_maxrss << " KB";
    }
    // A backward move reruns the statement: the scan starts again at the first record.
    CComPtr<IRowset> rowset;
    ASSERT_EQ(RunSql(m_session, u"SELECT id FROM [big.csv] WHERE id <= 3", &rowset), S_OK);
    for (int pass = 0; pass < 2; ++pass) {
        HROW rows[3];
        HROW* p = rows;
        DBCOUNTITEM obtained = 0;
        EXPECT_TRUE(SUCCEEDED(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 3, &obtained, &p)));
        EXPECT_EQ(obtained, 3u);
        rowset->ReleaseRows(obtained, rows, nullptr, nullptr, nullptr);
        ASSERT_EQ(rowset->RestartPosition(DB_NULL_HCHAPTER), S_OK);
    }
}

TEST_F(TextWriteTest, WritesToAFolderThatCannotBeWrittenFailAndLeaveTheFile) {
    if (RunningAsRoot()) GTEST_SKIP() << "root writes any folder";
    const std::string original = "id,name\r\n1,a\r\n";
    Write("t.csv", original);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0555), 0);
    OpenFolder();
    std::string message = Refused(u"DELETE FROM [t.csv]");
    EXPECT_TRUE(Holds(message, {"read-only", "t.csv"}));
    ::chmod(m_dir.Path().c_str(), 0755);
    EXPECT_EQ(Read("t.csv"), original);
}

TEST_F(TextWriteTest, AFileThatCannotBeReplacedOrDeletedIsLeftAsItWas) {
    // In an append-only folder new files can be made but no name removed: the rewritten
    // file cannot be renamed over the old one. Setting the attribute needs root and a file
    // system that has it.
    const std::string original = "id,name\r\n1,a\r\n2,b\r\n";
    Write("t.csv", original);
    const std::string folder = m_dir.Path();
    if (std::system(("chattr +a '" + folder + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "the folder cannot be made append-only here";
    struct Restore {
        std::string folder;
        ~Restore() { (void)std::system(("chattr -a '" + folder + "'").c_str()); }
    } restore{folder};
    OpenFolder();
    std::string message = Refused(u"UPDATE [t.csv] SET name = 'z'");
    EXPECT_TRUE(Holds(message, {"t.csv", "the file is as it was"}));
    EXPECT_EQ(Read("t.csv"), original);
    EXPECT_EQ(Rows(u"SELECT name FROM [t.csv]"), (std::vector<Row>{{u"a"}, {u"b"}}));
    // Nor can it be deleted; the message says why, and the table stays.
    message = Refused(u"DROP TABLE [t.csv]");
    EXPECT_TRUE(Holds(message, {"Cannot delete the text file", "t.csv"}));
    EXPECT_EQ(Read("t.csv"), original);
    EXPECT_EQ(Rows(u"SELECT COUNT(*) FROM [t.csv]"), (std::vector<Row>{{u"2"}}));
}

TEST_F(TextWriteTest, AFolderThatCanBeWrittenIsNotReadOnly) {
    Write("t.csv", "id\r\n1\r\n");
    for (bool readOnly : {false, true}) {
        CComPtr<IDBInitialize> source = DataSource(
            m_dir.WPath(), std::u16string(readOnly ? u"Mode=Read;" : u"") + u"Extended Properties=\"text;HDR=YES\"");
        ASSERT_TRUE(source);
        ASSERT_EQ(source->Initialize(), S_OK);
        CComPtr<IDBProperties> properties;
        ASSERT_EQ(source.QueryInterface(&properties), S_OK);
        DBPROPID id = DBPROP_DATASOURCEREADONLY;
        DBPROPIDSET set = {&id, 1, DBPROPSET_DATASOURCEINFO};
        ULONG count = 0;
        DBPROPSET* sets = nullptr;
        ASSERT_EQ(properties->GetProperties(1, &set, &count, &sets), S_OK);
        EXPECT_EQ(sets[0].rgProperties[0].vValue.boolVal, readOnly ? VARIANT_TRUE : VARIANT_FALSE);
        VariantClear(&sets[0].rgProperties[0].vValue);
        CoTaskMemFree(sets[0].rgProperties);
        CoTaskMemFree(sets);
    }
}

}  // namespace
