// Moving through the rows of a result on the fake provider: where each fetch lands, what it
// asks of the provider, and how the two end flags spare the provider pointless calls; and
// the result's column metadata: numbering (bookmark hidden), names, bound types, and the
// held row's lengths and NULL statuses.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/case_file.h"
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

// The walks of cases/cursor_walks.test, each on a fresh result.
TEST_F(CursorTest, Walks) {
    const int walks = ForEachCase("cursor_walks.test", [&](const std::string& line) {
        m_command.Close();
        Fake().log = FakeLog{};
        std::istringstream in(line);
        int rows = 0;
        char colon = 0;
        in >> rows >> colon;
        Execute(rows);
        for (std::string step; in >> step;) {
            SCOPED_TRACE(step);
            const std::size_t eq = step.find('=');
            const std::string op = step.substr(0, eq), want = eq == std::string::npos ? "" : step.substr(eq + 1);
            if (op == "calls") EXPECT_EQ(Log().getNextRows, std::stoi(want));
            else if (op == "restarts") EXPECT_EQ(Log().restartPosition, std::stoi(want));
            else if (op == "held") EXPECT_EQ(Log().heldRows, std::stoi(want));
            else if (op == "close") m_command.Close();
            else if (op == "offsets") {
                std::string asked;
                for (DBROWOFFSET offset : Log().offsets) asked += (asked.empty() ? "" : ",") + std::to_string(offset);
                EXPECT_EQ(asked, want);
                Log().offsets.clear();
            } else {
                const Status got = op == "prev"                ? m_command.FetchPrev()
                                   : op == "first"             ? m_command.FetchFirst()
                                   : op == "last"              ? m_command.FetchLast()
                                   : op == "next"              ? m_command.FetchNext()
                                   : op.rfind("next:", 0) == 0 ? m_command.FetchNext(std::stoi(op.substr(5)))
                                                               : (ADD_FAILURE() << "unknown step", Status::dbError);
                EXPECT_EQ(got == Status::dbTrue    ? std::to_string(Row())
                          : got == Status::dbFalse ? "none"
                                                   : "error",
                          want);
            }
        }
        EXPECT_FALSE(m_command.HasErrorInfo());
    });
    EXPECT_EQ(walks, 6);
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
