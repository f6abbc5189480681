// The session's schema rowsets (TABLES, COLUMNS, INDEXES) and table definitions on a real
// database file: standard columns and types, restrictions, and what SQLite keeps implicit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/engine_session.h"
#include "support/query_text.h"

using namespace orv::test;

namespace {

using Row = std::vector<std::u16string>;

class SchemaRowsetTest : public ::testing::Test {
protected:
    void SetUp() override {
        MakeDatabase(m_dir.Path("plant.mdb"),
                     "CREATE TABLE Parts(id INTEGER PRIMARY KEY AUTOINCREMENT, code TEXT(12) NOT NULL,"
                     " price CURRENCY DEFAULT 0, note MEMO, made DATETIME, qty DECIMAL(10,2));"
                     "CREATE TABLE Stock(part INTEGER, bin TEXT(8), count LONG, PRIMARY KEY(part, bin));"
                     "CREATE TABLE Plain(k INTEGER PRIMARY KEY, v TEXT);"
                     "CREATE UNIQUE INDEX PartsCode ON Parts(code);"
                     "CREATE INDEX StockBinCount ON Stock(bin, count DESC);"
                     "CREATE VIEW Cheap AS SELECT code, price FROM Parts WHERE price < 10;"
                     "CREATE TABLE orv_identity(table_name TEXT, column_name TEXT, seed INTEGER, step INTEGER);"
                     "INSERT INTO orv_identity VALUES ('parts', 'ID', 100, 5);");
        m_session = OpenSession(m_dir.WPath("plant.mdb"));
        ASSERT_TRUE(m_session);
        ASSERT_EQ(m_session->QueryInterface(IID_IDBSchemaRowset, reinterpret_cast<void**>(&m_schema)), S_OK);
    }

    // The rows of `schema` under restrictions given as texts (null: absent).
    std::vector<Row> Rows(REFGUID schema, std::vector<const char16_t*> restrictions, HRESULT expect = S_OK) {
        std::vector<VARIANT> values(restrictions.size());
        for (std::size_t i = 0; i < restrictions.size(); ++i) {
            VariantInit(&values[i]);
            if (restrictions[i]) {
                values[i].vt = VT_BSTR;
                values[i].bstrVal = SysAllocString(restrictions[i]);
            }
        }
        CComPtr<IRowset> rowset;
        HRESULT hr = m_schema->GetRowset(nullptr, schema, static_cast<ULONG>(values.size()), values.data(), IID_IRowset,
                                         0, nullptr, reinterpret_cast<IUnknown**>(&rowset));
        for (VARIANT& v : values) VariantClear(&v);
        EXPECT_EQ(hr, expect);
        if (hr != S_OK) return {};
        return ReadRowsAsText(rowset).rows;
    }

