// Opening a server: initialisation strings with their standard keys, what a refused
// connection says (never the password), and the data source's answers.
#include "pg/pg_test.h"
#include "platform/property_sets.h"

using namespace orv::test;

namespace {

const auto* const kServer = ::testing::AddGlobalTestEnvironment(new PgServer);

class PgConnectionTest : public ComTest {
protected:
    std::u16string Socket() const { return orv::platform::Utf8ToUtf16(PgServer::Socket()); }
    std::u16string Database() const { return orv::platform::Utf8ToUtf16(PgServer::Database()); }
    // The test database on the server's socket, then `more` keys.
    CComBSTR On(const std::u16string& more) const {
        return CComBSTR(
            (u"Provider=PostgreSQL;Data Source=" + Socket() + u";Initial Catalog=" + Database() + u";" + more).c_str());
    }
};

TEST_F(PgConnectionTest, StandardKeysAndBothProviderNamesOpenTheServer) {
    for (const std::u16string& init :
         {u"Provider=PostgreSQL;Data Source=" + Socket() + u";Initial Catalog=" + Database() + u";User ID=postgres;",
          u"Provider=PostgreSQL.1;Data Source=" + Socket() + u":5432;Location=" + Database() +
              u";User ID=postgres;Connect Timeout=5;Extended Properties=\"application_name=orv-test\";",
          u"Provider=PostgreSQL;Data Source=postgresql://postgres@/" + Database() + u"?host=" + Socket() + u";"}) {
        OrvOleDbConnection connection;
        ASSERT_TRUE(Opens(connection, CComBSTR(init.c_str())));
        EXPECT_TRUE(connection.IsConnected());
        EXPECT_FALSE(connection.IsReadOnly());
        CString catalog, name;
        EXPECT_TRUE(connection.GetCurrentCatalog(catalog));
        EXPECT_EQ(Text(catalog), Database());
        EXPECT_TRUE(connection.GetDatasource(name));
        EXPECT_EQ(Text(name), Socket() + u":5432/" + Database());
    }
    // That Extended Properties reach libpq is a case of pg/cases/orvsql.test.
}

TEST_F(PgConnectionTest, ReadModeRefusesWrites) {
    OrvOleDbConnection connection;
    ASSERT_EQ(connection.OpenFromInitializationString(PgServer::Init(u"Mode=Read;"), false), S_OK);
    EXPECT_TRUE(connection.IsReadOnly());
    EXPECT_TRUE(Holds(Fails(connection, u"CREATE TABLE nope(x int)"), {"read-only transaction"}));
}

// Roles belong to the whole server and the tests run side by side, so each
// test that logs in with a password has a role of its own.
void CreateRole(const char* name) {
    PgServer::Run(std::string("DO $$BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '") + name +
                  "') THEN CREATE ROLE " + name + " LOGIN PASSWORD 'right-secret'; END IF; END$$");
}

// The error text of an open of `init` that must fail.
std::string Refused(const std::u16string& init) {
    OrvOleDbConnection connection;
    EXPECT_NE(connection.OpenFromInitializationString(CComBSTR(init.c_str()), false), S_OK);
    EXPECT_FALSE(connection.IsConnected());
    return Utf8(connection.GetErrorText());
}

TEST_F(PgConnectionTest, RefusedConnectionsSayWhyWithoutThePassword) {
    CreateRole("clerk");
    const std::string text = Refused(On(u"User ID=clerk;Password=wrong-secret;").m_str);
    EXPECT_TRUE(Holds(text, {"password authentication failed for user \"clerk\"", "28P01"}));
    EXPECT_EQ(text.find("wrong-secret"), std::string::npos) << text;

    OrvOleDbConnection right;
    ASSERT_TRUE(Opens(right, On(u"User ID=clerk;Password=right-secret;")));

    EXPECT_TRUE(Holds(
        Refused(u"Provider=PostgreSQL;Data Source=" + Socket() + u";Initial Catalog=no_such_db;User ID=postgres;"),
        {"database \"no_such_db\" does not exist", "3D000"}));
    EXPECT_TRUE(
        Holds(Refused(u"Provider=PostgreSQL;Data Source=/nonexistent/folder;"), {"/nonexistent/folder/.s.PGSQL.5432"}));
    EXPECT_TRUE(Holds(Refused(PgServer::Init(u"Extended Properties='sslmod=require'").m_str), {"sslmod"}));
}

TEST_F(PgConnectionTest, PasswordIsKeptOnlyWhenAskedTo) {
    CreateRole("keeper");
    for (bool persist : {false, true}) {
        OrvOleDbConnection connection;
        ASSERT_TRUE(Opens(connection, On(u"User ID=keeper;Password=right-secret;Persist Security Info=" +
                                         std::u16string(persist ? u"True;" : u"False;"))));
        CComPtr<IGetDataSource> getter;
        connection.GetSession().m_spOpenRowset->QueryInterface(IID_IGetDataSource, reinterpret_cast<void**>(&getter));
        CComPtr<IDBProperties> source;
        ASSERT_EQ(getter->GetDataSource(IID_IDBProperties, reinterpret_cast<IUnknown**>(&source)), S_OK);
        orv::platform::ReturnedPropertySets sets;
        orv::platform::QueryProperties(source.p, DBPROPSET_DBINIT, {DBPROP_AUTH_PASSWORD}, sets);
        const VARIANT* value = sets.Value(DBPROP_AUTH_PASSWORD);
        ASSERT_NE(value, nullptr);
        if (persist) {
            ASSERT_EQ(value->vt, VT_BSTR);
            EXPECT_EQ(std::u16string(value->bstrVal), u"right-secret");
        } else {
            EXPECT_EQ(value->vt, VT_EMPTY) << "the password is not handed out again";
        }
    }
}

TEST_F(PgConnectionTest, DatabaseFilesAreRefusedWithASentence) {
    OrvOleDbErrorInfo error;
    EXPECT_NE(OrvOleDbConnection::CreateMdbFile(PgServer::Init(), CComBSTR(u"/tmp/x.mdb"), error), S_OK);
    EXPECT_TRUE(Holds(Utf8(error.GetErrorText()), {"keeps its data on a server"}));

    OrvOleDbConnection connection;
    ASSERT_TRUE(Opens(connection, PgServer::Init()));
    EXPECT_NE(connection.CompactMdb(), S_OK);
    EXPECT_TRUE(Holds(Utf8(connection.GetErrorText()), {"no file to compact"}));
    EXPECT_TRUE(connection.IsConnected()) << "a refused compaction leaves the connection open";
}

}  // namespace
