// Reading CREATE TABLE statements for the stores that create files and sheets.
#include <gtest/gtest.h>

#include "engine/store/store.h"

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

}  // namespace
}  // namespace orv::engine