    TempDir m_dir;
    CComPtr<IOpenRowset> m_session;
    CComPtr<IDBSchemaRowset> m_schema;
};

TEST_F(SchemaRowsetTest, ColumnsHaveTheStandardTypesInOrder) {
    const struct {
        GUID schema;
        std::vector<DBTYPE> types;
    } cases[] = {
        {DBSCHEMA_TABLES,
         {DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_GUID, DBTYPE_WSTR, DBTYPE_UI4, DBTYPE_DATE,
          DBTYPE_DATE}},
        {DBSCHEMA_COLUMNS, {DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_GUID, DBTYPE_UI4,  DBTYPE_UI4,
                            DBTYPE_BOOL, DBTYPE_WSTR, DBTYPE_UI4,  DBTYPE_BOOL, DBTYPE_UI2,  DBTYPE_GUID, DBTYPE_UI4,
                            DBTYPE_UI4,  DBTYPE_UI2,  DBTYPE_I2,   DBTYPE_UI4,  DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR,
                            DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR}},
        {DBSCHEMA_INDEXES, {DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_WSTR, DBTYPE_BOOL,
                            DBTYPE_BOOL, DBTYPE_BOOL, DBTYPE_UI2,  DBTYPE_I4,   DBTYPE_I4,   DBTYPE_I4,   DBTYPE_BOOL,
                            DBTYPE_BOOL, DBTYPE_I4,   DBTYPE_UI4,  DBTYPE_WSTR, DBTYPE_GUID, DBTYPE_UI4,  DBTYPE_I2,
                            DBTYPE_UI8,  DBTYPE_I4,   DBTYPE_WSTR, DBTYPE_BOOL}},
    };
    for (const auto& c : cases) {
        CComPtr<IRowset> rowset;
        ASSERT_EQ(m_schema->GetRowset(nullptr, c.schema, 0, nullptr, IID_IRowset, 0, nullptr,
                                      reinterpret_cast<IUnknown**>(&rowset)),
                  S_OK);
        std::vector<DBTYPE> types;
        for (const DBCOLUMNINFO& column : ReadRowsAsText(rowset).columns) types.push_back(column.wType);
        EXPECT_EQ(types, c.types);
    }
}

TEST_F(SchemaRowsetTest, TablesHaveTheWindowsTableTypes) {
    auto rows = Rows(DBSCHEMA_TABLES, {});
    std::vector<std::u16string> got;
    for (const Row& r : rows) got.push_back(r[2] + u"|" + r[3]);
    for (const char16_t* table :
         {u"Parts|TABLE", u"Cheap|VIEW", u"orv_identity|SYSTEM TABLE", u"sqlite_sequence|SYSTEM TABLE"})
        EXPECT_NE(std::find(got.begin(), got.end(), table), got.end()) << orv::platform::Utf16ToUtf8(table);
    EXPECT_EQ(rows[0][0], u"<null>") << "a database file has no catalog";
}

TEST_F(SchemaRowsetTest, RestrictionsAbsentEmptyAndGiven) {
    EXPECT_EQ(Rows(DBSCHEMA_TABLES, {nullptr, nullptr, u"PARTS", nullptr}).size(), 1u) << "names ignore case";
    EXPECT_EQ(Rows(DBSCHEMA_TABLES, {nullptr, nullptr, nullptr, u"VIEW"}).size(), 1u);
    EXPECT_TRUE(Rows(DBSCHEMA_TABLES, {nullptr, nullptr, nullptr, u""}).empty()) << "an empty restriction is one";
    EXPECT_TRUE(Rows(DBSCHEMA_TABLES, {nullptr, nullptr, u"", nullptr}).empty());
    EXPECT_EQ(Rows(DBSCHEMA_TABLES, {nullptr, nullptr, nullptr, u"TABLE"}).size(), 3u);
    EXPECT_EQ(Rows(DBSCHEMA_COLUMNS, {nullptr, nullptr, u"parts", u"CODE"}).size(), 1u);
    EXPECT_EQ(Rows(DBSCHEMA_INDEXES, {nullptr, nullptr, u"partscode", nullptr, nullptr}).size(), 1u);
    Rows(DBSCHEMA_TABLES, {nullptr, nullptr, nullptr, nullptr, nullptr}, E_INVALIDARG);
    Rows(DBSCHEMA_PROVIDER_TYPES, {}, E_INVALIDARG);
}

TEST_F(SchemaRowsetTest, ColumnsDescribeTypeSizeNullabilityAndDefault) {
    auto rows = Rows(DBSCHEMA_COLUMNS, {nullptr, nullptr, u"Parts", nullptr});
    ASSERT_EQ(rows.size(), 6u);
    // name, ordinal, has default, default, nullable, data type, max length, precision, scale
    auto brief = [](const Row& r) {
        return r[3] + u"|" + r[6] + u"|" + r[7] + u"|" + r[8] + u"|" + r[10] + u"|" + r[11] + u"|" + r[13] + u"|" +
               r[15] + u"|" + r[16];
    };
    EXPECT_EQ(brief(rows[0]), u"id|1|False|<null>|False|3|<null>|10|<null>");
    EXPECT_EQ(brief(rows[1]), u"code|2|False|<null>|False|130|12|<null>|<null>");
    EXPECT_EQ(brief(rows[2]), u"price|3|True|0|True|6|<null>|19|<null>");
    EXPECT_EQ(brief(rows[3]), u"note|4|False|<null>|True|130|1073741823|<null>|<null>");
    EXPECT_EQ(brief(rows[4]), u"made|5|False|<null>|True|7|<null>|<null>|<null>");
    EXPECT_EQ(brief(rows[5]), u"qty|6|False|<null>|True|131|<null>|10|2");
    EXPECT_EQ(std::stoul(orv::platform::Utf16ToUtf8(rows[3][9])) & DBCOLUMNFLAGS_ISLONG, DBCOLUMNFLAGS_ISLONG);
    EXPECT_EQ(Rows(DBSCHEMA_COLUMNS, {nullptr, nullptr, u"Cheap", nullptr}).size(), 2u) << "views have columns";
}

TEST_F(SchemaRowsetTest, IndexesGiveOneRowPerColumnAndTheRowidKey) {
    auto rows = Rows(DBSCHEMA_INDEXES, {nullptr, nullptr, nullptr, nullptr, u"Stock"});
    // table, index, primary key, unique, ordinal, column, collation
    std::vector<std::u16string> got;
    for (const Row& r : rows)
        got.push_back(r[5] + u"|" + r[6] + u"|" + r[7] + u"|" + r[16] + u"|" + r[17] + u"|" + r[20]);
    EXPECT_EQ(got,
              (std::vector<std::u16string>{u"StockBinCount|False|False|1|bin|1", u"StockBinCount|False|False|2|count|2",
                                           u"PrimaryKey|True|True|1|part|1", u"PrimaryKey|True|True|2|bin|1"}));

    auto parts = Rows(DBSCHEMA_INDEXES, {nullptr, nullptr, nullptr, nullptr, u"parts"});
    got.clear();
    for (const Row& r : parts) got.push_back(r[5] + u"|" + r[6] + u"|" + r[17]);
    EXPECT_EQ(got, (std::vector<std::u16string>{u"PartsCode|False|code", u"PrimaryKey|True|id"}))
        << "the rowid key has no SQLite index but is the primary key";
}

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

TEST_F(SchemaRowsetTest, TableDefinitionCarriesSeedStepNullabilityAndDefault) {
    auto parts = ReadDefinition(m_session, u"PARTS");
    ASSERT_EQ(parts.size(), 6u);
    EXPECT_TRUE(parts[0].identity);
    EXPECT_EQ(parts[0].seed, 100);
    EXPECT_EQ(parts[0].step, 5);
    EXPECT_FALSE(parts[0].nullable);
    EXPECT_FALSE(parts[1].identity);
    EXPECT_EQ(parts[1].seed, 0) << "no seed for an ordinary column";
    EXPECT_FALSE(parts[1].nullable);
    EXPECT_EQ(parts[2].defaultText, u"0");
    EXPECT_TRUE(parts[3].nullable);

    auto plain = ReadDefinition(m_session, u"Plain");
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_FALSE(plain[0].identity) << "a rowid without AUTOINCREMENT is no auto-increment column";

    ReadDefinition(m_session, u"Missing", DB_E_NOTABLE);
    EXPECT_NE(LastErrorDescription().find(u"Missing"), std::u16string::npos);
}

TEST(SchemaRowsetDefaults, AutoIncrementWithoutRecordedSeedStartsAtOne) {
    TempDir dir;
    MakeDatabase(dir.Path("a.mdb"), "CREATE TABLE T(n INTEGER PRIMARY KEY AUTOINCREMENT, x TEXT)");
    auto session = OpenSession(dir.WPath("a.mdb"));
    auto def = ReadDefinition(session, u"t");
    ASSERT_EQ(def.size(), 2u);
    EXPECT_TRUE(def[0].identity);
    EXPECT_EQ(def[0].seed, 1);
    EXPECT_EQ(def[0].step, 1);
}

}  // namespace
