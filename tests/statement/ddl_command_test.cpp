// The statement builder: how values are quoted, stored and rendered, the statement texts,
// and update-or-insert on a real database file.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/case_file.h"
#include "support/library_fixture.h"

using namespace orv::test;

namespace {

// Opens the protected renderings and the command text to the tests.
class Builder : public OrvOleDbDDLCommand {
public:
    using OrvOleDbDDLCommand::GetColList;
    using OrvOleDbDDLCommand::GetSetList;
    using OrvOleDbDDLCommand::GetValueList;
    using OrvOleDbDDLCommand::GetWhereList;
    using OrvOleDbDDLCommand::m_columns;
    using OrvOleDbDDLCommand::m_searchCols;
    const CString& Text() const { return m_commandText; }
    CString Value(std::size_t i) const { return m_columns.at(i).m_value; }
};

TEST(ColumnList, ValuesAreQuotedAndMadeNullAsTheFormatAndTheFlagSay) {
    ForEachCase("column_values.test", [](const std::string& line) {
        const bool null = line.rfind("null: ", 0) == 0;
        std::vector<std::u16string> fields;
        for (std::size_t from = null ? 6 : 0;;) {
            const std::size_t at = line.find(" | ", from);
            const std::string field = line.substr(from, at - from);
            fields.push_back(field == "<empty>" ? u"" : orv::platform::Utf8ToUtf16(field));
            if (at == std::string::npos) break;
            from = at + 3;
        }
        ASSERT_EQ(fields.size(), 3u);
        Builder b;
        b.EmptyAsNull(null);
        if (fields[1] == u"-") b.AddColumn(u"c", fields[0].c_str());
        else b.AddColumn(u"c", fields[0].c_str(), fields[1].c_str());
        EXPECT_EQ(b.Value(0), CString(fields[2].c_str()));
    });
    Builder b;
    b.AddColumn(u"n", u"%d", 42);
    EXPECT_EQ(b.Value(0), CString(u"42"));
}

TEST(ColumnList, ANameAddedAgainInAnyCaseReplacesTheValueInPlace) {
    Builder b;
    b.AddColumn(u"Name", u"'a'");
    b.AddColumn(u"other", u"1");
    b.AddColumn(u"NAME", u"'b'");
    ASSERT_EQ(b.m_columns.size(), 2u);
    EXPECT_EQ(b.m_columns[0].m_column, CString(u"Name"));
    EXPECT_EQ(b.m_columns[0].m_value, CString(u"'b'"));
}

TEST(ColumnList, RenderingsJoinInOrder) {
    Builder b;
    EXPECT_TRUE(b.GetColList(b.m_columns, false).IsEmpty());
    EXPECT_TRUE(b.GetSetList(b.m_columns).IsEmpty());
    EXPECT_TRUE(b.GetWhereList(b.m_searchCols).IsEmpty());
    b.AddSearchCol(u"k1", u"%d", 1);
    b.AddColumn(u"a", u"'x'");
    b.AddColumn(u"b", u"2");
    b.GetColList(b.m_searchCols, false);
    EXPECT_EQ(b.GetColList(b.m_columns, true), CString(u"k1, a, b"));
    std::vector<OrvOleDbDDLCommand::_ColValueMap> none;
    EXPECT_EQ(b.GetColList(none, true), CString(u"k1, a, b"));  // nothing to append: the earlier text
    EXPECT_EQ(b.GetValueList(b.m_columns, false), CString(u"'x', 2"));
    EXPECT_EQ(b.GetSetList(b.m_columns), CString(u"a = 'x',\nb = 2"));
    b.AddSearchCol(u"j", u"2");
    EXPECT_EQ(b.GetWhereList(b.m_searchCols), CString(u"k1 = 1\n AND j = 2"));
}

// ---- Statements on a database file -----------------------------------------------------------

class StatementTest : public OnDatabaseFile {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        Open(
            "CREATE TABLE T(k INTEGER, j INTEGER, a TEXT(20), b INTEGER, added DATETIME);"
            "INSERT INTO T(k, j, a, b) VALUES (1, 1, 'one', 10), (2, 1, 'two', 20), (2, 2, 'two b', 30);");
        m_builder.SetConnection(&m_connection);
        m_builder.SetTable(u"T");
    }
    void TearDown() override {
        m_builder.Close();
        OnDatabaseFile::TearDown();
    }

    Builder m_builder;
};

TEST_F(StatementTest, StatementTextsAreExactlyTheRenderedLists) {
    m_builder.AddSearchCol(u"k", u"%d", 1);
    m_builder.AddColumn(u"a", u"'%s'", u"x");
    m_builder.AddColumn(u"b", u"%d", 2);
    ASSERT_TRUE(m_builder.Insert()) << Utf8(m_builder.GetErrorInfo(true));
    EXPECT_EQ(m_builder.Text(), CString(u"INSERT INTO T (k, a, b) VALUES (1, 'x', 2)"));
    ASSERT_TRUE(m_builder.Update());
    EXPECT_EQ(m_builder.Text(), CString(u"UPDATE T SET a = 'x',\nb = 2 WHERE k = 1"));
    ASSERT_TRUE(m_builder.Update());  // the lists persist: the same statement again
    EXPECT_EQ(m_builder.Text(), CString(u"UPDATE T SET a = 'x',\nb = 2 WHERE k = 1"));
    ASSERT_TRUE(m_builder.Delete());
    EXPECT_EQ(m_builder.Text(), CString(u"DELETE FROM T WHERE k = 1"));
    EXPECT_EQ(m_builder.GetRowsAffected(), 2);
}

