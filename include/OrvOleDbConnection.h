// OrvOleDbConnection: one connection to a database file, a workbook or a folder of text
// files, through the OLE DB provider that its initialisation string names; and the
// operations on whole database files (create, compact, convert a genuine Access file).
//
// The connection owns one reference on its data source, its session and (once asked for)
// the conversion object, and owns its initialisation string. Commands, recordsets and
// catalogs borrow its session; the pointer returned by GetIDataConvert is lent and stays
// valid until the connection is destroyed. A connection has no lock: one thread at a time
// uses it, and COM must be initialised on that thread.
#pragma once

#include "OrvOleDbErrorInfo.h"
#include "platform/consumer.h"

class ORV_API OrvOleDbConnection : public OrvOleDbErrorInfo {
public:
    OrvOleDbConnection();
    ~OrvOleDbConnection();

    // Drops what is held, then opens data source and session from `init`. S_OK on
    // success; E_FAIL when the data source could not be opened (the error text says why);
    // the session's own code when only the session failed (the data source stays held).
    HRESULT OpenFromInitializationString(const CComBSTR& init, bool prompt);
    // Releases the data source, then the session; keeps the initialisation string.
    void Close();

    // Data source and session held and the provider does not say otherwise.
    bool IsConnected() const;
    // True when the provider reports the data source read-only, or cannot be asked.
    bool IsReadOnly();
    // `init` equals the string of the last successful open, ignoring case.
    bool SameInit(const CComBSTR& init) const;
    const CComBSTR& GetInit() const;
    CSession& GetSession();
    // The provider's data source name (for a file: its path); false when empty.
    bool GetDatasource(CString& name);
    // The provider's current catalog; false when empty.
    bool GetCurrentCatalog(CString& catalog);
    // The conversion object, created on the first call; null when it cannot be created.
    IDataConvert* GetIDataConvert();

    // A local transaction on the session (read-committed; a second start nests). Commit and
    // Rollback end the innermost level. Each is true when the provider returned S_OK;
    // otherwise the error text says why (also on a connection that is not open).
    bool StartTransaction();
    bool Commit();
    bool Rollback();

    // Creates an empty database file at `path` with the provider and properties `init`
    // names (its data source is ignored); an existing file is never overwritten. The
    // provider's error text goes to `error`, or is discarded by the second form.
    static HRESULT CreateMdbFile(const CComBSTR& init, const CComBSTR& path, OrvOleDbErrorInfo& error);
    static HRESULT CreateMdbFile(const CComBSTR& init, const CComBSTR& path);
    // Compacts the connection's database file in place: a compacted copy is written beside
    // it (the path up to its last "." followed by "_TMP_.mdb") and moved over the file. The
    // connection is closed afterwards, whatever the outcome; reopen it with GetInit(). A
    // provider that keeps no database files (a server) is refused before anything closes.
    // Throws COleException(E_INVALIDARG) when the connection was never opened.
    HRESULT CompactMdb();

    // Told how many rows ConvertMdbFile has copied and checked of how many (the total is an
    // estimate until the end); returning false stops the conversion. `context` is the
    // caller's, passed through.
    typedef bool (*ConvertProgress)(ULONGLONG done, ULONGLONG total, void* context);
    // Converts the genuine Access database `source` (a Jet or ACE .mdb/.accdb file, which
    // the provider only reads) into a new database file at `destination`, which must not
    // exist: every user table with its column types, primary key, indexes, auto-increment
    // column and rows. The copy is compared with the source row by row before it takes its
    // name, so the file appears complete and checked, or not at all. The provider's error
    // text goes to `error`. Any thread with COM initialised; `progress` runs on it.
    static HRESULT ConvertMdbFile(const CComBSTR& source, const CComBSTR& destination, OrvOleDbErrorInfo& error,
                                  ConvertProgress progress = nullptr, void* context = nullptr);

private:
    OrvOleDbConnection(const OrvOleDbConnection&);
    OrvOleDbConnection& operator=(const OrvOleDbConnection&);

    HRESULT ReadProperty(const GUID& set, DBPROPID id, VARIANT* value) const;
    bool ReadTextProperty(const GUID& set, DBPROPID id, CString& out);
    HRESULT OpenDataSource(const CComBSTR& init, bool prompt);
    bool TransactionCall(HRESULT (*call)(IOpenRowset* session));

    CDataSource m_dataSource;
    CSession m_session;
    IDataConvert* m_dataConvert;
    CComBSTR m_init;
};
