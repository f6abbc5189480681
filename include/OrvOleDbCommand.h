// OrvOleDbCommand: runs one SQL text on a connection and reads the rows of its result.
//
// The host (or a derived class) lends a connection with SetConnection, sets the text,
// calls Execute, then walks the rows with the Fetch operations and reads the held row's
// fields as text (FieldAsString), 32-bit integers (FieldAsLong) or bytes (GetBlobData).
// Columns are numbered from 1 to GetColumnCount(); a bookmark column that the provider may
// add is never exposed.
//
// Ownership. The connection is lent: the command never opens, closes or destroys it, and
// it must outlive every Execute and every field read that needs it (numeric fields use its
// conversion object). The command owns its provider objects (command, rowset, accessor),
// the row buffer and everything the held row's values own (memory of values bound by
// reference, storage objects, strings); all of it is released when the next row is
// fetched, at Close, at the next Execute and at destruction. Values handed out are copies
// (CString) or are copied into the caller's memory (GetBlobData), so they stay valid
// after the row moves on; a heap block filled by GetBlobData belongs to the caller's
// CHeapPtr.
//
// Widths follow Windows: FieldAsLong returns a 32-bit LONG and GetBlobData takes and
// returns 32-bit ULONG lengths (on Linux `long` would be 64 bits).
//
// Threads. A command is used by one thread at a time, with COM initialised on it; failure
// texts are read from that thread's error records. The one exception is Cancel, which any
// thread may call while the command's own thread is inside Execute or a Fetch. Commands on one connection share its
// session, so they are used on the same thread as the connection.
#pragma once

#include <memory>

#include "OrvOleDbConnection.h"
#include "OrvOleDbErrorInfo.h"

namespace orv::command {
class CommandState;
}

// How Execute binds large columns (column size above 8000 bytes).
enum DBBLOBHANDLINGENUM : int {
    DBBLOBHANDLING_DEFAULT = 0,  // as storage objects, read through ISequentialStream or IStream
    DBBLOBHANDLING_NOSTREAMS = 1,  // by reference: the whole value in memory the command frees
    DBBLOBHANDLING_SKIP = 2,  // not fetched: only length and status
};

class ORV_API OrvOleDbCommand : public OrvOleDbErrorInfo {
public:
    enum dbStatus : int {
        dbFalse = 0,  // no row was fetched, or a test's answer is no
        dbTrue = 1,  // success
        dbError = 2,  // not executed, no result set, bad column number, provider failure
        dbNull = 3,  // the value is NULL (GetBlobData with a buffer)
        dbTruncated = 4,  // the caller's buffer is full and the value is longer
    };

    OrvOleDbCommand();
    // Closes the result set (this class's Close, never an override) but not the connection.
    ~OrvOleDbCommand();

    // ---- Execution

    // Takes the connection for the next Execute; an open result set stays open.
    virtual void SetConnection(OrvOleDbConnection* connection);
    virtual void SetCommandText(const CString& text);
    // Closes the current result set, then sends the text. dbTrue: executed, no row held yet.
    // dbError without touching the error text when there is no connected connection or no
    // text; dbError with the provider's text and the statement when the provider failed.
    virtual dbStatus Execute();
    // Asks the provider to stop the statement that Execute or a Fetch runs on another
    // thread (ICommand::Cancel): that call then fails with the provider's text. Any thread
    // may call it at any time; false when the provider refused, true otherwise (also when
    // nothing was running). Not virtual: the interface's virtual operations stay as they are.
    bool Cancel();

    // ---- Column metadata (never calls the provider)

    // Data columns of the result (bookmark excluded); kept after Close; 0 before Execute.
    virtual unsigned __int64 GetColumnCount();
    // The count the provider reported for the last Execute, or -1 when it had none.
    virtual __int64 GetRowsAffected();

    // ---- Cursor. At most one row is held; moving releases what it held first.

    // After Execute: the first row whatever `skip` is. Otherwise skips `skip` rows forward
    // and holds the next. Past the last row: dbFalse, and dbFalse at once without asking
    // the provider until FetchPrev, FetchFirst or FetchLast moves back.
    virtual dbStatus FetchNext(int skip);
    virtual dbStatus FetchNext();
    // The row before the held one. Right after Execute, or on the first row: dbFalse, and
    // the next FetchNext starts again at the first row.
    virtual dbStatus FetchPrev();
    // Work whatever the previous moves found; dbFalse only for an empty result.
    virtual dbStatus FetchFirst();
    virtual dbStatus FetchLast();