TEST_F(StatementTest, InsertWithOneEmptyListHasNoStraySeparator) {
    m_builder.AddColumn(u"a", u"'only columns'");
    m_builder.AddColumn(u"b", u"5");
    ASSERT_TRUE(m_builder.Insert());
    EXPECT_EQ(m_builder.Text(), CString(u"INSERT INTO T (a, b) VALUES ('only columns', 5)"));
    m_builder.EmptyCols();
    m_builder.AddSearchCol(u"k", u"9");
    ASSERT_TRUE(m_builder.Insert());
    EXPECT_EQ(m_builder.Text(), CString(u"INSERT INTO T (k) VALUES (9)"));
}

TEST_F(StatementTest, UpdateInsertUpdatesEveryMatchingRow) {
    m_builder.AddSearchCol(u"k", u"2");
    m_builder.AddColumn(u"b", u"99");
    ASSERT_TRUE(m_builder.UpdateInsert());
    EXPECT_EQ(m_builder.Text(), CString(u"UPDATE T SET b = 99 WHERE k = 2"));
    EXPECT_EQ(One(u"SELECT COUNT(*) FROM T WHERE b = 99"), u"2");
    EXPECT_EQ(One(u"SELECT COUNT(*) FROM T"), u"3");
    EXPECT_FALSE(m_builder.HasResults());  // the count's row was closed
}

TEST_F(StatementTest, UpdateInsertInsertsWhenNothingMatches) {
    m_builder.AddSearchCol(u"k", u"7");
    m_builder.AddSearchCol(u"j", u"1");
    m_builder.AddColumn(u"a", u"'%s'", u"seven's");
    ASSERT_TRUE(m_builder.UpdateInsert());
    EXPECT_EQ(m_builder.Text(), CString(u"INSERT INTO T (k, j, a) VALUES (7, 1, 'seven''s')"));
    EXPECT_EQ(One(u"SELECT a FROM T WHERE k = 7"), u"seven's");
}

TEST_F(StatementTest, UpdateInsertInsertsWhenTheCountFails) {
    m_builder.AddSearchCol(u"missing", u"1");
    m_builder.AddColumn(u"a", u"'x'");
    EXPECT_FALSE(m_builder.UpdateInsert());  // the insert fails too, with its own text
    EXPECT_EQ(m_builder.GetErrorStatement(), CString(u"INSERT INTO T (missing, a) VALUES (1, 'x')"));
    EXPECT_NE(m_builder.GetErrorText().Find(u"missing"), -1);
}

TEST_F(StatementTest, DateAndNowAreValuesOfTheEngine) {
    m_builder.AddSearchCol(u"k", u"8");
    m_builder.AddColumn(u"added", u"Date()");
    ASSERT_TRUE(m_builder.Insert()) << Utf8(m_builder.GetErrorInfo(true));
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    EXPECT_EQ(One(u"SELECT CAST(added AS TEXT) FROM T WHERE k = 8"), orv::platform::Utf8ToUtf16(today));
    EXPECT_EQ(One(u"SELECT length(Now())"), u"19");
}

// Values at the builder's limit (204,799 characters): one that fits goes in whole; one that
// is cut is still one quoted literal, whatever quotes it holds, so the text past the cut
// (or past a quote inside) never becomes SQL.
TEST_F(StatementTest, ValuesAtTheLimitAreStoredWholeOrCutButNeverBecomeSql) {
    MakeDatabase(m_dir.Path("plant.mdb"),
                 "CREATE TABLE notes(k INTEGER, note MEMO); CREATE TABLE secret(s TEXT);"
                 "INSERT INTO secret VALUES ('the secret')");
    m_builder.SetTable(u"notes");
    const std::u16string fits = std::u16string(204796, u'f') + u"'";  // with its quotes: 204,799
    m_builder.AddSearchCol(u"k", u"1");
    m_builder.AddColumn(u"note", u"'%s'", fits.c_str());
    ASSERT_TRUE(m_builder.Insert()) << Utf8(m_builder.GetErrorText());
    EXPECT_EQ(One(u"SELECT length(note) || substr(note, -2) FROM notes WHERE k = 1"), u"204797f'");

    // A host quoting data it was given: the data is longer than the limit, and a quote in it
    // is followed by SQL that reads another table, up to an open comment that would swallow
    // the rest of the statement.
    const std::u16string injected = u"' || (SELECT s FROM secret))/*";
    const std::u16string attack = std::u16string(204700, u'x') + injected + std::u16string(100000, u'y');
    m_builder.AddSearchCol(u"k", u"2");
    m_builder.AddColumn(u"note", u"'%s'", attack.c_str());
    ASSERT_TRUE(m_builder.Insert()) << Utf8(m_builder.GetErrorText());
    EXPECT_EQ(One(u"SELECT COUNT(*) FROM notes WHERE k = 2 AND note LIKE '%the secret%'"), u"0");
    EXPECT_EQ(One(u"SELECT length(note) FROM notes WHERE k = 2"), u"204797");
    const std::u16string stored =
        u"SELECT instr(note, '" + std::u16string(u"'' || (SELECT s FROM secret))/*") + u"') FROM notes WHERE k = 2";
    EXPECT_EQ(One(stored.c_str()), u"204701");

    // A mebibyte for a number: cut to the limit like any value, and refused or stored whole.
    const std::u16string digits(1u << 20, u'9');
    m_builder.AddSearchCol(u"k", u"%s", digits.c_str());
    EXPECT_EQ(m_builder.m_searchCols.back().m_value.GetLength(), 204799);
    const bool inserted = m_builder.Insert();
    EXPECT_EQ(One(u"SELECT COUNT(*) FROM notes"), inserted ? u"3" : u"2");
}

}  // namespace
