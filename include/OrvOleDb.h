// The one header a host includes: every exported class of the library and the platform
// types they use (COM, OLE DB, UTF-16 text).
#pragma once

#include "platform/platform.h"

#include "OrvOleDbErrorInfo.h"
#include "OrvOleDbConnection.h"
#include "OrvOleDbHelper.h"
#include "OrvOleDbConnectionCache.h"
#include "OrvOleDbApp.h"
#include "OrvOleDbCommand.h"
#include "OrvOleDbDDLCommand.h"
#include "OrvOleDbRecordset.h"
#include "OrvOleDbCatalogs.h"
