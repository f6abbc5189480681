// The statement builder: column and search lists rendered into INSERT, UPDATE and DELETE.
#include "OrvOleDbDDLCommand.h"

#include <cstdlib>
#include <string>

namespace {

// The format buffer grows by this many characters at a time, up to the limit, past which
// a value is cut to the limit less one.
constexpr unsigned __int64 kHeapStep = 10240;
constexpr unsigned __int64 kHeapLimit = 204800;

enum ListText { kSetList = 0, kWhereList = 1, kColumnNames = 2, kValues = 3 };

}  // namespace

OrvOleDbDDLCommand::OrvOleDbDDLCommand() : m_heapSize(0), m_heap(nullptr), m_emptyAsNull(false) {}

OrvOleDbDDLCommand::~OrvOleDbDDLCommand() {
    std::free(m_heap);
    m_heap = nullptr;
}

bool OrvOleDbDDLCommand::ManageHeap() {
    std::free(m_heap);
    m_heapSize += kHeapStep;
    m_heap = static_cast<WCHAR*>(std::malloc(m_heapSize * sizeof(WCHAR)));
    return m_heap != nullptr;
}

template <class FormatChar>
void OrvOleDbDDLCommand::AddValueV(std::vector<_ColValueMap>& list, const WCHAR* column, const FormatChar* format,
                                   va_list args) {
    if (!m_heap && !ManageHeap()) return;
    bool fits = false;
    for (;;) {
        m_heap[0] = 0;
        va_list copy;
        va_copy(copy, args);
        int needed = orv::platform::FormatToBufferV(m_heap, m_heapSize, format, copy);
        va_end(copy);
        fits = needed >= 0 && static_cast<unsigned __int64>(needed) < m_heapSize;
        if (fits || m_heapSize >= kHeapLimit) break;  // at the limit the value stays cut
        if (!ManageHeap()) return;
    }
    // A quoted literal cut at the limit has lost its closing quote, and quotes inside are
    // doubled only in a whole literal: the data after a quote in it would be read as SQL.
    // The cut literal is closed instead, so that it stays one value, shorter by a character.
    const std::size_t length = std::char_traits<WCHAR>::length(m_heap);
    if (!fits && length >= 2 && m_heap[0] == u'\'') m_heap[length - 1] = u'\'';
    AddColumnValue(list, column, m_heap);
}

void OrvOleDbDDLCommand::AddColumn(const WCHAR* column, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    AddColumnV(column, format, args);
    va_end(args);
}

void OrvOleDbDDLCommand::AddColumnV(const WCHAR* column, const WCHAR* format, va_list args) {
    AddValueV(m_columns, column, format, args);
}

void OrvOleDbDDLCommand::AddSearchCol(const WCHAR* column, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    AddSearchColV(column, format, args);
    va_end(args);
}

void OrvOleDbDDLCommand::AddSearchColV(const WCHAR* column, const WCHAR* format, va_list args) {
    AddValueV(m_searchCols, column, format, args);
}

void OrvOleDbDDLCommand::AddColumn(const WCHAR* column, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    AddColumnV(column, format, args);
    va_end(args);
}

void OrvOleDbDDLCommand::AddColumnV(const WCHAR* column, const wchar_t* format, va_list args) {
    AddValueV(m_columns, column, format, args);
}

void OrvOleDbDDLCommand::AddSearchCol(const WCHAR* column, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    AddSearchColV(column, format, args);
    va_end(args);
}

void OrvOleDbDDLCommand::AddSearchColV(const WCHAR* column, const wchar_t* format, va_list args) {
    AddValueV(m_searchCols, column, format, args);
}

void OrvOleDbDDLCommand::EmptyAsNull(bool emptyAsNull) { m_emptyAsNull = emptyAsNull; }

void OrvOleDbDDLCommand::SetTable(const WCHAR* table) { m_table = table ? table : u""; }

void OrvOleDbDDLCommand::Empty() {
    m_searchCols.clear();
    m_columns.clear();
    m_table.Empty();
}

void OrvOleDbDDLCommand::EmptyCols() { m_columns.clear(); }

void OrvOleDbDDLCommand::EmptySearch() { m_searchCols.clear(); }

