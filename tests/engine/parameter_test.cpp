// Commands with parameters: one statement prepared, each set of values bound through a
// parameter accessor and run, and the bindings the engine refuses.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "support/query_text.h"

using namespace orv::test;

namespace {

// One parameter set of every type the engine takes.
struct Values {
    LONG i4;
    LONGLONG i8;
    double r8;
    VARIANT_BOOL flag;
    const char16_t* wide;
    char narrow[16];
    unsigned char bytes[3];
    DBLENGTH lengths[7];
    DBSTATUS statuses[7];
};

// An input binding of the parameter set `Set`, whose length and status are its slot of the
// set's lengths and statuses.
template <class Set = Values>
DBBINDING Binding(DBORDINAL ordinal, DBTYPE type, std::size_t value, std::size_t slot) {
    DBBINDING b{};
    b.iOrdinal = ordinal;
    b.obValue = value;
    b.obLength = offsetof(Set, lengths) + slot * sizeof(DBLENGTH);
    b.obStatus = offsetof(Set, statuses) + slot * sizeof(DBSTATUS);
    b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
    b.eParamIO = DBPARAMIO_INPUT;
    b.wType = type;
    return b;
}

class ParameterTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        MakeDatabase(m_dir.Path("p.db"),
                     "CREATE TABLE t(a INTEGER, b INTEGER, c REAL, d INTEGER, e TEXT, f TEXT, "
                     "g BLOB);");
        Open(m_dir.WPath("p.db"));
    }

    // A prepared command on `sql`, and its accessor interface.
    void Prepare(const char16_t* sql) {
        CComPtr<IDBCreateCommand> create;
        ASSERT_EQ(m_session->QueryInterface(IID_IDBCreateCommand, reinterpret_cast<void**>(&create)), S_OK);
        ASSERT_EQ(create->CreateCommand(nullptr, IID_ICommandText, reinterpret_cast<IUnknown**>(&m_command)), S_OK);
        ASSERT_EQ(m_command->SetCommandText(DBGUID_DEFAULT, sql), S_OK);
        CComPtr<ICommandPrepare> prepare;
        ASSERT_EQ(m_command.QueryInterface(&prepare), S_OK);
        ASSERT_EQ(prepare->Prepare(0), S_OK) << orv::platform::Utf16ToUtf8(LastErrorDescription());
        ASSERT_EQ(m_command.QueryInterface(&m_accessors), S_OK);
    }
    HRESULT Run(void* data, HACCESSOR accessor, DB_UPARAMS sets = 1, DBROWCOUNT* affected = nullptr,
                IRowset** rowset = nullptr) {
        DBPARAMS params{data, sets, accessor};
        return m_command->Execute(nullptr, rowset ? IID_IRowset : IID_NULL, &params, affected,
                                  reinterpret_cast<IUnknown**>(rowset));
    }

    CComPtr<ICommandText> m_command;
    CComPtr<IAccessor> m_accessors;
};

TEST_F(ParameterTest, ValuesOfEachTypeAndNullGoInAsBound) {
    Prepare(u"INSERT INTO t VALUES (?, ?, ?, ?, ?, ?, ?)");
    const DBBINDING bindings[] = {
        Binding(1, DBTYPE_I4, offsetof(Values, i4), 0),
        Binding(2, DBTYPE_I8, offsetof(Values, i8), 1),
        Binding(3, DBTYPE_R8, offsetof(Values, r8), 2),
        Binding(4, DBTYPE_BOOL, offsetof(Values, flag), 3),
        Binding(5, DBTYPE_WSTR | DBTYPE_BYREF, offsetof(Values, wide), 4),
        Binding(6, DBTYPE_STR, offsetof(Values, narrow), 5),
        Binding(7, DBTYPE_BYTES, offsetof(Values, bytes), 6),
    };
    HACCESSOR accessor = DB_NULL_HACCESSOR;
    ASSERT_EQ(m_accessors->CreateAccessor(DBACCESSOR_PARAMETERDATA, 7, bindings, sizeof(Values), &accessor, nullptr),
              S_OK);

    Values v{};
    v.i4 = -7;
    v.i8 = 9007199254740993LL;  // not exact as a double
    v.r8 = 2.5;
    v.flag = VARIANT_TRUE;
    v.wide = u"Zoë's \"name\"";  // quotes pass untouched
    std::strcpy(v.narrow, "naïve");
    std::memcpy(v.bytes, "\x00\xff\x10", 3);
    v.lengths[4] = std::char_traits<char16_t>::length(v.wide) * sizeof(char16_t);
    v.lengths[5] = std::strlen(v.narrow);
    v.lengths[6] = 3;
    DBROWCOUNT affected = 0;
    ASSERT_EQ(Run(&v, accessor, 1, &affected), S_OK) << orv::platform::Utf16ToUtf8(LastErrorDescription());
    EXPECT_EQ(affected, 1);

    // The same accessor with every value NULL by its status.
    for (DBSTATUS& s : v.statuses) s = DBSTATUS_S_ISNULL;
    ASSERT_EQ(Run(&v, accessor), S_OK);

    Result r = Query(
        u"SELECT a, b, c, d, e, f, hex(g), typeof(a) || typeof(c) || typeof(e) || typeof(g) FROM t "
        u"ORDER BY rowid");
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0], (std::vector<std::u16string>{u"-7", u"9007199254740993", u"2.5", u"-1", u"Zoë's \"name\"",
                                                      u"naïve", u"00FF10", u"integerrealtextblob"}));
    EXPECT_EQ(r.rows[1], (std::vector<std::u16string>{u"<null>", u"<null>", u"<null>", u"<null>", u"<null>", u"<null>",
                                                      u"", u"nullnullnullnull"}));

    // The statement's parameters: variants, input, in order.
    CComPtr<ICommandWithParameters> withParameters;
    ASSERT_EQ(m_command.QueryInterface(&withParameters), S_OK);
    DB_UPARAMS count = 0;
    DBPARAMINFO* info = nullptr;
    OLECHAR* names = nullptr;
    ASSERT_EQ(withParameters->GetParameterInfo(&count, &info, &names), S_OK);
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(info[6].iOrdinal, 7u);
    EXPECT_EQ(info[6].wType, DBTYPE_VARIANT);
    EXPECT_TRUE(info[0].dwFlags & DBPARAMFLAGS_ISINPUT);
    CoTaskMemFree(info);
    CoTaskMemFree(names);
    EXPECT_EQ(m_accessors->ReleaseAccessor(accessor, nullptr), S_OK);
}

