// How provider failures become error text: the records left on the thread, read once.
#include <gtest/gtest.h>

#include "OrvOleDb.h"
#include "platform/com_object.h"

using orv::platform::ComObject;

namespace {

constexpr GUID kGuid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
const char16_t* kGuidText = u"{12345678-9ABC-DEF0-0123-456789ABCDEF}";

struct RecordData {
    std::u16string source, description, helpFile;
    DWORD helpContext = 0;
    GUID guid = GUID_NULL;
    bool failGetters = false;
};

// One record's texts, as the provider's record objects give them.
class FakeRecord : public ComObject<IErrorInfo> {
public:
    explicit FakeRecord(RecordData d) : m_d(std::move(d)) {}
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* g) override {
        if (m_d.failGetters) return E_FAIL;
        *g = m_d.guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* s) override { return Out(m_d.source, s); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* s) override { return Out(m_d.description, s); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* s) override { return Out(m_d.helpFile, s); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* c) override {
        if (m_d.failGetters) return E_FAIL;
        *c = m_d.helpContext;
        return S_OK;
    }

private:
    HRESULT Out(const std::u16string& text, BSTR* s) {
        *s = nullptr;
        if (m_d.failGetters) return E_FAIL;
        *s = SysAllocString(text.c_str());
        return S_OK;
    }
    RecordData m_d;
};

class FakeSqlInfo : public ComObject<ISQLErrorInfo> {
public:
    HRESULT STDMETHODCALLTYPE GetSQLInfo(BSTR* state, LONG* native) override {
        *state = SysAllocString(u"42S02");
        *native = -7;
        return S_OK;
    }
};

// An OLE DB error object whose record access can be made to fail.
class FakeErrorObject : public ComObject<IErrorInfo, IErrorRecords> {
public:
    std::vector<RecordData> records;
    std::vector<bool> withSqlInfo;
    bool failCount = false;
    int failRecord = -1;
    bool offerRecords = true;

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* g) override {
        *g = kGuid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* s) override { return Text(u"top source", s); }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* s) override { return Text(u"top description", s); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* s) override { return Text(u"", s); }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* c) override {
        *c = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IErrorRecords && !offerRecords) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(riid, ppv);
    }

    HRESULT STDMETHODCALLTYPE AddErrorRecord(ERRORINFO*, DWORD, DISPPARAMS*, IUnknown*, DWORD) override {
        ADD_FAILURE() << "the consumer never adds records";
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBasicErrorInfo(ULONG, ERRORINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCustomErrorObject(ULONG n, REFIID riid, IUnknown** out) override {
        *out = nullptr;
        if (n < withSqlInfo.size() && withSqlInfo[n]) {
            auto* info = new FakeSqlInfo;
            HRESULT hr = info->QueryInterface(riid, reinterpret_cast<void**>(out));
            info->Release();
            return hr;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorInfo(ULONG n, LCID, IErrorInfo** out) override {
        *out = nullptr;
        if (static_cast<int>(n) == failRecord || n >= records.size()) return E_FAIL;
        *out = new FakeRecord(records[n]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetErrorParameters(ULONG, DISPPARAMS*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetRecordCount(ULONG* n) override {
        if (failCount) return E_FAIL;
        *n = static_cast<ULONG>(records.size());
        return S_OK;
    }

private:
    static HRESULT Text(const char16_t* t, BSTR* s) {
        *s = SysAllocString(t);
        return S_OK;
    }
};

void Post(IErrorInfo* object) {
    ::SetErrorInfo(0, object);
    object->Release();
}

RecordData Record(const char16_t* description, DWORD context = 0) {
    return RecordData{u"Provider", description, u"help.chm", context, kGuid, false};
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
        Post(object);
        EXPECT_FALSE(info.CheckResult(E_FAIL));
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
    auto* object = new FakeErrorObject;
    object->offerRecords = false;
    EXPECT_EQ(ReadBack(object),
              CString(orv::platform::Format(u"Row #:    0 Source: \"top source\"\nDescription: \"top description\"\n"
                                            u"Help File: \"\" Help Context:    0\nGUID: %s\n",
                                            kGuidText)));
}

TEST_F(ErrorInfoTest, TheLastOfSeveralRecordsIsReportedWithItsSqlState) {
    auto* object = new FakeErrorObject;
    object->records = {Record(u"first"), Record(u"no such table: parts", 12)};
    object->withSqlInfo = {true, true};
    Post(object);
    EXPECT_FALSE(info.CheckResult(DB_E_NOTABLE));
    EXPECT_EQ(info.GetErrorText(),
              Expected(1, u"no such table: parts", 12) + CString(u"SQLState: 42S02, NativeError: -7\n"));
}

TEST_F(ErrorInfoTest, ARecordWithoutCustomObjectHasNoSqlStateLine) {
    auto* object = new FakeErrorObject;
    object->records = {Record(u"first"), Record(u"second")};
    object->withSqlInfo = {true, false};
    EXPECT_EQ(ReadBack(object), Expected(1, u"second"));
}

TEST_F(ErrorInfoTest, AFailingRecordCountGivesNoText) {
    auto* object = new FakeErrorObject;
    object->records = {Record(u"first")};
    object->failCount = true;
    EXPECT_TRUE(ReadBack(object).IsEmpty());
    EXPECT_FALSE(info.HasErrorInfo());
}

TEST_F(ErrorInfoTest, AnUnreadableRecordStopsWithWhatTheEarlierOnesLeft) {
    auto* object = new FakeErrorObject;
    object->records = {Record(u"first"), Record(u"second")};
    object->failRecord = 1;
    EXPECT_EQ(ReadBack(object), Expected(0, u"first"));
}

TEST_F(ErrorInfoTest, FailingGettersReadAsEmptyAndZero) {
    auto* object = new FakeErrorObject;
    RecordData broken;
    broken.failGetters = true;
    object->records = {broken};
    EXPECT_EQ(ReadBack(object),
              CString(u"Row #:    0 Source: \"\"\nDescription: \"\"\nHelp File: \"\" Help Context:    0\n"
                      u"GUID: {00000000-0000-0000-0000-000000000000}\n"));
}

TEST_F(ErrorInfoTest, ReadingTheErrorObjectClearsItFromTheThread) {
    auto* object = new FakeErrorObject;
    object->records = {Record(u"once")};
    Post(object);
    EXPECT_FALSE(info.CheckResult(E_FAIL));
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

TEST_F(ErrorInfoTest, RecordsPostedByTheRuntimeReadBackThroughCheckResult) {
    IUnknown* sql = nullptr;
    ASSERT_EQ(orv::platform::CreateSQLErrorInfo(u"HY000", 1, &sql), S_OK);
    orv::platform::ErrorRecord record;
    record.description = u"disk I/O error";
    record.source = u"Engine";
    record.custom = sql;
    ASSERT_EQ(orv::platform::PostErrorRecords({record}), S_OK);
    sql->Release();
    EXPECT_FALSE(info.CheckResult(E_FAIL));
    EXPECT_NE(info.GetErrorText().Find(u"Description: \"disk I/O error\""), -1);
    EXPECT_NE(info.GetErrorText().Find(u"SQLState: HY000, NativeError: 1\n"), -1);
}

}  // namespace