void OrvOleDbDDLCommand::AddColumnValue(std::vector<_ColValueMap>& list, const WCHAR* column, const WCHAR* value) {
    CString v(value);
    VerifyColumnData(v);
    if (m_emptyAsNull) SetNullEmptyCol(v);
    for (_ColValueMap& entry : list) {
        if (entry.m_column.CompareNoCase(column) == 0) {
            entry.m_value = v;  // the name and the position stay as first added
            return;
        }
    }
    list.push_back(_ColValueMap{CString(column), v});
}

void OrvOleDbDDLCommand::VerifyColumnData(CString& value) {
    const int length = value.GetLength();
    if (length < 3 || value[0] != u'\'' || value[length - 1] != u'\'') return;
    CString quoted(u"'");
    for (int i = 1; i < length - 1; ++i) {
        if (value[i] == u'\'') quoted += u'\'';
        quoted += value[i];
    }
    quoted += u'\'';
    value = quoted;
}

void OrvOleDbDDLCommand::SetNullEmptyCol(CString& value) {
    if (value.IsEmpty() || value == u"''") value = u"NULL";
}

const CString& OrvOleDbDDLCommand::GetColList(std::vector<_ColValueMap>& list, bool append) {
    CString& text = m_listText[kColumnNames];
    if (!append) text.Empty();
    for (const _ColValueMap& entry : list) {
        if (!text.IsEmpty()) text += u", ";
        text += entry.m_column;
    }
    return text;
}

const CString& OrvOleDbDDLCommand::GetValueList(std::vector<_ColValueMap>& list, bool append) {
    CString& text = m_listText[kValues];
    if (!append) text.Empty();
    for (const _ColValueMap& entry : list) {
        if (!text.IsEmpty()) text += u", ";
        text += entry.m_value;
    }
    return text;
}

namespace {

const CString& JoinItems(CString& text, const std::vector<OrvOleDbDDLCommand::_ColValueMap>& list,
                         const char16_t* separator) {
    text.Empty();
    CString item;
    for (const auto& entry : list) {
        item.Format(u"%s = %s", entry.m_column.GetString(), entry.m_value.GetString());
        if (!text.IsEmpty()) text += separator;
        text += item;
    }
    return text;
}

}  // namespace

const CString& OrvOleDbDDLCommand::GetSetList(std::vector<_ColValueMap>& list) {
    return JoinItems(m_listText[kSetList], list, u",\n");
}

const CString& OrvOleDbDDLCommand::GetWhereList(std::vector<_ColValueMap>& list) {
    return JoinItems(m_listText[kWhereList], list, u"\n AND ");
}

bool OrvOleDbDDLCommand::Run(const CString& statement) {
    SetCommandText(statement);
    return Execute() == dbTrue;
}

bool OrvOleDbDDLCommand::Insert() {
    GetColList(m_searchCols, false);
    GetValueList(m_searchCols, false);
    GetValueList(m_columns, true);
    GetColList(m_columns, true);
    CString statement;
    statement.Format(u"INSERT INTO %s (%s) VALUES (%s)", m_table.GetString(), m_listText[kColumnNames].GetString(),
                     m_listText[kValues].GetString());
    return Run(statement);
}

bool OrvOleDbDDLCommand::Update() {
    GetWhereList(m_searchCols);
    GetSetList(m_columns);
    CString statement;
    statement.Format(u"UPDATE %s SET %s WHERE %s", m_table.GetString(), m_listText[kSetList].GetString(),
                     m_listText[kWhereList].GetString());
    return Run(statement);
}

bool OrvOleDbDDLCommand::Delete() {
    GetWhereList(m_searchCols);
    CString statement;
    statement.Format(u"DELETE FROM %s WHERE %s", m_table.GetString(), m_listText[kWhereList].GetString());
    return Run(statement);
}

bool OrvOleDbDDLCommand::UpdateInsert() {
    GetWhereList(m_searchCols);
    CString statement;
    statement.Format(u"SELECT COUNT(*) FROM %s WHERE %s", m_table.GetString(), m_listText[kWhereList].GetString());
    SetCommandText(statement);
    const bool exists = Execute() == dbTrue && FetchNext() == dbTrue && GetColumnCount() == 1 && FieldAsLong(1) != 0;
    Close();
    return exists ? Update() : Insert();
}