// Parameters by name, one prepared statement run many times, several sets in one call, a
// failing set that leaves the command usable, and a query with a parameter.
TEST_F(ParameterTest, OnePreparedStatementRunsWithEachSet) {
    Prepare(u"INSERT INTO t (a, e) VALUES (:key, :label)");
    CComPtr<ICommandWithParameters> withParameters;
    ASSERT_EQ(m_command.QueryInterface(&withParameters), S_OK);
    const OLECHAR* names[] = {u":label", u"key", u"missing"};
    DB_LPARAMS ordinals[3] = {};
    EXPECT_EQ(withParameters->MapParameterNames(3, names, ordinals), DB_S_ERRORSOCCURRED);
    EXPECT_EQ(ordinals[0], 2);
    EXPECT_EQ(ordinals[1], 1);
    EXPECT_EQ(ordinals[2], 0);

    struct Row {
        LONG key;
        const char16_t* label;
        DBLENGTH lengths[2];
        DBSTATUS statuses[2];
    };
    DBBINDING bindings[2] = {Binding<Row>(1, DBTYPE_I4, offsetof(Row, key), 0),
                             Binding<Row>(2, DBTYPE_WSTR | DBTYPE_BYREF, offsetof(Row, label), 1)};
    for (DBBINDING& b : bindings) b.dwPart = DBPART_VALUE | DBPART_STATUS;  // text without a length ends at its NUL
    HACCESSOR accessor = DB_NULL_HACCESSOR;
    ASSERT_EQ(m_accessors->CreateAccessor(DBACCESSOR_PARAMETERDATA, 2, bindings, sizeof(Row), &accessor, nullptr),
              S_OK);
    Exec(u"CREATE UNIQUE INDEX one_key ON t(a)");
    for (LONG k = 1; k <= 3; ++k) {
        Row row{k, k == 2 ? u"two" : u"other", {}, {}};
        ASSERT_EQ(Run(&row, accessor), S_OK) << orv::platform::Utf16ToUtf8(LastErrorDescription());
    }
    Row sets[2] = {{4, u"four", {}, {}}, {5, u"five", {}, {}}};
    DBROWCOUNT affected = 0;
    ASSERT_EQ(Run(sets, accessor, 2, &affected), S_OK);
    EXPECT_EQ(affected, 2);
    Row duplicate{2, u"again", {}, {}};
    EXPECT_EQ(Run(&duplicate, accessor), DB_E_INTEGRITYVIOLATION);
    Row next{6, u"six", {}, {}};
    EXPECT_EQ(Run(&next, accessor), S_OK) << "a failed run leaves the statement ready for the next";
    EXPECT_EQ(Scalar(u"SELECT group_concat(a || e, ',') FROM (SELECT a, e FROM t ORDER BY a)"),
              u"1other,2two,3other,4four,5five,6six");

    // A query takes one set and gives its rows; it runs again with another value.
    m_command.Release();
    m_accessors.Release();
    Prepare(u"SELECT e FROM t WHERE a = ?");
    HACCESSOR keyOnly = DB_NULL_HACCESSOR;
    ASSERT_EQ(m_accessors->CreateAccessor(DBACCESSOR_PARAMETERDATA, 1, bindings, sizeof(Row), &keyOnly, nullptr), S_OK);
    for (LONG k : {2, 5}) {
        Row row{k, nullptr, {}, {}};
        CComPtr<IRowset> rowset;
        ASSERT_EQ(Run(&row, keyOnly, 1, nullptr, &rowset), S_OK) << orv::platform::Utf16ToUtf8(LastErrorDescription());
        Result r = ReadRowsAsText(rowset);
        ASSERT_EQ(r.rows.size(), 1u);
        EXPECT_EQ(r.rows[0][0], k == 2 ? u"two" : u"five");
    }
}