    // ---- Fields of the held row. Text and numbers are returned by value; the empty text
    // or 0 when the command is not open, the column is out of range, the value is NULL or
    // cannot be converted. Ask IsNull to tell NULL from empty.

    virtual CString FieldAsString(unsigned __int64 col);
    // FieldAsString without trailing white space.
    virtual CString FieldAsStringEx(unsigned __int64 col);
    virtual LONG FieldAsLong(unsigned __int64 col);

    virtual dbStatus IsBlob(unsigned __int64 col);
    // Before the first fetch every value reads as not NULL.
    virtual dbStatus IsNull(unsigned __int64 col);
    virtual dbStatus IsNumeric(unsigned __int64 col);
    virtual dbStatus IsIntegral(unsigned __int64 col);
    // The type as bound: large columns show DBTYPE_IUNKNOWN or their type with DBTYPE_BYREF.
    virtual unsigned short GetRawType(unsigned __int64 col);
    virtual CString GetColumnName(unsigned __int64 col);
    // The first column whose name equals `name` ignoring case; 0 when none does.
    virtual unsigned __int64 GetColumnIndex(const CString& name);
    // The byte length of the held value, as the provider reported it at the last fetch.
    virtual unsigned __int64 GetColumnSize(unsigned __int64 col);

    virtual bool HasResults();

    // ---- Large values of the held row (bound as storage objects or by reference)

    // Copies the value from the current read position to its end into a new malloc block
    // stored in `data` (which should be empty); returns the number of bytes, 0 when none.
    virtual ULONG GetBlobData(unsigned __int64 col, CHeapPtr<unsigned char>& data);
    // Copies at most `maxLength` bytes into `buffer`. A storage object is read once per call
    // and continues where the previous call on the same row stopped (dbTrue for every
    // successful read); a by-reference value gives dbTrue when it fitted, dbTruncated when
    // not. No terminator is written.
    virtual dbStatus GetBlobData(unsigned __int64 col, void* buffer, ULONG maxLength);

    // ---- State

    // Ends the result set; the connection, the text and the last counts stay.
    virtual void Close();
    virtual bool IsConnected() const;
    virtual OrvOleDbConnection* GetConnection() const;
    // Takes effect at the next Execute; refused (false) while a result set is open.
    virtual bool SetBlobHandling(DBBLOBHANDLINGENUM mode);

    // ---- Typed fields of the held row, beyond the interface. Not virtual, so that the
    // virtual table of the class and of the classes derived from it stays as it was.
    // The value as a 64-bit integer, fractions cut toward zero; 0 for NULL, a value out of
    // range and a value that is no number.
    LONGLONG FieldAsInt64(unsigned __int64 col);
    // The value as a double (dates as OLE Automation dates); 0.0 likewise.
    double FieldAsDouble(unsigned __int64 col);
    // The value in its own type: VT_I2 (also I1), VT_I4 (also UI2), VT_I8 (also UI4, UI8),
    // VT_UI1, VT_R4, VT_R8, VT_CY, VT_DECIMAL (DECIMAL, NUMERIC), VT_DATE (every date
    // type), VT_BOOL, VT_BSTR (text, also large text, and GUIDs as "{...}"),
    // VT_ARRAY | VT_UI1 (bytes, also large ones), VT_NULL for NULL, VT_EMPTY for a value
    // that cannot be read (an error status, a number too wide for a DECIMAL). `value` is
    // overwritten without being cleared first; the caller clears it with VariantClear.
    // False when the command is not open or the column is out of range.
    bool FieldAsVariant(unsigned __int64 col, VARIANT& value);

protected:
    OrvOleDbConnection* m_connection;
    std::unique_ptr<orv::command::CommandState> m_command;
    CString m_commandText;
    bool m_beforeFirst;
    bool m_open;
    bool m_afterLast;
    DBROWCOUNT m_rowsAffected;
    unsigned __int64 m_columnCount;
    DBBLOBHANDLINGENUM m_blobHandling;

private:
    OrvOleDbCommand(const OrvOleDbCommand&);
    OrvOleDbCommand& operator=(const OrvOleDbCommand&);

    // After a first-row move that could not deliver a storage object: executes again
    // binding large values by reference and moves to the first row of the new result.
    HRESULT RetryBlobHandling(HRESULT hr);
    // The command is open and `col` names a data column.
    bool ColumnInRange(unsigned __int64 col);
};
