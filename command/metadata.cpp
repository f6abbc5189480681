// Column metadata: counts, names, bound types and the held row's lengths and statuses,
// read from the column information and the row buffer only.
#include "OrvOleDbCommand.h"
#include "command/command_state.h"

using orv::command::ColumnView;
using orv::command::kColumnsNotCounted;

bool OrvOleDbCommand::ColumnInRange(unsigned __int64 col) { return m_open && col != 0 && col <= GetColumnCount(); }

unsigned __int64 OrvOleDbCommand::GetColumnCount() {
    if (m_columnCount != kColumnsNotCounted) return m_columnCount;
    const orv::command::RowAccessor& accessor = m_command->accessor;
    m_columnCount = accessor.EntryCount();
    if (m_columnCount == 0) return 0;
    if (accessor.HasBookmark()) --m_columnCount;
    return m_columnCount;
}

unsigned short OrvOleDbCommand::GetRawType(unsigned __int64 col) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return 0;
    return view.info->wType;
}

CString OrvOleDbCommand::GetColumnName(unsigned __int64 col) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return CString();
    return CString(view.info->pwszName);
}

unsigned __int64 OrvOleDbCommand::GetColumnIndex(const CString& name) {
    if (!m_open || name.IsEmpty()) return 0;
    for (unsigned __int64 i = 1; i <= GetColumnCount(); ++i) {
        ColumnView view;
        const char16_t* columnName = m_command->accessor.View(i, view) ? view.info->pwszName : nullptr;
        if (_wcsicmp(columnName ? columnName : u"", name.GetString()) == 0) return i;
    }
    return 0;
}

unsigned __int64 OrvOleDbCommand::GetColumnSize(unsigned __int64 col) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return 0;
    return view.length;
}

OrvOleDbCommand::dbStatus OrvOleDbCommand::IsBlob(unsigned __int64 col) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return dbError;
    const DBTYPE type = view.info->wType;
    return type == DBTYPE_IUNKNOWN || type == DBTYPE_BYTES || (type & DBTYPE_BYREF) ? dbTrue : dbFalse;
}

OrvOleDbCommand::dbStatus OrvOleDbCommand::IsNull(unsigned __int64 col) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return dbError;
    return view.status == DBSTATUS_S_ISNULL ? dbTrue : dbFalse;
}

OrvOleDbCommand::dbStatus OrvOleDbCommand::IsNumeric(unsigned __int64 col) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return dbError;
    switch (view.info->wType) {
    case DBTYPE_DECIMAL:
    case DBTYPE_NUMERIC:
    case DBTYPE_VARNUMERIC: return dbTrue;
    default: return dbFalse;
    }
}

OrvOleDbCommand::dbStatus OrvOleDbCommand::IsIntegral(unsigned __int64 col) {
    ColumnView view;
    if (!ColumnInRange(col) || !m_command->accessor.View(col, view)) return dbError;
    switch (view.info->wType) {
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_UI2:
    case DBTYPE_UI4:
    case DBTYPE_I8:
    case DBTYPE_UI8: return dbTrue;
    default: return dbFalse;
    }
}