TEST_F(ParameterTest, WrongBindingsAreRefusedWithAReason) {
    Prepare(u"INSERT INTO t (a, e) VALUES (?, ?)");
    DBBINDING b = Binding(1, DBTYPE_I4, offsetof(Values, i4), 0);
    HACCESSOR accessor = DB_NULL_HACCESSOR;
    DBBINDSTATUS status = DBBINDSTATUS_OK;

    struct Case {
        DBBINDING binding;
        DBBINDSTATUS status;
        const char* says;
    } cases[] = {
        {Binding(0, DBTYPE_I4, 0, 0), DBBINDSTATUS_BADORDINAL, "ordinals start at 1"},
        {Binding(1, DBTYPE_DATE, 0, 0), DBBINDSTATUS_UNSUPPORTEDCONVERSION, "dates as text"},
        {Binding(1, DBTYPE_I4 | DBTYPE_BYREF, 0, 0), DBBINDSTATUS_UNSUPPORTEDCONVERSION, "does not take"},
        {b, DBBINDSTATUS_BADBINDINFO, "input parameter"},
    };
    cases[3].binding.eParamIO = DBPARAMIO_OUTPUT;
    for (const Case& c : cases) {
        EXPECT_EQ(m_accessors->CreateAccessor(DBACCESSOR_PARAMETERDATA, 1, &c.binding, 0, &accessor, &status),
                  DB_E_ERRORSOCCURRED);
        EXPECT_EQ(status, c.status) << c.says;
        EXPECT_NE(orv::platform::Utf16ToUtf8(LastErrorDescription()).find(c.says), std::string::npos) << c.says;
        EXPECT_EQ(accessor, DB_NULL_HACCESSOR);
    }
    EXPECT_EQ(m_accessors->CreateAccessor(DBACCESSOR_ROWDATA, 1, &b, 0, &accessor, nullptr), DB_E_BADACCESSORFLAGS);

    Values v{};
    // Only the first of the two parameters bound.
    ASSERT_EQ(m_accessors->CreateAccessor(DBACCESSOR_PARAMETERDATA, 1, &b, sizeof(Values), &accessor, nullptr), S_OK);
    EXPECT_EQ(Run(&v, accessor), DB_E_PARAMNOTOPTIONAL);
    EXPECT_NE(orv::platform::Utf16ToUtf8(LastErrorDescription()).find("Parameter 2"), std::string::npos);
    // A third parameter that the statement does not have.
    const DBBINDING three[] = {b, Binding(2, DBTYPE_I4, offsetof(Values, i4), 0),
                               Binding(3, DBTYPE_I4, offsetof(Values, i4), 0)};
    HACCESSOR tooMany = DB_NULL_HACCESSOR;
    ASSERT_EQ(m_accessors->CreateAccessor(DBACCESSOR_PARAMETERDATA, 3, three, sizeof(Values), &tooMany, nullptr), S_OK);
    EXPECT_EQ(Run(&v, tooMany), DB_E_BADORDINAL);
    EXPECT_NE(orv::platform::Utf16ToUtf8(LastErrorDescription()).find("has 2 parameters"), std::string::npos);
    // A status that is neither a value nor NULL.
    const DBBINDING two[] = {b, Binding(2, DBTYPE_I4, offsetof(Values, i4), 0)};
    HACCESSOR both = DB_NULL_HACCESSOR;
    ASSERT_EQ(m_accessors->CreateAccessor(DBACCESSOR_PARAMETERDATA, 2, two, sizeof(Values), &both, nullptr), S_OK);
    v.statuses[0] = DBSTATUS_S_DEFAULT;
    EXPECT_EQ(Run(&v, both), DB_E_ERRORSOCCURRED);
    // An accessor released, or never made here.
    EXPECT_EQ(m_accessors->ReleaseAccessor(both, nullptr), S_OK);
    EXPECT_EQ(Run(&v, both), DB_E_BADACCESSORHANDLE);
    EXPECT_EQ(Scalar(u"SELECT COUNT(*) FROM t"), u"0");
}

}  // namespace
