// Table definitions on a real database file, as the consumer receives and frees them: the
// seed and step of an auto-increment column, nullability and defaults (the schema rowsets
// are records of sql/schema.test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/engine_session.h"

using namespace orv::test;

namespace {

// The column definitions of one table, as the consumer receives and frees them.
struct Definition {
    bool identity = false, nullable = true;
    LONG seed = 0, step = 1;
    std::u16string defaultText;
};

std::vector<Definition> ReadDefinition(IOpenRowset* session, const char16_t* table, HRESULT expect = S_OK) {
    CComPtr<ITableCreation> creation;
    EXPECT_EQ(session->QueryInterface(IID_ITableCreation, reinterpret_cast<void**>(&creation)), S_OK);
    DBID id = DB_NULLID;
    id.eKind = DBKIND_NAME;
    std::u16string name = table;
    id.uName.pwszName = name.data();
    DBORDINAL count = 99;
    DBCOLUMNDESC* descs = reinterpret_cast<DBCOLUMNDESC*>(1);
    EXPECT_EQ(creation->GetTableDefinition(&id, &count, &descs, nullptr, nullptr, nullptr, nullptr, nullptr), expect);
    std::vector<Definition> out;
    if (expect != S_OK) {
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(descs, nullptr);
        return out;
    }
    for (DBORDINAL i = 0; i < count; ++i) {
        Definition d;
        for (ULONG s = 0; s < descs[i].cPropertySets; ++s) {
            DBPROPSET& set = descs[i].rgPropertySets[s];
            for (ULONG p = 0; p < set.cProperties; ++p) {
                VARIANT& v = set.rgProperties[p].vValue;
                switch (set.rgProperties[p].dwPropertyID) {
                case DBPROP_COL_AUTOINCREMENT: d.identity = v.boolVal == VARIANT_TRUE; break;
                case DBPROP_COL_NULLABLE: d.nullable = v.boolVal == VARIANT_TRUE; break;
                case DBPROP_COL_SEED: d.seed = v.lVal; break;
                case DBPROP_COL_INCREMENT: d.step = v.lVal; break;
                case DBPROP_COL_DEFAULT: d.defaultText = v.bstrVal; break;
                }
                VariantClear(&v);
            }
            CoTaskMemFree(set.rgProperties);
        }
        CoTaskMemFree(descs[i].rgPropertySets);
        CoTaskMemFree(descs[i].pwszTypeName);
        CoTaskMemFree(descs[i].dbcid.uName.pwszName);
        out.push_back(d);
    }
    CoTaskMemFree(descs);
    return out;
}

TEST(TableDefinition, CarriesSeedStepNullabilityAndDefault) {
    TempDir dir;
    MakeDatabase(dir.Path("plant.mdb"),
                 "CREATE TABLE Parts(id INTEGER PRIMARY KEY AUTOINCREMENT, code TEXT(12) NOT NULL,"
                 " price CURRENCY DEFAULT 0, note MEMO);"
                 "CREATE TABLE Plain(k INTEGER PRIMARY KEY, v TEXT);"
                 "CREATE TABLE T(n INTEGER PRIMARY KEY AUTOINCREMENT, x TEXT);"
                 "CREATE TABLE orv_identity(table_name TEXT, column_name TEXT, seed INTEGER, step INTEGER);"
                 "INSERT INTO orv_identity VALUES ('parts', 'ID', 100, 5);");
    CComPtr<IOpenRowset> session = OpenSession(dir.WPath("plant.mdb"));
    auto parts = ReadDefinition(session, u"PARTS");
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_TRUE(parts[0].identity);
    EXPECT_EQ(parts[0].seed, 100);
    EXPECT_EQ(parts[0].step, 5);
    EXPECT_FALSE(parts[0].nullable);
    EXPECT_FALSE(parts[1].identity);
    EXPECT_EQ(parts[1].seed, 0) << "no seed for an ordinary column";
    EXPECT_FALSE(parts[1].nullable);
    EXPECT_EQ(parts[2].defaultText, u"0");
    EXPECT_TRUE(parts[3].nullable);

    auto plain = ReadDefinition(session, u"Plain");
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_FALSE(plain[0].identity) << "a rowid without AUTOINCREMENT is no auto-increment column";
    // An auto-increment column without a recorded seed starts at one.
    auto t = ReadDefinition(session, u"t");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_TRUE(t[0].identity);
    EXPECT_EQ(t[0].seed, 1);
    EXPECT_EQ(t[0].step, 1);

    ReadDefinition(session, u"Missing", DB_E_NOTABLE);
    EXPECT_NE(LastErrorDescription().find(u"Missing"), std::u16string::npos);
}

}  // namespace
