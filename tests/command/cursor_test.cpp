// Moving through the rows of a result: where each fetch lands, what it asks of the
// provider, and how the two end flags spare the provider pointless calls.
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

    EXPECT_EQ(m_command.FetchLast(), Status::dbTrue);
    EXPECT_EQ(Row(), 3);
    EXPECT_EQ(m_command.FetchPrev(), Status::dbTrue);
    EXPECT_EQ(Row(), 2);
    EXPECT_EQ(m_command.FetchNext(), Status::dbTrue);
    EXPECT_EQ(Row(), 3);
}

TEST_F(CursorTest, FetchLastThenFetchPrevHoldsTheSecondToLastRow) {
    Execute(5);
    ASSERT_EQ(m_command.FetchLast(), Status::dbTrue);
    EXPECT_EQ(Row(), 5);
    ASSERT_EQ(m_command.FetchPrev(), Status::dbTrue);
    EXPECT_EQ(Row(), 4);
    EXPECT_EQ(Log().offsets, (std::vector<DBROWOFFSET>{-1, -2}));
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

}  // namespace
