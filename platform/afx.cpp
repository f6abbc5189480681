#include "platform/afx.h"

void AfxThrowMemoryException() { throw CMemoryException(); }
void AfxThrowOleException(SCODE sc) {
    if (sc == E_OUTOFMEMORY) throw CMemoryException();
    throw COleException(sc);
}

CWinApp::CWinApp(const char16_t* appName) : m_pszAppName(appName) {}
CWinApp::~CWinApp() = default;
BOOL CWinApp::InitInstance() { return TRUE; }
int CWinApp::ExitInstance() { return 0; }
