// OLE DB as the library and its engine speak it: type and status codes, property sets and
// ids, schema GUIDs, the structures that cross between consumer and provider, and the
// interfaces of data sources, sessions, commands and rowsets, with their standard values
// so that ported host code means the same thing here as on Windows.
//
// Widths and layouts are those of 64-bit Windows: counts, lengths, ordinals and handles
// (DBLENGTH, DBORDINAL, DBCOUNTITEM, HROW, HACCESSOR, HCHAPTER, ...) are 64 bits, flags and
// status words are 32-bit DWORDs, DBTYPE is a 16-bit WORD.
//
// Ownership follows OLE DB: arrays, strings and string buffers that a provider returns
// through out-parameters (property sets, column information, binding arrays, HROW arrays
// it allocated, GUID lists) are allocated with CoTaskMemAlloc and freed by the consumer
// with CoTaskMemFree; the VARIANTs inside returned DBPROPs are cleared with VariantClear
// first. An interface pointer handed out carries one reference. Everything here is a
// declaration and may be used from any thread; each object states its own threading
// (DBPROP_ROWTHREADMODEL).
//
// This header gathers the families, each of which may be included alone:
//   platform/oledb/types.h        scalar types, type and status codes, bindings, columns
//   platform/oledb/properties.h   property structures, ids, values and set GUIDs
//   platform/oledb/errors.h       result codes and ISupportErrorInfo
//   platform/oledb/definitions.h  table, column, index and constraint definitions
//   platform/oledb/interfaces.h   data source, session, command and rowset interfaces
#pragma once

#include "platform/oledb/definitions.h"
#include "platform/oledb/errors.h"
#include "platform/oledb/interfaces.h"
#include "platform/oledb/properties.h"
#include "platform/oledb/types.h"
#include "platform/storage.h"
#include "platform/transact.h"
