// Executing statements on the fake provider: what is sent, how the result is bound, how
// failures are reported, and the retry that binds large values by reference.
#include <gtest/gtest.h>

#include "support/fake_provider.h"

using namespace orv::test;
using Status = OrvOleDbCommand::dbStatus;

namespace {

using ExecuteTest = FakeRowsetTest;

TEST_F(ExecuteTest, NeedsAConnectedConnectionAndATextAndThenLeavesTheErrorTextAlone) {
    Numbers(2);
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);

    m_command.SetErrorInfo(CComBSTR(u"earlier failure"), CComBSTR());
    m_command.SetCommandText(CString());
    EXPECT_EQ(m_command.Execute(), Status::dbError);
    EXPECT_EQ(m_command.GetErrorText(), u"earlier failure");
    // The earlier result is closed all the same.
    EXPECT_EQ(Log().liveRowsets, 0);
    EXPECT_FALSE(m_command.HasResults());
    EXPECT_EQ(m_command.FetchPrev(), Status::dbError);
    EXPECT_TRUE(m_command.SetBlobHandling(DBBLOBHANDLING_DEFAULT));

    OrvOleDbCommand detached;
    detached.SetCommandText(CString(u"SELECT 1"));
    EXPECT_FALSE(detached.IsConnected());
    EXPECT_EQ(detached.Execute(), Status::dbError);
    OrvOleDbConnection closed;
    detached.SetConnection(&closed);
    EXPECT_EQ(detached.Execute(), Status::dbError);
    EXPECT_FALSE(detached.HasErrorInfo());
    EXPECT_EQ(Log().execute, 1);
}

TEST_F(ExecuteTest, SendsTheTextWithOptionalScrollingAndStreamPropertiesAndHoldsNoRowYet) {
    Numbers(3);
    EXPECT_EQ(m_command.GetColumnCount(), 0u);
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_TRUE(m_command.HasResults());
    EXPECT_TRUE(m_command.IsConnected());
    ASSERT_EQ(Log().texts.size(), 1u);
    EXPECT_EQ(Log().texts[0], u"SELECT * FROM t");

    const DBPROPID expected[] = {DBPROP_CANSCROLLBACKWARDS, DBPROP_CANFETCHBACKWARDS, DBPROP_ISequentialStream,
                                 DBPROP_IStream};
    ASSERT_EQ(Log().commandProperties.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        const DBPROP& p = Log().commandProperties[i];
        EXPECT_EQ(p.dwPropertyID, expected[i]);
        EXPECT_EQ(p.dwOptions, static_cast<DBPROPOPTIONS>(DBPROPOPTIONS_OPTIONAL));
        EXPECT_EQ(p.vValue.boolVal, VARIANT_TRUE);
    }
    EXPECT_EQ(Log().getNextRows, 0);
    EXPECT_EQ(m_command.GetRowsAffected(), DB_COUNTUNAVAILABLE);
}

TEST_F(ExecuteTest, AStatementWithoutResultSetReportsItsCountAndHasNothingToFetch) {
    Script().returnsRowset = false;
    Script().rowsAffected = 3;
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_FALSE(m_command.HasResults());
    EXPECT_EQ(m_command.GetRowsAffected(), 3);
    EXPECT_EQ(m_command.GetColumnCount(), 0u);
    EXPECT_EQ(m_command.FetchNext(), Status::dbError);
    EXPECT_EQ(m_command.FetchFirst(), Status::dbError);
    EXPECT_EQ(m_command.FetchLast(), Status::dbError);
    EXPECT_EQ(m_command.FetchPrev(), Status::dbFalse);  // answered before the rowset is looked at
    m_command.Close();
    EXPECT_EQ(m_command.GetRowsAffected(), 3);
    EXPECT_EQ(m_command.GetConnection(), &m_connection);
}

