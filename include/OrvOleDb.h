// The one header a host includes: every exported class of the library, the platform types
// they use (COM, OLE DB, UTF-16 text), and the text macros of ported Windows code (_T,
// TCHAR, the _tcs functions: platform/tchar.h), so that such code changes only its include
// line. The exported headers included one by one leave the macros out.
#pragma once

#include "platform/platform.h"
#include "platform/tchar.h"

#include "OrvOleDbErrorInfo.h"
#include "OrvOleDbConnection.h"
#include "OrvOleDbHelper.h"
#include "OrvOleDbConnectionCache.h"
#include "OrvOleDbApp.h"
#include "OrvOleDbCommand.h"
#include "OrvOleDbDDLCommand.h"
#include "OrvOleDbRecordset.h"
#include "OrvOleDbCatalogs.h"
