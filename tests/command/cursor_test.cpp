// Moving through the rows of a result on the fake provider: where each fetch lands, what it
// asks of the provider, and how the two end flags spare the provider pointless calls; and
// the result's column metadata: numbering (bookmark hidden), names, bound types, and the
// held row's lengths and NULL statuses.
#include <gtest/gtest.h>

#include <vector>

#include "support/fake_provider.h"

using namespace orv::test;
using Status = OrvOleDbCommand::dbStatus;

namespace {

class CursorTest : public FakeRowsetTest {
protected:
    void Execute(int rows) {
        Numbers(rows);
        ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    }
    LONG Row() { return m_command.FieldAsLong(1); }
};

TEST_F(CursorTest, RightAfterExecuteTheFirstForwardFetchStartsAtTheFirstRow) {
    Execute(5);
    EXPECT_EQ(m_command.FetchPrev(), Status::dbFalse);
    EXPECT_EQ(Log().getNextRows, 0);
    EXPECT_EQ(m_command.FetchNext(3), Status::dbTrue);  // the skip does not apply yet
    EXPECT_EQ(Row(), 1);
    EXPECT_EQ(Log().restartPosition, 1);
    EXPECT_EQ(Log().offsets, std::vector<DBROWOFFSET>{0});
    EXPECT_EQ(m_command.FetchFirst(), Status::dbTrue);
    EXPECT_EQ(Row(), 1);
}

TEST_F(CursorTest, FetchNextSkipsRowsAfterTheHeldOne) {
    Execute(6);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.FetchNext(2), Status::dbTrue);
    EXPECT_EQ(Row(), 4);
    EXPECT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(Row(), 5);
    EXPECT_EQ(Log().offsets, (std::vector<DBROWOFFSET>{0, 2, 0}));
    EXPECT_EQ(Log().heldRows, 1);
}

TEST_F(CursorTest, RunningOffTheEndStopsAskingUntilTheCursorMovesBack) {
    Execute(3);
    for (LONG row = 1; row <= 3; ++row) {
        ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
        EXPECT_EQ(Row(), row);
    }
    EXPECT_EQ(m_command.FetchNext(), Status::dbFalse);
    EXPECT_EQ(Log().heldRows, 0);
    const int calls = Log().getNextRows;
    EXPECT_EQ(m_command.FetchNext(), Status::dbFalse);
    EXPECT_EQ(m_command.FetchNext(5), Status::dbFalse);
    EXPECT_EQ(Log().getNextRows, calls);

    // FetchLast then FetchPrev hold the last and the second to last row.
    Log().offsets.clear();
    EXPECT_EQ(m_command.FetchLast(), Status::dbTrue);
    EXPECT_EQ(Row(), 3);
    EXPECT_EQ(m_command.FetchPrev(), Status::dbTrue);
    EXPECT_EQ(Row(), 2);
    EXPECT_EQ(Log().offsets, (std::vector<DBROWOFFSET>{-1, -2}));
    EXPECT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(Row(), 3);
}

TEST_F(CursorTest, RunningOffTheBeginningRestartsTheNextForwardWalk) {
    Execute(3);
    ASSERT_EQ(m_command.FetchFirst(), Status::dbTrue);
    EXPECT_EQ(m_command.FetchPrev(), Status::dbFalse);
    const int calls = Log().getNextRows;
    EXPECT_EQ(m_command.FetchPrev(), Status::dbFalse);
    EXPECT_EQ(Log().getNextRows, calls);
    EXPECT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(Row(), 1);
    EXPECT_EQ(Log().restartPosition, 2);
}

TEST_F(CursorTest, AnEmptyResultHasNoRowAnywhere) {
    Execute(0);
    EXPECT_EQ(m_command.FetchNext(), Status::dbFalse);
    EXPECT_EQ(m_command.FetchNext(), Status::dbFalse);
    EXPECT_EQ(Log().getNextRows, 1);
    EXPECT_EQ(m_command.FetchFirst(), Status::dbFalse);
    EXPECT_EQ(m_command.FetchLast(), Status::dbFalse);
    EXPECT_FALSE(m_command.HasErrorInfo());
}