TEST_F(ExecuteTest, AFailureReportsTheProviderTextWithTheStatementAndKeepsNothingOpen) {
    Numbers(1);
    Script().executeResult = DB_E_ERRORSINCOMMAND;
    Script().errorText = u"no such table: t";
    EXPECT_EQ(m_command.Execute(), Status::dbError);
    EXPECT_NE(m_command.GetErrorText().Str().find(u"no such table: t"), std::u16string::npos);
    EXPECT_EQ(m_command.GetErrorStatement(), u"SELECT * FROM t");
    EXPECT_FALSE(m_command.HasResults());

    // A rowset that cannot be bound is released again.
    Script().executeResult = S_OK;
    Script().createAccessorResult = E_FAIL;
    EXPECT_EQ(m_command.Execute(), Status::dbError);
    EXPECT_EQ(Log().liveRowsets, 0);
    EXPECT_EQ(m_command.GetErrorStatement(), u"SELECT * FROM t");

    // A property the provider could not set is no failure; a failing call is.
    Script().createAccessorResult = S_OK;
    Script().setPropertiesResult = DB_S_ERRORSOCCURRED;
    EXPECT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_FALSE(m_command.HasErrorInfo());
    Script().setPropertiesResult = DB_E_ERRORSOCCURRED;
    EXPECT_EQ(m_command.Execute(), Status::dbError);
    Script().setPropertiesResult = S_OK;
    Script().createCommandResult = E_OUTOFMEMORY;
    EXPECT_EQ(m_command.Execute(), Status::dbError);
}

TEST_F(ExecuteTest, ASecondExecuteReleasesTheFirstResultBeforeSendingItsStatement) {
    Numbers(3);
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    ASSERT_EQ(Log().heldRows, 1);
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(Log().rowsetsAliveAtCreateCommand, 0);
    EXPECT_EQ(Log().liveRowsets, 1);
    EXPECT_EQ(Log().heldRows, 0);
    EXPECT_EQ(Log().releaseAccessor, 1);
}

// The blob mode changes only while nothing is open, and a value that names no mode keeps
// the last one.
TEST_F(ExecuteTest, LargeColumnsAreBoundAsTheBlobModeSays) {
    // A small text, a large text, a large byte value, an object column and a number.
    Script().columns = {{u"note", DBTYPE_WSTR, 10},
                        {u"memo", DBTYPE_WSTR, 100000},
                        {u"photo", DBTYPE_BYTES, 9000},
                        {u"ole", DBTYPE_IUNKNOWN, 100000},
                        {u"n", DBTYPE_I4, 4}};
    Script().rows = {
        {FakeCell::Text(u"a"), FakeCell::Text(u"long"), FakeCell::Blob(9000), FakeCell{}, FakeCell::Of<LONG>(1)}};
    // By reference: the provider allocates, the command frees.
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_FALSE(m_command.SetBlobHandling(DBBLOBHANDLING_DEFAULT));
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR | DBTYPE_BYREF);
    EXPECT_EQ(Log().bindings[1].wType, DBTYPE_WSTR | DBTYPE_BYREF);
    EXPECT_EQ(Log().bindings[2].wType, DBTYPE_BYTES | DBTYPE_BYREF);
    EXPECT_EQ(Log().bindings[0].cbMaxLen, 22u);  // ten characters and the terminator
    EXPECT_EQ(Log().objectIids[3], IID_IUnknown);  // an object column is no BLOB
    EXPECT_EQ(Log().rowsetProperties, 0);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.GetColumnSize(3), 9000u);
    m_command.Close();

    // As storage objects: the stream interface is chosen once per binding.
    ASSERT_TRUE(m_command.SetBlobHandling(DBBLOBHANDLING_DEFAULT));
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(Log().rowsetProperties, 1);
    EXPECT_EQ(Log().objectIids[1], IID_ISequentialStream);
    EXPECT_EQ(Log().objectIids[2], IID_ISequentialStream);
    EXPECT_EQ(m_command.GetRawType(3), DBTYPE_IUNKNOWN);
    Script().sequentialStreamProperty = false;
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(Log().objectIids[1], IID_IStream);
    Script().iStreamProperty = false;
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(Log().objectIids[1], IID_ISequentialStream);
    Script().iStreamProperty = true;
    Script().offerRowsetInfo = false;
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(Log().objectIids[1], IID_ISequentialStream);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    m_command.Close();

    // Skipped: length and status only.
    ASSERT_TRUE(m_command.SetBlobHandling(DBBLOBHANDLING_SKIP));
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(Log().bindings[1].dwPart, static_cast<DBPART>(DBPART_LENGTH | DBPART_STATUS));
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.GetColumnSize(2), 8u);
    EXPECT_EQ(m_command.FieldAsString(2), u"");
    m_command.Close();
    EXPECT_TRUE(m_command.SetBlobHandling(static_cast<DBBLOBHANDLINGENUM>(7)));
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR);
}

