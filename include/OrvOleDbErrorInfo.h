// OrvOleDbErrorInfo: the error text of the last provider failure on an object.
//
// Every class of the library that calls the provider derives from it. After each provider
// call the object hands the call's HRESULT to CheckResult, which turns the error records
// that the provider left on the calling thread into one text: the host reads it with
// GetErrorText, or with GetErrorInfo(true), which adds the statement that failed.
//
// The object owns its three strings; the references returned by the accessors stay valid
// until the next call that changes the object. One object is used by one thread at a time,
// and CheckResult must run on the thread whose call failed, because the provider's error
// records belong to that thread.
#pragma once

#include "platform/platform.h"

class ORV_API OrvOleDbErrorInfo {
public:
    OrvOleDbErrorInfo();
    OrvOleDbErrorInfo(const OrvOleDbErrorInfo& other);
    OrvOleDbErrorInfo& operator=(const OrvOleDbErrorInfo& other);
    ~OrvOleDbErrorInfo();

    // Empties the three texts; for anything but S_OK, fills the error text from the
    // calling thread's error records (reading them clears them) and returns false.
    bool CheckResult(HRESULT hr);

    const CString& GetErrorText() const;
    const CString& GetErrorStatement() const;
    // The error text, followed by a line feed and the statement when `withStatement` is
    // true and a statement is set.
    const CString& GetErrorInfo(bool withStatement);
    bool HasErrorInfo();

    // Sets the error text and the statement, each copied up to its first NUL.
    void SetErrorInfo(const CComBSTR& text, const CComBSTR& statement);

protected:
    CString m_errorText;
    CString m_errorStatement;
    CString m_errorInfo;
};
