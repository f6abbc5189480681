// Running out of memory anywhere along a query or a write: the Nth allocation of the engine
// fails, for every N from the first to the last the operation makes. Each run must end in
// either the right result or a failure that says so, the process must survive (no C++
// exception through SQLite, expat or a COM method), nothing stored may change on a failed
// write, and under the address sanitizer nothing may leak.
//
// This program's operator new is replaced by one that a test arms with a countdown; only
// allocations on the test's own thread inside an armed stretch count. SQLite's own
// allocations (malloc) are not failed here.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "support/engine_session.h"
#include "support/query_text.h"
#include "support/xlsx_parts.h"

namespace {

thread_local bool t_armed = false;
thread_local long t_countdown = 0;  // allocations left before the one that fails
thread_local long t_made = 0;  // allocations made while armed

bool FailThisOne() {
    if (!t_armed) return false;
    ++t_made;
    return t_countdown-- == 0;
}

void* Allocate(std::size_t size) {
    if (FailThisOne()) throw std::bad_alloc();
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return FailThisOne() ? nullptr : std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return FailThisOne() ? nullptr : std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

using namespace orv::test;
using orv::platform::Utf16ToUtf8;

namespace {

// Arms the countdown for one engine call.
class Armed {
public:
    explicit Armed(long& budget) : m_budget(budget) {
        t_countdown = budget;
        t_armed = true;
    }
    ~Armed() {
        t_armed = false;
        m_budget = t_countdown;
    }

private:
    long& m_budget;
};

// What one run of an operation ended in.
struct Outcome {
    bool ok = true;
    HRESULT hr = S_OK;
    std::u16string error;
    std::vector<std::vector<std::u16string>> rows;

    Outcome& Failed(HRESULT result) {
        ok = false;
        hr = result;
        error = LastErrorDescription();
        return *this;
    }
};

// Runs `sql` with every engine call armed against `budget`, reading each row's values as text.
Outcome RunArmed(IOpenRowset* session, const char16_t* sql, long& budget) {
    Outcome out;
    CComPtr<IRowset> rowset;
    HRESULT hr;
    {
        Armed armed(budget);
        hr = RunSql(session, sql, &rowset);
    }
    if (hr != S_OK) return out.Failed(hr);
    if (!rowset) return out;
    CComPtr<IAccessor> accessor;
    rowset->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(&accessor));
    DBBINDING binding = {};
    binding.iOrdinal = 1;
    binding.obStatus = offsetof(Cell, status);
    binding.obLength = offsetof(Cell, length);
    binding.obValue = offsetof(Cell, text);
    binding.dwPart = DBPART_VALUE | DBPART_STATUS | DBPART_LENGTH;
    binding.wType = DBTYPE_WSTR;
    binding.cbMaxLen = sizeof(Cell::text);
    HACCESSOR handle = 0;
    {
        Armed armed(budget);
        hr = accessor->CreateAccessor(DBACCESSOR_ROWDATA, 1, &binding, sizeof(Cell), &handle, nullptr);
    }
    if (hr != S_OK) return out.Failed(hr);
    for (;;) {
        HROW row = 0;
        HROW* rows = &row;
        DBCOUNTITEM obtained = 0;
        Cell cell{};
        {
            Armed armed(budget);
            hr = rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows);
            if (obtained == 1 && rowset->GetData(row, handle, &cell) != S_OK) hr = E_FAIL;
        }
        if (obtained == 1) rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
        if (hr != S_OK && hr != DB_S_ENDOFROWSET) {
            accessor->ReleaseAccessor(handle, nullptr);
            return out.Failed(hr);
        }
        if (obtained == 0) break;
        out.rows.push_back({cell.status == DBSTATUS_S_OK ? std::u16string(cell.text) : u"<not ok>"});
    }
    accessor->ReleaseAccessor(handle, nullptr);
    return out;
}

// Runs `operation(budget)` with the Nth allocation failing for N = 0, 1, 2, ... until a run
// meets no failure; `check` judges each run. Returns how many allocations a whole run makes.
template <typename Operation, typename Check>
long SweepAllocations(Operation operation, Check check) {
    for (long n = 0;; ++n) {
        long budget = n;
        Outcome outcome = operation(budget);
        const bool reached = budget < 0;  // the countdown ran out: allocation n failed
        check(outcome, reached, n);
        if (::testing::Test::HasFatalFailure()) return n;
        if (!reached) return n;
        if (n > 200000) {
            ADD_FAILURE() << "the sweep does not end";
            return n;
        }
    }
}

// A failed run says why; only a run whose error record could not be made at all for lack of
// memory may be silent.
void ExpectClearFailure(const Outcome& outcome, long n) {
    EXPECT_TRUE(outcome.hr != S_OK) << "allocation " << n;
    if (outcome.hr != E_OUTOFMEMORY) {
        EXPECT_FALSE(outcome.error.empty())
            << "allocation " << n << " failed with " << std::hex << outcome.hr << " and no error text";
    }
}

class AllocationFailureTest : public ::testing::Test {
protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }

