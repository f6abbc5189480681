// Application-framework stand-ins: the exceptions that the framework's string and array
// routines raise, and the application class whose start and stop hooks a library
// overrides.
//
// Exceptions are plain C++ exception types carrying an HRESULT and are thrown by value.
// A CWinApp belongs to the module that defines it; its hooks run on the thread that loads
// and unloads that module.
#pragma once

#include <exception>

#include "platform/wintypes.h"

class ORV_API COleException : public std::exception {
public:
    explicit COleException(SCODE sc) noexcept : m_sc(sc) {}
    const char* what() const noexcept override { return "COM error"; }
    // The status that the failed operation would have returned.
    SCODE m_sc;
};

class ORV_API CMemoryException : public COleException {
public:
    CMemoryException() noexcept : COleException(E_OUTOFMEMORY) {}
    const char* what() const noexcept override { return "out of memory"; }
};

[[noreturn]] ORV_API void AfxThrowMemoryException();
[[noreturn]] ORV_API void AfxThrowOleException(SCODE sc);

// The application object of a module. A module derives from it, overrides the two hooks,
// and defines exactly one global object of the derived class.
class ORV_API CWinApp {
public:
    explicit CWinApp(const char16_t* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Runs when the module is loaded; a false result would fail the load.
    virtual BOOL InitInstance();
    // Runs when the module is unloaded; the result is the module's exit code.
    virtual int ExitInstance();

    const char16_t* m_pszAppName;
};
