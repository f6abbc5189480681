// Transactions on a connection: what a rollback undoes, commits that nest, and the texts
// of commits without a transaction.
#include <gtest/gtest.h>

#include "support/engine_session.h"
#include "support/query_text.h"
#include "support/library_fixture.h"

using namespace orv::test;

namespace {

class TransactionTest : public OnDatabaseFile {
protected:
    void SetUp() override {
        OnDatabaseFile::SetUp();
        Open("CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT)");
    }

    void Insert(const char16_t* name) {
        std::u16string sql = u"INSERT INTO t(name) VALUES('" + std::u16string(name) + u"')";
        ASSERT_EQ(RunSql(m_connection.GetSession().m_spOpenRowset, sql.c_str()), S_OK);
    }
    // Rows in the table, counted on a second connection: what has really been committed.
    std::u16string CommittedRows() {
        return QueryText(OpenSession(m_dir.WPath("plant.mdb")), u"SELECT COUNT(*) FROM t").rows.at(0).at(0);
    }
};

TEST_F(TransactionTest, RollbackUndoesAndCommitKeepsAndNestedLevelsEndInnermostFirst) {
    ASSERT_TRUE(m_connection.StartTransaction());
    Insert(u"undone");
    EXPECT_TRUE(m_connection.Rollback());
    EXPECT_EQ(CommittedRows(), u"0");

    ASSERT_TRUE(m_connection.StartTransaction());
    Insert(u"kept");
    ASSERT_TRUE(m_connection.StartTransaction());
    Insert(u"inner");
    EXPECT_TRUE(m_connection.Rollback());  // the inner level only
    EXPECT_TRUE(m_connection.Commit());
    EXPECT_EQ(CommittedRows(), u"1");
}

TEST_F(TransactionTest, CommittingTwiceFailsWithTextAndASuccessClearsIt) {
    ASSERT_TRUE(m_connection.StartTransaction());
    EXPECT_TRUE(m_connection.Commit());
    EXPECT_FALSE(m_connection.Commit());
    EXPECT_NE(m_connection.GetErrorText().Find(u"no transaction to commit"), -1);
    EXPECT_NE(m_connection.GetErrorText().Find(u"SQLState: 25000"), -1);
    EXPECT_FALSE(m_connection.Rollback());
    ASSERT_TRUE(m_connection.StartTransaction());
    EXPECT_FALSE(m_connection.HasErrorInfo());
    EXPECT_TRUE(m_connection.Commit());
}

TEST_F(TransactionTest, AClosedConnectionSaysItIsNotOpen) {
    m_connection.Close();
    EXPECT_FALSE(m_connection.StartTransaction());
    EXPECT_NE(m_connection.GetErrorText().Find(u"not open"), -1);
    EXPECT_FALSE(m_connection.Commit());
    EXPECT_FALSE(m_connection.Rollback());
}

}  // namespace