    TempDir m_dir;
};

// A workbook of one sheet 'S' with a column 'name' and one row.
const Parts kBook = OneSheet(
    "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>name</t></is></c></row>"
    "<row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>bolt</t></is></c></row>");

// Opens a session on `init` with the data source's and the session's creation armed: the
// store is opened, and its file read, inside the sweep.
Outcome OpenArmed(const std::u16string& init, CComPtr<IOpenRowset>& session, long& budget) {
    Outcome out;
    CComPtr<IDataInitialize> links;
    EXPECT_EQ(CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize,
                               reinterpret_cast<void**>(&links)),
              S_OK);
    CComPtr<IDBInitialize> source;
    CComPtr<IDBCreateSession> create;
    HRESULT hr;
    {
        Armed armed(budget);
        hr = links->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, init.c_str(), IID_IDBInitialize,
                                  reinterpret_cast<IUnknown**>(&source));
        if (hr == S_OK) hr = source->Initialize();
        if (hr == S_OK) hr = source->QueryInterface(IID_IDBCreateSession, reinterpret_cast<void**>(&create));
        if (hr == S_OK) hr = create->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(&session));
    }
    return hr == S_OK ? out : out.Failed(hr);
}

// Opening the store at `init` and running `sql` on it, with the Nth allocation failing:
// each run gives the rows of a run that meets no failure (`rows`, when given), or a failure
// that says so.
void SweepOpenAndQuery(const std::u16string& init, const char16_t* sql,
                       const std::vector<std::vector<std::u16string>>& rows = {}) {
    auto run = [&](long& budget) {
        CComPtr<IOpenRowset> session;
        Outcome outcome = OpenArmed(init, session, budget);
        return outcome.ok ? RunArmed(session, sql, budget) : outcome;
    };
    long unlimited = LONG_MAX;
    const Outcome expected = run(unlimited);
    ASSERT_TRUE(expected.ok) << Utf16ToUtf8(expected.error);
    ASSERT_FALSE(expected.rows.empty());
    if (!rows.empty()) {
        EXPECT_EQ(expected.rows, rows);
    }
    long made = SweepAllocations(run, [&](const Outcome& outcome, bool reached, long n) {
        if (!reached) {
            EXPECT_TRUE(outcome.ok) << Utf16ToUtf8(outcome.error);
        }
        if (outcome.ok) {
            EXPECT_EQ(outcome.rows, expected.rows) << "allocation " << n;
        } else {
            ExpectClearFailure(outcome, n);
        }
    });
    EXPECT_GT(made, 10);
    ::testing::Test::RecordProperty("allocations", std::to_string(made));
}

