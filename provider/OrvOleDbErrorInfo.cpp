// Turns the provider's error records into the text a host reads.
#include "OrvOleDbErrorInfo.h"

namespace {

// A string the provider handed out, released when the reading is done. A getter that
// failed, or a provider that returned a null string, leaves it empty.
struct ProviderString {
    BSTR value = nullptr;
    ~ProviderString() { SysFreeString(value); }
    const OLECHAR* Text() const { return value ? value : u""; }
};

// Writes one record into `text`, replacing what it held.
void FormatRecord(CString& text, ULONG number, IErrorInfo* record) {
    ProviderString description, helpFile, source;
    GUID guid = GUID_NULL;
    DWORD helpContext = 0;
    if (FAILED(record->GetDescription(&description.value))) description.value = nullptr;
    if (FAILED(record->GetGUID(&guid))) guid = GUID_NULL;
    if (FAILED(record->GetHelpContext(&helpContext))) helpContext = 0;
    if (FAILED(record->GetHelpFile(&helpFile.value))) helpFile.value = nullptr;
    if (FAILED(record->GetSource(&source.value))) source.value = nullptr;

    OLECHAR guidText[40] = {0};
    StringFromGUID2(guid, guidText, 40);

    text.Format(u"Row #: %4d Source: \"%s\"\nDescription: \"%s\"\nHelp File: \"%s\" Help Context: %4d\nGUID: %s\n",
                static_cast<int>(number), source.Text(), description.Text(), helpFile.Text(),
                static_cast<int>(helpContext), guidText);
}

// Appends the SQL state line of a record that carries a custom SQL error object.
void AppendSqlState(CString& text, IErrorRecords* records, ULONG number) {
    IUnknown* custom = nullptr;
    if (FAILED(records->GetCustomErrorObject(number, IID_ISQLErrorInfo, &custom)) || !custom) return;
    auto* sqlInfo = static_cast<ISQLErrorInfo*>(custom);
    ProviderString state;
    LONG nativeError = 0;
    sqlInfo->GetSQLInfo(&state.value, &nativeError);
    text.AppendFormat(u"SQLState: %s, NativeError: %i\n", state.Text(), static_cast<int>(nativeError));
    sqlInfo->Release();
}

}  // namespace

OrvOleDbErrorInfo::OrvOleDbErrorInfo() = default;
OrvOleDbErrorInfo::OrvOleDbErrorInfo(const OrvOleDbErrorInfo& other) = default;
OrvOleDbErrorInfo& OrvOleDbErrorInfo::operator=(const OrvOleDbErrorInfo& other) = default;
OrvOleDbErrorInfo::~OrvOleDbErrorInfo() = default;

bool OrvOleDbErrorInfo::CheckResult(HRESULT hr) {
    m_errorText.Empty();
    m_errorStatement.Empty();
    m_errorInfo.Empty();
    if (hr == S_OK) return true;

    LCID locale = GetSystemDefaultLCID();
    CComPtr<IErrorInfo> errorObject;
    if (::GetErrorInfo(0, &errorObject) == S_FALSE || !errorObject) return false;

    CComPtr<IErrorRecords> records;
    ULONG count = 1;  // an error object without records is its own single record
    if (SUCCEEDED(errorObject.QueryInterface(&records)) && records) {
        if (FAILED(records->GetRecordCount(&count))) return false;
    } else {
        records.Release();
    }

    for (ULONG i = 0; i < count; ++i) {
        CComPtr<IErrorInfo> record;
        if (records) {
            if (FAILED(records->GetErrorInfo(i, locale, &record)) || !record) return false;
        } else {
            record = errorObject;
        }
        FormatRecord(m_errorText, i, record);
        if (records) AppendSqlState(m_errorText, records, i);
    }
    return false;
}

const CString& OrvOleDbErrorInfo::GetErrorText() const { return m_errorText; }
const CString& OrvOleDbErrorInfo::GetErrorStatement() const { return m_errorStatement; }

const CString& OrvOleDbErrorInfo::GetErrorInfo(bool withStatement) {
    m_errorInfo = m_errorText;
    if (withStatement && !m_errorStatement.IsEmpty()) {
        m_errorInfo += u"\n";
        m_errorInfo += m_errorStatement;
    }
    return m_errorInfo;
}

bool OrvOleDbErrorInfo::HasErrorInfo() { return !m_errorText.IsEmpty(); }

void OrvOleDbErrorInfo::SetErrorInfo(const CComBSTR& text, const CComBSTR& statement) {
    m_errorText = text.m_str ? text.m_str : u"";
    m_errorStatement = statement.m_str ? statement.m_str : u"";
}
