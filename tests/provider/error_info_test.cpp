// How provider failures become error text: the records left on the thread, read once.
#include <gtest/gtest.h>

#include "OrvOleDb.h"
#include "platform/com_object.h"

using orv::platform::ErrorRecord;

namespace {

constexpr GUID kGuid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const char16_t* kGuidText = u"{12345678-9ABC-DEF0-0123-456789ABCDEF}";
// Record 0 of an error object that gives only its top-level texts.
const CString kTopRecord(
    orv::platform::Format(u"Row #:    0 Source: \"top source\"\nDescription: \"top description\"\n"
                          u"Help File: \"\" Help Context:    0\nGUID: %s\n",
                          kGuidText));

// An OLE DB error object that fails where the runtime's never does: its record count, its
// second record, or every getter. It is its own record 0.
class BrokenErrorObject final : public orv::platform::ComObject<IErrorInfo, IErrorRecords> {
public:
    enum Fault { kCount, kSecondRecord, kGetters };
    explicit BrokenErrorObject(Fault fault) : m_fault(fault) {}

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* g) override { return m_fault == kGetters ? E_FAIL : (*g = kGuid, S_OK); }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* s) override { return Text(u"top source", s); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* s) override { return Text(u"top description", s); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* s) override { return Text(u"", s); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* c) override {
        return m_fault == kGetters ? E_FAIL : (*c = 0, S_OK);
    }

    HRESULT STDMETHODCALLTYPE AddErrorRecord(ERRORINFO*, DWORD, DISPPARAMS*, IUnknown*, DWORD) override {
        ADD_FAILURE() << "the consumer never adds records";
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBasicErrorInfo(ULONG, ERRORINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCustomErrorObject(ULONG, REFIID, IUnknown** out) override {
        *out = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorInfo(ULONG n, LCID, IErrorInfo** out) override {
        *out = nullptr;
        return n == 0 ? QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(out)) : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE GetErrorParameters(ULONG, DISPPARAMS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRecordCount(ULONG* n) override {
        if (m_fault == kCount) return E_FAIL;
        *n = m_fault == kSecondRecord ? 2 : 1;
        return S_OK;
    }

private:
    HRESULT Text(const char16_t* t, BSTR* s) {
        *s = m_fault == kGetters ? nullptr : SysAllocString(t);
        return m_fault == kGetters ? E_FAIL : S_OK;
    }
    Fault m_fault;
};

ErrorRecord Record(const char16_t* description, DWORD context = 0, IUnknown* custom = nullptr) {
    ErrorRecord record;
    record.iid = kGuid;
    record.source = u"Provider";
    record.description = description;
    record.helpFile = u"help.chm";
    record.helpContext = context;
    record.custom = custom;
    return record;
}

CString Expected(int row, const char16_t* description, DWORD context = 0) {
    return CString(orv::platform::Format(
        u"Row #: %4d Source: \"Provider\"\nDescription: \"%s\"\nHelp File: \"help.chm\" Help Context: %4d\nGUID: %s\n",
        row, description, static_cast<int>(context), kGuidText));
}

class ErrorInfoTest : public ::testing::Test {
protected:
    void TearDown() override { ::SetErrorInfo(0, nullptr); }
    // Posts `object` on the thread and reads it through a failing result.
    CString ReadBack(IErrorInfo* object) {
        ::SetErrorInfo(0, object);
        object->Release();
        EXPECT_FALSE(info.CheckResult(E_FAIL));
        return info.GetErrorText();
    }
    CString ReadBack(const std::vector<ErrorRecord>& records) {
        EXPECT_EQ(orv::platform::PostErrorRecords(records), S_OK);
        EXPECT_FALSE(info.CheckResult(DB_E_NOTABLE));
        return info.GetErrorText();
    }
    OrvOleDbErrorInfo info;
};

TEST_F(ErrorInfoTest, SuccessClearsEverythingIncludingAStatementSetBefore) {
    info.SetErrorInfo(CComBSTR(u"old error"), CComBSTR(u"SELECT 1"));
    EXPECT_TRUE(info.HasErrorInfo());
    EXPECT_TRUE(info.CheckResult(S_OK));
    EXPECT_FALSE(info.HasErrorInfo());
    EXPECT_TRUE(info.GetErrorText().IsEmpty());
    EXPECT_TRUE(info.GetErrorStatement().IsEmpty());
    EXPECT_TRUE(info.GetErrorInfo(true).IsEmpty());
}

TEST_F(ErrorInfoTest, FailureCodesWithoutAnErrorObjectLeaveNoText) {
    EXPECT_FALSE(info.CheckResult(S_FALSE));  // a positive code is a failure too
    EXPECT_FALSE(info.HasErrorInfo());
    EXPECT_FALSE(info.CheckResult(E_FAIL));
    EXPECT_TRUE(info.GetErrorText().IsEmpty());
}

TEST_F(ErrorInfoTest, AnErrorObjectWithoutRecordsIsOneRecordNumberedZero) {
    ICreateErrorInfo* created = nullptr;
    ASSERT_EQ(::CreateErrorInfo(&created), S_OK);
    created->SetGUID(kGuid);
    created->SetSource(const_cast<LPOLESTR>(u"top source"));
    created->SetDescription(const_cast<LPOLESTR>(u"top description"));
    IErrorInfo* object = nullptr;
    ASSERT_EQ(created->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&object)), S_OK);
    created->Release();
    EXPECT_EQ(ReadBack(object), kTopRecord);
}

// The last record is reported, with the SQL state of its custom object when it has one.
TEST_F(ErrorInfoTest, TheLastOfSeveralRecordsIsReportedWithItsSqlState) {
    IUnknown* sql = nullptr;
    ASSERT_EQ(orv::platform::CreateSQLErrorInfo(u"42S02", -7, &sql), S_OK);
    EXPECT_EQ(ReadBack({Record(u"first", 0, sql), Record(u"no such table: parts", 12, sql)}),
              Expected(1, u"no such table: parts", 12) + CString(u"SQLState: 42S02, NativeError: -7\n"));
    EXPECT_EQ(ReadBack({Record(u"first", 0, sql), Record(u"second")}), Expected(1, u"second"));
    sql->Release();
}

TEST_F(ErrorInfoTest, BrokenErrorObjectsGiveWhatCouldBeRead) {
    EXPECT_TRUE(ReadBack(new BrokenErrorObject(BrokenErrorObject::kCount)).IsEmpty());
    EXPECT_FALSE(info.HasErrorInfo());
    // An unreadable record stops the walk with what the earlier ones left.
    EXPECT_EQ(ReadBack(new BrokenErrorObject(BrokenErrorObject::kSecondRecord)), kTopRecord);
    // Failing getters read as empty and zero.
    EXPECT_EQ(ReadBack(new BrokenErrorObject(BrokenErrorObject::kGetters)),
              CString(u"Row #:    0 Source: \"\"\nDescription: \"\"\nHelp File: \"\" Help Context:    0\n"
                      u"GUID: {00000000-0000-0000-0000-000000000000}\n"));
}

TEST_F(ErrorInfoTest, ReadingTheErrorObjectClearsItFromTheThread) {
    ReadBack({Record(u"once")});
    EXPECT_TRUE(info.HasErrorInfo());
    OrvOleDbErrorInfo second;
    EXPECT_FALSE(second.CheckResult(E_FAIL));
    EXPECT_FALSE(second.HasErrorInfo());
}

TEST_F(ErrorInfoTest, TheStatementFollowsTheTextOnlyWhenAskedAndPresent) {
    info.SetErrorInfo(CComBSTR(u"bad column"), CComBSTR());
    EXPECT_EQ(info.GetErrorInfo(true), info.GetErrorText());

    info.SetErrorInfo(CComBSTR(u"bad column"), CComBSTR(u"SELECT x FROM t"));
    EXPECT_EQ(info.GetErrorInfo(true), CString(u"bad column\nSELECT x FROM t"));
    EXPECT_EQ(info.GetErrorInfo(false), CString(u"bad column"));
    EXPECT_EQ(info.GetErrorStatement(), CString(u"SELECT x FROM t"));

    // Copies carry all three texts.
    info.SetErrorInfo(CComBSTR(u"e"), CComBSTR(u"s"));
    info.GetErrorInfo(true);
    OrvOleDbErrorInfo copy(info);
    EXPECT_EQ(copy.GetErrorText(), CString(u"e"));
    EXPECT_EQ(copy.GetErrorStatement(), CString(u"s"));
    OrvOleDbErrorInfo assigned;
    assigned = info;
    EXPECT_EQ(assigned.GetErrorInfo(true), CString(u"e\ns"));

    // A null text with a statement is no error; texts are taken up to their first NUL.
    info.SetErrorInfo(CComBSTR(), CComBSTR(u"DELETE FROM t"));
    EXPECT_FALSE(info.HasErrorInfo());
    EXPECT_EQ(info.GetErrorInfo(true), CString(u"\nDELETE FROM t"));
    info.SetErrorInfo(CComBSTR(5, u"ab\0cd"), CComBSTR(u"s"));
    EXPECT_EQ(info.GetErrorText(), CString(u"ab"));
}

}  // namespace
