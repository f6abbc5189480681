// OrvOleDbRecordset: a command that manages its own connection and selects or counts the
// rows of one table (a database table, a worksheet or a text file, in the provider's own
// syntax for its name).
//
// Where the connection comes from is fixed at construction:
//   ctCached   Open takes an idle connection from the process-wide connection cache (or
//              opens one through it); Close hands it back to the cache.
//   ctPrivate  Open opens a connection of the recordset's own; Close closes and destroys it.
//   ctExternal the host lends a connection with SetConnection; Close leaves it alone.
// The destructor closes. A ctCached recordset lives only while the library is loaded (the
// cache exists from load to unload). Rows are read with the inherited cursor and field
// operations. One thread at a time uses a recordset; the cache it draws from locks itself.
#pragma once

#include "OrvOleDbCommand.h"

class ORV_API OrvOleDbRecordset : public OrvOleDbCommand {
public:
    enum ConnectType : int {
        ctCached = 0,
        ctPrivate = 1,
        ctExternal = 2,
    };

    explicit OrvOleDbRecordset(ConnectType type = ctCached);

    // Only for ctExternal: takes the host's connection (a different one ends the current
    // result set first; null keeps the current connection).
    void SetConnection(OrvOleDbConnection* connection) override;
    // Ends the result set and gives up the connection as the connect type says.
    void Close() override;

    virtual ~OrvOleDbRecordset();
    // Closes, then gets a connection for `init` (ctCached, ctPrivate); true when the
    // recordset has a connection afterwards. On failure the error text says why.
    virtual bool Open(const CComBSTR& init, bool prompt);
    // SELECT columns FROM table [WHERE where] [ORDER BY orderBy]; blank texts (null, or only
    // white space and control characters) leave their clause out. True when it executed.
    virtual bool GetRecords(const WCHAR* table, const WCHAR* columns, const WCHAR* where, const WCHAR* orderBy);
    // SELECT COUNT(*) FROM table [WHERE where]; the host reads the count from its one row.
    virtual bool GetRecNum(const WCHAR* table, const WCHAR* where);
    // Both with wchar_t text (L"...") among the texts: converted, then the members above
    // (or their overrides).
    template <class... Text>
    requires orv::platform::CallWithUtf32Text<Text...>
    bool GetRecords(const Text&... text) { return GetRecords(orv::platform::Utf16Text(text)...); }
    template <class... Text>
    requires orv::platform::CallWithUtf32Text<Text...>
    bool GetRecNum(const Text&... text) { return GetRecNum(orv::platform::Utf16Text(text)...); }

protected:
    ConnectType m_connectType;

private:
    OrvOleDbRecordset(const OrvOleDbRecordset&);
    OrvOleDbRecordset& operator=(const OrvOleDbRecordset&);

    bool CanQuery(const WCHAR* table) const;
    void ReleaseConnection();
};

// OrvOleDbFileRecordset: a recordset opened from a file name and the kind of file instead
// of an initialisation string: it builds the string for the provider (a database file, a
// workbook read/write or read-only, or a delimited text file, whose folder is opened when
// the name ends in ".csv" after a backslash) and opens like any recordset. Ownership and
// threads as for OrvOleDbRecordset.
class ORV_API OrvOleDbFileRecordset : public OrvOleDbRecordset {
public:
    enum FileType : int {
        ftMdb = 0,
        ftExcel = 1,
        ftCsv = 2,
        ftExcelReadOnly = 3,
    };

    explicit OrvOleDbFileRecordset(FileType type = ftMdb);
    OrvOleDbFileRecordset(ConnectType connectType, FileType type);
    virtual ~OrvOleDbFileRecordset();

    // Closes a connected recordset first, then keeps the kind of file for the next Open.
    void SetFileType(FileType type);
    // Builds the initialisation string for `file` and opens it (the recordset's Open);
    // `moreProperties` follows the file type's properties unchanged, so it starts with ";".
    bool Open(const WCHAR* file, const WCHAR* userId, const WCHAR* password, const WCHAR* moreProperties, bool prompt);
    // The same with wchar_t text (L"...") among the texts: converted, then the member above.
    template <class File, class UserId, class Password, class MoreProperties>
    requires orv::platform::CallWithUtf32Text<File, UserId, Password, MoreProperties>
    bool Open(const File& file, const UserId& userId, const Password& password, const MoreProperties& moreProperties,
              bool prompt) {
        return Open(orv::platform::Utf16Text(file), orv::platform::Utf16Text(userId),
                    orv::platform::Utf16Text(password), orv::platform::Utf16Text(moreProperties), prompt);
    }
    using OrvOleDbRecordset::Open;

protected:
    FileType m_fileType;

private:
    OrvOleDbFileRecordset(const OrvOleDbFileRecordset&);
    OrvOleDbFileRecordset& operator=(const OrvOleDbFileRecordset&);
};
