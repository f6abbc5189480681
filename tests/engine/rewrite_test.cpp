// The dialect rewrite as text: what it changes, and that literals, names and comments pass
// through untouched.
#include <gtest/gtest.h>

#include "engine/sql/rewrite.h"

using orv::engine::ParseDateLiteral;
using orv::engine::RewriteSql;

namespace {

std::string Rw(const char* sql) {
    auto r = RewriteSql(sql);
    EXPECT_FALSE(r.error) << sql << ": " << r.error.value_or("");
    return r.sql;
}

TEST(RewriteTest, PlainSqliteTextIsUnchanged) {
    for (const char* sql : {"SELECT a, b FROM t WHERE a <> 1 ORDER BY b", "INSERT INTO t VALUES (1, 'x')",
                            "SELECT a || b FROM t LIMIT 3", "UPDATE t SET a = ? WHERE b = :name",
                            "SELECT * FROM t WHERE a LIKE 'x%'", "SELECT count(*) FROM t -- done"})
        EXPECT_EQ(Rw(sql), sql);
}

TEST(RewriteTest, LiteralsNamesAndCommentsAreNeverTouched) {
    const char* sql =
        "SELECT 'TOP 5 #1/2/2024# a & b True', [x & y#z], \"TOP 3\", `a#b` /* TOP 2 & #1/1/2000# */ FROM t -- & TOP 1";
    EXPECT_EQ(Rw(sql), sql);
    EXPECT_EQ(Rw("SELECT 'it''s #1/1/2000#' FROM t"), "SELECT 'it''s #1/1/2000#' FROM t");
    EXPECT_EQ(Rw("SELECT * FROM [parts#csv] WHERE n LIKE '[*]'"), "SELECT * FROM [parts#csv] WHERE n LIKE '[%]'");
}

TEST(RewriteTest, DateLiterals) {
    EXPECT_EQ(Rw("SELECT * FROM t WHERE d = #3/1/2024#"), "SELECT * FROM t WHERE d = '2024-03-01'");
    EXPECT_EQ(Rw("SELECT * FROM t WHERE d > #2024-03-01 13:45#"), "SELECT * FROM t WHERE d > '2024-03-01 13:45:00'");
    EXPECT_EQ(Rw("SELECT * FROM t WHERE d BETWEEN #1/2/99# AND #12/31/2029 11:59:59 PM#"),
              "SELECT * FROM t WHERE d BETWEEN '1999-01-02' AND '2029-12-31 23:59:59'");
    EXPECT_EQ(Rw("INSERT INTO t VALUES(#1-Mar-2024#,#March 2, 2024 12:00 AM#)"),
              "INSERT INTO t VALUES('2024-03-01','2024-03-02')");
    EXPECT_EQ(Rw("SELECT #13:45#"), "SELECT '1899-12-30 13:45:00' AS \"#13:45#\"");
    auto bad = RewriteSql("SELECT * FROM t WHERE d = #2/30/2024#");
    ASSERT_TRUE(bad.error);
    EXPECT_NE(bad.error->find("#2/30/2024#"), std::string::npos);
    EXPECT_FALSE(ParseDateLiteral("13/45/2024"));
    EXPECT_FALSE(ParseDateLiteral("1/2/2024 25:00"));
    EXPECT_EQ(ParseDateLiteral("2024/03/01").value_or(""), "2024-03-01");
}

TEST(RewriteTest, HashAfterANameIsATextFileTable) {
    EXPECT_EQ(Rw("SELECT * FROM parts#csv"), "SELECT * FROM \"parts.csv\"");
    EXPECT_EQ(Rw("INSERT INTO parts#txt SELECT * FROM old#csv"), "INSERT INTO \"parts.txt\" SELECT * FROM \"old.csv\"");
}

TEST(RewriteTest, TopBecomesLimit) {
    EXPECT_EQ(Rw("SELECT TOP 5 a FROM t ORDER BY a"), "SELECT  a FROM t ORDER BY a LIMIT 5");
    EXPECT_EQ(Rw("SELECT DISTINCT TOP 2 a FROM t;"), "SELECT DISTINCT  a FROM t LIMIT 2;");
    EXPECT_EQ(Rw("SELECT a FROM t WHERE a IN (SELECT TOP 3 b FROM u ORDER BY b DESC) ORDER BY a"),
              "SELECT a FROM t WHERE a IN (SELECT  b FROM u ORDER BY b DESC LIMIT 3) ORDER BY a");
    EXPECT_EQ(Rw("SELECT TOP 1 a FROM t UNION ALL SELECT TOP 2 b FROM u"),
              "SELECT * FROM (SELECT  a FROM t LIMIT 1) UNION ALL SELECT * FROM (SELECT  b FROM u LIMIT 2)");
    std::string percent = Rw("SELECT TOP 10 PERCENT a FROM t ORDER BY a");
    EXPECT_NE(percent.find("LIMIT (SELECT"), std::string::npos);
    EXPECT_EQ(percent.find("TOP"), std::string::npos);
    EXPECT_TRUE(RewriteSql("SELECT TOP x a FROM t").error);
}

TEST(RewriteTest, AmpersandConcatenatesWithNullAsEmpty) {
    EXPECT_EQ(Rw("SELECT a & b FROM t"), "SELECT orv_concat(a, b) AS \"a & b\" FROM t");
    EXPECT_EQ(Rw("SELECT first & ' ' & last AS name, x FROM t"), "SELECT orv_concat(first, ' ', last) AS name, x FROM t");
    EXPECT_EQ(Rw("SELECT * FROM t WHERE a & 'x' = b + 1"), "SELECT * FROM t WHERE orv_concat(a, 'x') = b + 1");
    EXPECT_EQ(Rw("SELECT a + 1 & Mid(b, 2) FROM t"), "SELECT orv_concat(a + 1, Mid(b, 2)) AS \"a + 1 & Mid(b, 2)\" FROM t");
    EXPECT_EQ(Rw("SELECT IIf(x, a & b, c) x FROM t"), "SELECT IIf(x, orv_concat(a, b), c) x FROM t");
    EXPECT_EQ(Rw("SELECT CASE WHEN x THEN a & b END AS y FROM t"), "SELECT CASE WHEN x THEN orv_concat(a, b) END AS y FROM t");
    EXPECT_EQ(Rw("SELECT CASE WHEN x THEN 1 END & 'a' & CASE y WHEN 2 THEN 'b' END AS z FROM t"),
              "SELECT orv_concat(CASE WHEN x THEN 1 END, 'a', CASE y WHEN 2 THEN 'b' END) AS z FROM t");
}

TEST(RewriteTest, AmpersandWithoutAnOperandIsASyntaxError) {
    for (const char* sql : {"SELECT Customer & FROM Orders", "SELECT & Customer FROM Orders",
                            "SELECT a FROM t WHERE a & = 'x'", "SELECT a & & b FROM t", "SELECT (a &) FROM t"}) {
        auto r = RewriteSql(sql);
        ASSERT_TRUE(r.error) << sql;
        EXPECT_NE(r.error->find("&"), std::string::npos) << *r.error;
    }
}

// A result column the rewrite changes is named as the user wrote it; SQLite names every
// other unaliased expression by its text already, so one rule holds for all of them.
TEST(RewriteTest, RewrittenResultColumnsKeepTheirWrittenNames) {
    EXPECT_EQ(Rw("SELECT Customer & ' ' & Name, Qty FROM Orders"),
              "SELECT orv_concat(Customer, ' ', Name) AS \"Customer & ' ' & Name\", Qty FROM Orders");
    EXPECT_EQ(Rw("SELECT IIf(x, a & b, c), d = True FROM t"),
              "SELECT IIf(x, orv_concat(a, b), c) AS \"IIf(x, a & b, c)\", d = -1 AS \"d = True\" FROM t");
    EXPECT_EQ(Rw("SELECT TOP 2 a & b FROM t"), "SELECT  orv_concat(a, b) AS \"a & b\" FROM t LIMIT 2");
    EXPECT_EQ(Rw("SELECT a & \"b\"\"c\""), "SELECT orv_concat(a, \"b\"\"c\") AS \"a & \"\"b\"\"\"\"c\"\"\"");
    EXPECT_EQ(Rw("SELECT x FROM (SELECT a & b FROM t)"), "SELECT x FROM (SELECT orv_concat(a, b) AS \"a & b\" FROM t)");
    EXPECT_EQ(Rw("SELECT DateAdd('d', 1, #1/2/2024#) FROM t"),
              "SELECT DateAdd('d', 1, '2024-01-02') AS \"DateAdd('d', 1, #1/2/2024#)\" FROM t");
    // Aliased, implicitly aliased and untouched columns stay as they were.
    EXPECT_EQ(Rw("SELECT a & b AS ab, a & b ab2, a + 1, t.c FROM t"),
              "SELECT orv_concat(a, b) AS ab, orv_concat(a, b) ab2, a + 1, t.c FROM t");
}

TEST(RewriteTest, LikeWildcardsOnlyWhenUnambiguous) {
    EXPECT_EQ(Rw("SELECT * FROM t WHERE a LIKE 'ab*'"), "SELECT * FROM t WHERE a LIKE 'ab%'");
    EXPECT_EQ(Rw("SELECT * FROM t WHERE a NOT LIKE '?b*'"), "SELECT * FROM t WHERE a NOT LIKE '_b%'");
    EXPECT_EQ(Rw("SELECT * FROM t WHERE a LIKE '5*%'"), "SELECT * FROM t WHERE a LIKE '5*%'");
    EXPECT_EQ(Rw("SELECT * FROM t WHERE a = 'ab*'"), "SELECT * FROM t WHERE a = 'ab*'");
    EXPECT_EQ(Rw("SELECT * FROM t WHERE a LIKE \"O'B*\""), "SELECT * FROM t WHERE a LIKE 'O''B%'");
}

TEST(RewriteTest, TruthWords) {
    EXPECT_EQ(Rw("SELECT * FROM t WHERE a = True OR b = False"), "SELECT * FROM t WHERE a = -1 OR b = 0");
    EXPECT_EQ(Rw("UPDATE t SET a = Yes WHERE b <> No"), "UPDATE t SET a = -1 WHERE b <> 0");
    EXPECT_EQ(Rw("INSERT INTO t VALUES (Yes, No)"), "INSERT INTO t VALUES (-1, 0)");
    // A column named No stays a column.
    EXPECT_EQ(Rw("SELECT No, Yes FROM t ORDER BY No"), "SELECT No, Yes FROM t ORDER BY No");
    EXPECT_EQ(Rw("SELECT Left(a, 1) AS l, IsNull(b) i FROM t LEFT JOIN u ON x ISNULL"),
              "SELECT orv_Left(a, 1) AS l, orv_IsNull(b) i FROM t LEFT JOIN u ON x ISNULL");
    EXPECT_EQ(Rw("SELECT DISTINCTROW a FROM t WHERE b Mod 2 = 1"), "SELECT DISTINCT a FROM t WHERE b % 2 = 1");
}

TEST(RewriteTest, DdlWithCountersAndDropIndex) {
    auto r = RewriteSql("CREATE TABLE [Orders] (ID COUNTER(100, 10), Name TEXT(50) NOT NULL, CONSTRAINT pk PRIMARY KEY (ID))");
    ASSERT_FALSE(r.error);
    EXPECT_NE(r.sql.find("ID INTEGER CONSTRAINT \"orv_counter_100_10\" PRIMARY KEY AUTOINCREMENT"), std::string::npos) << r.sql;
    EXPECT_EQ(r.sql.find("pk"), std::string::npos) << r.sql;
    ASSERT_EQ(r.identities.size(), 1u);
    EXPECT_EQ(r.identities[0].table, "Orders");
    EXPECT_EQ(r.identities[0].column, "ID");
    EXPECT_EQ(r.identities[0].seed, 100);
    EXPECT_EQ(r.identities[0].step, 10);
    auto plain = RewriteSql("CREATE TABLE t (id AUTOINCREMENT PRIMARY KEY, x LONG)");
    EXPECT_NE(plain.sql.find("id INTEGER CONSTRAINT \"orv_counter_1_1\" PRIMARY KEY AUTOINCREMENT"), std::string::npos)
        << plain.sql;
    EXPECT_EQ(plain.sql.find("PRIMARY KEY", plain.sql.find("PRIMARY KEY") + 1), std::string::npos) << plain.sql;
    EXPECT_TRUE(RewriteSql("CREATE TABLE t (id COUNTER(1, 0))").error);
    EXPECT_EQ(Rw("DROP INDEX ix ON t"), "DROP INDEX ix");
    EXPECT_TRUE(RewriteSql("ALTER TABLE t ADD COLUMN n COUNTER").error);
    EXPECT_EQ(Rw("ALTER TABLE t ADD COLUMN n LONG"), "ALTER TABLE t ADD COLUMN n LONG");
    EXPECT_EQ(Rw("CREATE TABLE t (a TEXT(10) DEFAULT 'COUNTER')"), "CREATE TABLE t (a TEXT(10) DEFAULT 'COUNTER')");
}

}  // namespace

TEST(RewriteTest, DdlTypesAndDefaults) {
    // Text types that SQLite would read as numbers keep text; function defaults get the
    // parentheses SQLite requires; a column named like a type keeps its name.
    EXPECT_EQ(Rw("CREATE TABLE t (Note MEMO, s STRING(10), d DATETIME DEFAULT Now(), n NUMBER DEFAULT 0)"),
              "CREATE TABLE t (Note LONGTEXT, s VARCHAR(10), d DATETIME DEFAULT (Now()), n NUMBER DEFAULT 0)");
    EXPECT_EQ(Rw("SELECT memo FROM t"), "SELECT memo FROM t");
}