TEST_F(CursorTest, AfterCloseEveryFetchIsAnError) {
    Execute(3);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    m_command.Close();
    EXPECT_EQ(Log().heldRows, 0);
    EXPECT_EQ(m_command.FetchNext(), Status::dbError);
    EXPECT_EQ(m_command.FetchNext(1), Status::dbError);
    EXPECT_EQ(m_command.FetchPrev(), Status::dbError);
    EXPECT_EQ(m_command.FetchFirst(), Status::dbError);
    EXPECT_EQ(m_command.FetchLast(), Status::dbError);
}

TEST_F(CursorTest, ARowThatCannotBeReadIsReleasedAndItsErrorReported) {
    Numbers(5);
    Script().getDataResults[1] = E_FAIL;
    Script().getDataResults[4] = E_FAIL;
    Script().errorText = u"disk I/O error";
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.FetchNext(), Status::dbFalse);
    EXPECT_NE(m_command.GetErrorText().Str().find(u"disk I/O error"), std::u16string::npos);
    EXPECT_EQ(Log().heldRows, 0);
    // A successful fetch empties the error text again.
    ASSERT_EQ(m_command.FetchFirst(), Status::dbTrue);
    EXPECT_FALSE(m_command.HasErrorInfo());
    // FetchLast counts the row as reached even when its data could not be read.
    EXPECT_EQ(m_command.FetchLast(), Status::dbTrue);
    EXPECT_EQ(Log().heldRows, 0);
}

class MetadataTest : public FakeRowsetTest {};

TEST_F(MetadataTest, NamesAreFoundIgnoringCaseButNotBlanksAndTheFirstMatchWins) {
    Script().columns = {
        {u"ID", DBTYPE_I4, 4}, {u"Name", DBTYPE_WSTR, 20}, {u"NAME", DBTYPE_WSTR, 20}, {u"", DBTYPE_I4, 4, false}};
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(m_command.GetColumnCount(), 4u);
    EXPECT_EQ(m_command.GetColumnName(2), u"Name");
    EXPECT_EQ(m_command.GetColumnName(4), u"");  // the provider gave no name
    EXPECT_EQ(m_command.GetColumnName(0), u"");
    EXPECT_EQ(m_command.GetColumnName(5), u"");
    EXPECT_EQ(m_command.GetColumnIndex(CString(u"name")), 2u);
    EXPECT_EQ(m_command.GetColumnIndex(CString(u"id")), 1u);
    EXPECT_EQ(m_command.GetColumnIndex(CString(u"Name ")), 0u);
    EXPECT_EQ(m_command.GetColumnIndex(CString(u"missing")), 0u);
    EXPECT_EQ(m_command.GetColumnIndex(CString()), 0u);
}

TEST_F(MetadataTest, ABookmarkColumnIsNeitherCountedNorReachable) {
    Script().bookmark = true;
    Script().columns = {{u"a", DBTYPE_I4, 4}, {u"b", DBTYPE_WSTR, 5}};
    Script().rows = {{FakeCell::Of<LONG>(70), FakeCell::Text(u"x")}};
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    EXPECT_EQ(Log().bindings.size(), 3u);  // the bookmark is bound all the same
    EXPECT_EQ(m_command.GetColumnCount(), 2u);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.GetColumnName(1), u"a");
    EXPECT_EQ(m_command.FieldAsLong(1), 70);
    EXPECT_EQ(m_command.FieldAsString(2), u"x");
    EXPECT_EQ(m_command.IsNull(0), Status::dbError);
    EXPECT_EQ(m_command.GetColumnSize(3), 0u);
}

