// Reading CREATE TABLE statements for the stores that create files and sheets.
#include <gtest/gtest.h>

#include "engine/store/store.h"
#include "engine/workbook/workbook.h"

namespace orv::engine {
namespace {

TEST(CreateTableDefinition, NamesTypesAndSizesOfColumns) {
    auto d = ParseCreateTable(
        "create table [new.csv] (\"id\" INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR ( 20 ) NOT NULL, "
        "price DECIMAL(10, 2) DEFAULT (1+2), note LONGTEXT, flag, CONSTRAINT pk PRIMARY KEY (id))");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->name, "new.csv");
    ASSERT_EQ(d->columns.size(), 5u);
    EXPECT_EQ(d->columns[0].name, "id");
    EXPECT_EQ(d->columns[0].type, "INTEGER");
    EXPECT_EQ(d->columns[1].type, "VARCHAR(20)");
    EXPECT_EQ(d->columns[2].type, "DECIMAL(10,2)");
    EXPECT_EQ(d->columns[3].type, "LONGTEXT");
    EXPECT_EQ(d->columns[4].name, "flag");
    EXPECT_EQ(d->columns[4].type, "");
}

TEST(CreateTableDefinition, QuotedNamesSchemasAndComments) {
    auto d = ParseCreateTable("/* new */ CREATE TABLE IF NOT EXISTS main.\"Sheet \"\"2\"\"$\" (`a b` TEXT(5))");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->name, "Sheet \"2\"$");
    EXPECT_TRUE(d->ifNotExists);
    EXPECT_FALSE(ParseCreateTable("CREATE TABLE t (a INTEGER)")->ifNotExists);
    ASSERT_EQ(d->columns.size(), 1u);
    EXPECT_EQ(d->columns[0].name, "a b");
    EXPECT_EQ(d->columns[0].type, "TEXT(5)");
}

TEST(CreateTableDefinition, OtherStatementsAreNotDefinitions) {
    EXPECT_FALSE(ParseCreateTable("SELECT * FROM t"));
    EXPECT_FALSE(ParseCreateTable("CREATE TABLE t AS SELECT 1"));
    EXPECT_FALSE(ParseCreateTable("CREATE INDEX i ON t (a)"));
    EXPECT_FALSE(ParseCreateTable("CREATE TABLE t (a INTEGER"));
    EXPECT_FALSE(ParseCreateTable("CREATE TABLE \"t (a INTEGER)"));
    EXPECT_FALSE(ParseCreateTable("CREATE VIRTUAL TABLE t USING m(a)"));
}

TEST(DropTableStatement, NamesTheTableInAnyQuoting) {
    EXPECT_EQ(ParseDropTable("DROP TABLE [new.csv]"), std::optional<std::string>("new.csv"));
    EXPECT_EQ(ParseDropTable("drop table if exists main.\"a \"\"b\"\".txt\";"),
              std::optional<std::string>("a \"b\".txt"));
    EXPECT_EQ(ParseDropTable("DROP TABLE /* why */ `x.tab`"), std::optional<std::string>("x.tab"));
    EXPECT_FALSE(ParseDropTable("DROP TABLE"));
    EXPECT_FALSE(ParseDropTable("DROP VIEW v"));
    EXPECT_FALSE(ParseDropTable("DROP TABLE a, b"));
    EXPECT_FALSE(ParseDropTable("DELETE FROM [x.csv]"));
}

TEST(CellReferences, ReadAndWrittenBackAtTheSheetsEdges) {
    std::uint32_t row = 0, column = 0;
    ASSERT_TRUE(workbook::ParseCellReference("$AB$12", row, column));
    EXPECT_EQ(row, 12u);
    EXPECT_EQ(column, 28u);
    ASSERT_TRUE(workbook::ParseCellReference("XFD1048576", row, column));
    EXPECT_EQ(workbook::CellReference(row, column), "XFD1048576");
    EXPECT_EQ(workbook::CellReference(1, 26), "Z1");
    EXPECT_EQ(workbook::CellReference(3, 27), "AA3");
    for (const char* bad : {"", "A", "1", "A0", "XFE1", "A1048577", "A1B", "AAAAA1", "A-1"})
        EXPECT_FALSE(workbook::ParseCellReference(bad, row, column)) << bad;
}

}  // namespace
}  // namespace orv::engine