// Each store on its own, so that the sweeps run side by side.
TEST_F(AllocationFailureTest, OpeningAndQueryingATextFolderFailsCleanlyAtEveryAllocation) {
    WriteFile(m_dir.Path("parts.csv"), "id,name\n1,bolt\n2,nut\n3,washer\n");
    SweepOpenAndQuery(InitFor(m_dir.WPath(), u"Extended Properties=\"text;HDR=YES\""),
                      u"SELECT UCase(name) FROM [parts.csv] WHERE id > 1", {{u"NUT"}, {u"WASHER"}});
}

TEST_F(AllocationFailureTest, OpeningAndQueryingAWorkbookFailsCleanlyAtEveryAllocation) {
    WriteArchive(m_dir.Path("book.xlsx"), kBook);
    SweepOpenAndQuery(InitFor(m_dir.WPath("book.xlsx"), u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\""),
                      u"SELECT name FROM [S$]", {{u"bolt"}});
}

TEST_F(AllocationFailureTest, OpeningAndQueryingAnXlsWorkbookFailsCleanlyAtEveryAllocation) {
    SweepOpenAndQuery(InitFor(orv::platform::Utf8ToUtf16(std::string(ORV_FIXTURES) + "/workbooks/calc_values.xls"),
                              u"Extended Properties=\"Excel 8.0;HDR=NO\""),
                      u"SELECT F2 FROM [Values$] WHERE F2 IS NOT NULL");
}

TEST_F(AllocationFailureTest, OpeningAndQueryingAnAccessFileFailsCleanlyAtEveryAllocation) {
    const std::string file = std::string(ORV_ACCESS_FIXTURES_DIR) + "/traders.mdb";
    if (!std::filesystem::exists(file)) GTEST_SKIP() << "the Access test file " << file << " is not there";
    SweepOpenAndQuery(InitFor(orv::platform::Utf8ToUtf16(file)),
                      u"SELECT CompanyName FROM Shippers ORDER BY ShipperID");
}

// A write that meets the failure leaves the file as it was; one that does not lands whole.
void SweepWrite(const std::string& file, const std::u16string& init, const std::u16string& more, const char16_t* sql,
                const char16_t* count, const std::u16string& before, const std::u16string& after) {
    const std::string original = ReadFile(file);
    long made = SweepAllocations(
        [&](long& budget) {
            WriteFile(file, original);
            CComPtr<IOpenRowset> session = OpenSession(init, more);
            Outcome outcome = RunArmed(session, sql, budget);
            Result rows = QueryText(session, count);
            outcome.rows = rows.rows;
            return outcome;
        },
        [&](const Outcome& outcome, bool, long n) {
            if (outcome.ok) {
                EXPECT_EQ(outcome.rows[0][0], after) << "allocation " << n;
            } else {
                ExpectClearFailure(outcome, n);
                EXPECT_EQ(outcome.rows[0][0], before) << "allocation " << n << ": " << Utf16ToUtf8(outcome.error);
            }
        });
    EXPECT_GT(made, 10);
}

TEST_F(AllocationFailureTest, AWriteToATextFileLandsWholeOrNotAtAll) {
    WriteFile(m_dir.Path("t.csv"), "id,name\n1,a\n2,b\n");
    SweepWrite(m_dir.Path("t.csv"), m_dir.WPath(), u"Extended Properties=\"text;HDR=YES\"",
               u"UPDATE [t.csv] SET name = 'z' WHERE id = 2", u"SELECT group_concat(name) FROM [t.csv]", u"a,b",
               u"a,z");
}

TEST_F(AllocationFailureTest, AWriteToAWorkbookLandsWholeOrNotAtAll) {
    WriteArchive(m_dir.Path("book.xlsx"), kBook);
    SweepWrite(m_dir.Path("book.xlsx"), m_dir.WPath("book.xlsx"), u"Extended Properties=\"Excel 12.0 Xml;HDR=YES\"",
               u"INSERT INTO [S$] (name) VALUES ('nut')", u"SELECT group_concat(name) FROM [S$]", u"bolt", u"bolt,nut");
}

}  // namespace