TEST_F(ExecuteTest, StorageObjectsThatCannotBeMadeAreRetriedOnceByReference) {
    Script().columns = {{u"n", DBTYPE_I4, 4}, {u"memo", DBTYPE_WSTR, 100000}};
    for (LONG i = 1; i <= 3; ++i) Script().rows.push_back({FakeCell::Of(i), FakeCell::Text(u"text")});
    Script().storageObjectsFail = true;
    ASSERT_TRUE(m_command.SetBlobHandling(DBBLOBHANDLING_DEFAULT));
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);

    EXPECT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(Log().execute, 2);
    EXPECT_EQ(m_command.GetRawType(2), DBTYPE_WSTR | DBTYPE_BYREF);
    EXPECT_EQ(m_command.FieldAsLong(1), 1);
    // The retry already delivered the first row: the walk goes on with the second.
    EXPECT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.FieldAsLong(1), 2);

    // The mode stays by reference for later executions; FetchFirst needs no retry then.
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(m_command.FetchFirst(), Status::dbTrue);
    EXPECT_EQ(Log().execute, 3);
}

TEST_F(ExecuteTest, ARowWithErrorsIsNoRowWhenAlreadyBindingByReference) {
    Numbers(2);
    Script().getDataResults[0] = DB_S_ERRORSOCCURRED;
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(m_command.FetchFirst(), Status::dbFalse);
    EXPECT_EQ(Log().execute, 1);
    // A fetch without a row ends the walk until the cursor moves back.
    EXPECT_EQ(m_command.FetchNext(), Status::dbFalse);
    EXPECT_EQ(Log().getNextRows, 1);
}

// Derived classes (recordsets) override Close to give up their connection: Execute and
// the destructor must not run that override, while the convenience operations must reach
// the overrides they build on.
class CountingCommand : public OrvOleDbCommand {
public:
    using OrvOleDbCommand::FetchNext;
    ~CountingCommand() { ++destroyed; }
    void Close() override {
        ++closes;
        OrvOleDbCommand::Close();
    }
    dbStatus FetchNext(int skip) override {
        ++skips;
        return OrvOleDbCommand::FetchNext(skip);
    }
    CString FieldAsString(unsigned __int64 col) override { return OrvOleDbCommand::FieldAsString(col) + u"  "; }
    unsigned __int64 GetColumnCount() override { return 1; }
    int closes = 0, skips = 0;
    static inline int destroyed = 0;
};

TEST_F(ExecuteTest, OverridesAreSeenWhereTheCommandCallsItselfButCloseIsNot) {
    Script().columns = {{u"a", DBTYPE_I4, 4}, {u"b", DBTYPE_I4, 4}};
    Script().rows = {{FakeCell::Of<LONG>(1), FakeCell::Of<LONG>(2)}};
    {
        CountingCommand command;
        command.SetConnection(&m_connection);
        command.SetCommandText(CString(u"SELECT a, b FROM t"));
        ASSERT_EQ(command.Execute(), Status::dbTrue);
        ASSERT_EQ(command.Execute(), Status::dbTrue);
        EXPECT_EQ(command.closes, 0);
        EXPECT_EQ(command.FetchNext(), Status::dbTrue);
        EXPECT_EQ(command.skips, 1);
        EXPECT_EQ(command.FieldAsStringEx(1), u"1");
        EXPECT_EQ(command.GetColumnIndex(CString(u"b")), 0u);  // only one column as far as it knows
        EXPECT_EQ(command.FieldAsLong(2), 0);
    }
    EXPECT_EQ(CountingCommand::destroyed, 1);
    EXPECT_EQ(Log().liveRowsets, 0);
}

}  // namespace