TEST_F(MetadataTest, LengthsAndNullsDescribeTheHeldRowAndNothingBeforeTheFirstFetch) {
    Script().columns = {{u"t", DBTYPE_WSTR, 10}, {u"n", DBTYPE_I4, 4}};
    Script().rows = {{FakeCell::Text(u"abc"), FakeCell::Null()}};
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    for (unsigned col = 1; col <= 2; ++col) {
        EXPECT_EQ(m_command.IsNull(col), Status::dbFalse);
        EXPECT_EQ(m_command.GetColumnSize(col), 0u);
    }
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(m_command.IsNull(1), Status::dbFalse);
    EXPECT_EQ(m_command.GetColumnSize(1), 6u);
    EXPECT_EQ(m_command.IsNull(2), Status::dbTrue);
    EXPECT_EQ(m_command.IsNull(3), Status::dbError);
}

TEST_F(MetadataTest, TypeTestsFollowTheBoundType) {
    const DBTYPE types[] = {DBTYPE_I1,         DBTYPE_UI1,   DBTYPE_I2,      DBTYPE_I4,
                            DBTYPE_UI2,        DBTYPE_UI4,   DBTYPE_I8,      DBTYPE_UI8,
                            DBTYPE_R8,         DBTYPE_CY,    DBTYPE_DECIMAL, DBTYPE_NUMERIC,
                            DBTYPE_VARNUMERIC, DBTYPE_BYTES, DBTYPE_WSTR,    DBTYPE_IUNKNOWN};
    for (DBTYPE type : types) Script().columns.push_back({u"c", type, 8});
    Script().columns.push_back({u"memo", DBTYPE_WSTR, 100000});
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);

    for (unsigned col = 1; col <= 16; ++col) {
        const DBTYPE type = types[col - 1];
        SCOPED_TRACE(testing::Message() << "type " << type);
        EXPECT_EQ(m_command.GetRawType(col), type);
        const bool integral = type == DBTYPE_I2 || type == DBTYPE_I4 || type == DBTYPE_UI2 || type == DBTYPE_UI4 ||
                              type == DBTYPE_I8 || type == DBTYPE_UI8;
        const bool numeric = type == DBTYPE_DECIMAL || type == DBTYPE_NUMERIC || type == DBTYPE_VARNUMERIC;
        const bool blob = type == DBTYPE_BYTES || type == DBTYPE_IUNKNOWN;
        EXPECT_EQ(m_command.IsIntegral(col), integral ? Status::dbTrue : Status::dbFalse);
        EXPECT_EQ(m_command.IsNumeric(col), numeric ? Status::dbTrue : Status::dbFalse);
        EXPECT_EQ(m_command.IsBlob(col), blob ? Status::dbTrue : Status::dbFalse);
    }
    EXPECT_EQ(m_command.GetRawType(17), DBTYPE_WSTR | DBTYPE_BYREF);
    EXPECT_EQ(m_command.IsBlob(17), Status::dbTrue);
    EXPECT_EQ(m_command.IsBlob(18), Status::dbError);
}

TEST_F(MetadataTest, AfterCloseOnlyTheCountRemains) {
    Numbers(1);
    ASSERT_EQ(m_command.Execute(), Status::dbTrue);
    ASSERT_EQ(m_command.GetColumnCount(), 1u);
    ASSERT_EQ(m_command.FetchNext(), Status::dbTrue);
    m_command.Close();
    EXPECT_EQ(m_command.GetColumnCount(), 1u);
    EXPECT_EQ(m_command.GetColumnName(1), u"");
    EXPECT_EQ(m_command.GetRawType(1), 0);
    EXPECT_EQ(m_command.GetColumnSize(1), 0u);
    EXPECT_EQ(m_command.GetColumnIndex(CString(u"n")), 0u);
    EXPECT_EQ(m_command.IsNull(1), Status::dbError);
    EXPECT_EQ(m_command.IsBlob(1), Status::dbError);
    EXPECT_EQ(m_command.FieldAsLong(1), 0);
}

}  // namespace
