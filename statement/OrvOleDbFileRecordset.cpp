// File recordsets: an initialisation string made from a file name and its kind.
#include "OrvOleDbHelper.h"
#include "OrvOleDbRecordset.h"

OrvOleDbFileRecordset::OrvOleDbFileRecordset(FileType type) : OrvOleDbRecordset(ctCached), m_fileType(type) {}

OrvOleDbFileRecordset::OrvOleDbFileRecordset(ConnectType connectType, FileType type)
    : OrvOleDbRecordset(connectType), m_fileType(type) {}

OrvOleDbFileRecordset::~OrvOleDbFileRecordset() = default;

void OrvOleDbFileRecordset::SetFileType(FileType type) {
    if (IsConnected()) Close();
    m_fileType = type;
}

bool OrvOleDbFileRecordset::Open(const WCHAR* file, const WCHAR* userId, const WCHAR* password,
                                 const WCHAR* moreProperties, bool prompt) {
    CString dataSource(file);
    const WCHAR* properties = nullptr;
    switch (m_fileType) {
    case ftMdb: properties = MdbEngineType; break;
    case ftExcel: properties = ExcelProperties; break;
    case ftCsv: properties = TextProperties; break;
    case ftExcelReadOnly: properties = ExcelReadOnlyProperties; break;
    default: return false;
    }
    if (m_fileType == ftCsv) {
        // A text file is a table of its folder: "C:\data\x.csv" opens "C:\data". A name
        // with forward slashes is left whole; the provider opens a file's folder itself.
        const int dot = dataSource.ReverseFind(u'.');
        if (dot >= 0 && dot + 4 == dataSource.GetLength() && dataSource.Mid(dot + 1).CompareNoCase(u"CSV") == 0) {
            const int slash = dataSource.ReverseFind(u'\\');
            if (slash >= 0) dataSource = dataSource.Left(slash);
        }
    }
    CComBSTR init;
    if (!OrvOleDbHelper::FormatConnectString(init, dataSource.GetString(), userId, password, ProviderName, properties,
                                             moreProperties))
        return false;
    return OrvOleDbRecordset::Open(init, prompt);
}
