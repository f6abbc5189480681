// Everything the platform layer offers a host: COM runtime, error objects, OLE DB
// declarations, Win32 and framework stand-ins, and UTF-16 text.
#pragma once

#include "platform/afx.h"
#include "platform/consumer.h"
#include "platform/com.h"
#include "platform/crt.h"
#include "platform/errorinfo.h"
#include "platform/format.h"
#include "platform/oleauto.h"
#include "platform/oledb.h"
#include "platform/storage.h"
#include "platform/text.h"
#include "platform/transact.h"
#include "platform/utf.h"
#include "platform/win32.h"
