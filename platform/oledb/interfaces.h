// The interfaces of OLE DB objects: data sources, the service components, sessions,
// commands, rowsets, the conversion library and database compaction, with the literal,
// conversion and result values and the activation structures their methods take.
//
// An interface pointer handed out carries one reference. Arrays and strings returned
// through out-parameters are allocated with CoTaskMemAlloc and freed by the consumer.
#pragma once

#include "platform/com.h"
#include "platform/oledb/definitions.h"
#include "platform/oledb/errors.h"
#include "platform/oledb/properties.h"
#include "platform/oledb/types.h"
#include "platform/storage.h"
#include "platform/transact.h"

// ---- Literals, conversions, results ----------------------------------------------------------

enum DBLITERALENUM {
    DBLITERAL_INVALID = 0,
    DBLITERAL_BINARY_LITERAL = 1,
    DBLITERAL_CATALOG_NAME = 2,
    DBLITERAL_CATALOG_SEPARATOR = 3,
    DBLITERAL_CHAR_LITERAL = 4,
    DBLITERAL_COLUMN_ALIAS = 5,
    DBLITERAL_COLUMN_NAME = 6,
    DBLITERAL_CORRELATION_NAME = 7,
    DBLITERAL_CURSOR_NAME = 8,
    DBLITERAL_ESCAPE_PERCENT = 9,
    DBLITERAL_ESCAPE_UNDERSCORE = 10,
    DBLITERAL_INDEX_NAME = 11,
    DBLITERAL_LIKE_PERCENT = 12,
    DBLITERAL_LIKE_UNDERSCORE = 13,
    DBLITERAL_PROCEDURE_NAME = 14,
    DBLITERAL_QUOTE = 15,
    DBLITERAL_QUOTE_PREFIX = 15,
    DBLITERAL_SCHEMA_NAME = 16,
    DBLITERAL_TABLE_NAME = 17,
    DBLITERAL_TEXT_COMMAND = 18,
    DBLITERAL_USER_NAME = 19,
    DBLITERAL_VIEW_NAME = 20,
    DBLITERAL_CUBE_NAME = 21,
    DBLITERAL_DIMENSION_NAME = 22,
    DBLITERAL_HIERARCHY_NAME = 23,
    DBLITERAL_LEVEL_NAME = 24,
    DBLITERAL_MEMBER_NAME = 25,
    DBLITERAL_PROPERTY_NAME = 26,
    DBLITERAL_SCHEMA_SEPARATOR = 27,
    DBLITERAL_QUOTE_SUFFIX = 28,
    DBLITERAL_ESCAPE_PERCENT_SUFFIX = 29,
    DBLITERAL_ESCAPE_UNDERSCORE_SUFFIX = 30,
};

struct DBLITERALINFO {
    LPOLESTR pwszLiteralValue;
    LPOLESTR pwszInvalidChars;
    LPOLESTR pwszInvalidStartingChars;
    DBLITERAL lt;
    BOOL fSupported;
    ULONG cchMaxLen;
};
static_assert(sizeof(DBLITERALINFO) == 40 && offsetof(DBLITERALINFO, cchMaxLen) == 32);

enum DBCONVERTFLAGSENUM {
    DBCONVERTFLAGS_COLUMN = 0,
    DBCONVERTFLAGS_PARAMETER = 0x1,
    DBCONVERTFLAGS_ISLONG = 0x2,
    DBCONVERTFLAGS_ISFIXEDLENGTH = 0x4,
    DBCONVERTFLAGS_FROMVARIANT = 0x8,
};

enum DBDATACONVERTENUM {
    DBDATACONVERT_DEFAULT = 0,
    DBDATACONVERT_SETDATABEHAVIOR = 0x1,
    DBDATACONVERT_LENGTHFROMNTS = 0x2,
    DBDATACONVERT_DSTISFIXEDLENGTH = 0x4,
    DBDATACONVERT_DECIMALSCALE = 0x8,
};

enum DBRESULTFLAGENUM { DBRESULTFLAG_DEFAULT = 0, DBRESULTFLAG_ROWSET = 1, DBRESULTFLAG_ROW = 2 };

// ---- Remote-activation structures (IDataInitialize::CreateDBInstanceEx) ---------------------

struct COAUTHINFO;

struct COSERVERINFO {
    DWORD dwReserved1;
    LPWSTR pwszName;
    COAUTHINFO* pAuthInfo;
    DWORD dwReserved2;
};

struct MULTI_QI {
    const IID* pIID;
    IUnknown* pItf;
    HRESULT hr;
};

// ---- Data source interfaces -----------------------------------------------------------------

struct IDBInitialize : IUnknown {
    ORV_IID(0x0C733A8B, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE Initialize() = 0;
    virtual HRESULT STDMETHODCALLTYPE Uninitialize() = 0;

protected:
    ~IDBInitialize() = default;
};
inline constexpr IID IID_IDBInitialize = IDBInitialize::iid;

struct IDBProperties : IUnknown {
    ORV_IID(0x0C733A8A, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                                    ULONG* pcPropertySets, DBPROPSET** prgPropertySets) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                                      ULONG* pcPropertyInfoSets, DBPROPINFOSET** prgPropertyInfoSets,
                                                      OLECHAR** ppDescBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]) = 0;

protected:
    ~IDBProperties() = default;
};
inline constexpr IID IID_IDBProperties = IDBProperties::iid;

struct IDBCreateSession : IUnknown {
    ORV_IID(0x0C733A5D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE CreateSession(IUnknown* pUnkOuter, REFIID riid, IUnknown** ppDBSession) = 0;

protected:
    ~IDBCreateSession() = default;
};
inline constexpr IID IID_IDBCreateSession = IDBCreateSession::iid;

struct IDBDataSourceAdmin : IUnknown {
    ORV_IID(0x0C733A7A, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE CreateDataSource(ULONG cPropertySets, DBPROPSET rgPropertySets[],
                                                       IUnknown* pUnkOuter, REFIID riid, IUnknown** ppDBSession) = 0;
    virtual HRESULT STDMETHODCALLTYPE DestroyDataSource() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCreationProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                                            ULONG* pcPropertyInfoSets,
                                                            DBPROPINFOSET** prgPropertyInfoSets,
                                                            OLECHAR** ppDescBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE ModifyDataSource(ULONG cPropertySets, DBPROPSET rgPropertySets[]) = 0;

protected:
    ~IDBDataSourceAdmin() = default;
};
inline constexpr IID IID_IDBDataSourceAdmin = IDBDataSourceAdmin::iid;

struct IDBInfo : IUnknown {
    ORV_IID(0x0C733A89, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetKeywords(LPOLESTR* ppwszKeywords) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLiteralInfo(ULONG cLiterals, const DBLITERAL rgLiterals[],
                                                     ULONG* pcLiteralInfo, DBLITERALINFO** prgLiteralInfo,
                                                     OLECHAR** ppCharBuffer) = 0;

protected:
    ~IDBInfo() = default;
};
inline constexpr IID IID_IDBInfo = IDBInfo::iid;

// ---- Service components ---------------------------------------------------------------------

// Turns an initialisation string into a data source, finding the provider by name.
struct IDataInitialize : IUnknown {
    ORV_IID(0x2206CCB1, 0x19C1, 0x11D1, 0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29);
    virtual HRESULT STDMETHODCALLTYPE GetDataSource(IUnknown* pUnkOuter, DWORD dwClsCtx,
                                                    LPCOLESTR pwszInitializationString, REFIID riid,
                                                    IUnknown** ppDataSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInitializationString(IUnknown* pDataSource, boolean fIncludePassword,
                                                              LPOLESTR* ppwszInitString) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDBInstance(REFCLSID clsidProvider, IUnknown* pUnkOuter, DWORD dwClsCtx,
                                                       LPOLESTR pwszReserved, REFIID riid, IUnknown** ppDataSource) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDBInstanceEx(REFCLSID clsidProvider, IUnknown* pUnkOuter, DWORD dwClsCtx,
                                                         LPOLESTR pwszReserved, COSERVERINFO* pServerInfo, ULONG cmq,
                                                         MULTI_QI* rgmqResults) = 0;
    virtual HRESULT STDMETHODCALLTYPE LoadStringFromStorage(LPCOLESTR pwszFileName,
                                                            LPOLESTR* ppwszInitializationString) = 0;
    virtual HRESULT STDMETHODCALLTYPE WriteStringToStorage(LPCOLESTR pwszFileName, LPCOLESTR pwszInitializationString,
                                                           DWORD dwCreationDisposition) = 0;

protected:
    ~IDataInitialize() = default;
};
inline constexpr IID IID_IDataInitialize = IDataInitialize::iid;

inline constexpr CLSID CLSID_MSDAINITIALIZE = {
    0x2206CDB0, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}};
inline constexpr CLSID CLSID_DataLinks = {0x2206CDB2, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}};

// ---- Session interfaces ---------------------------------------------------------------------

struct IOpenRowset : IUnknown {
    ORV_IID(0x0C733A69, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE OpenRowset(IUnknown* pUnkOuter, DBID* pTableID, DBID* pIndexID, REFIID riid,
                                                 ULONG cPropertySets, DBPROPSET rgPropertySets[],
                                                 IUnknown** ppRowset) = 0;

protected:
    ~IOpenRowset() = default;
};
inline constexpr IID IID_IOpenRowset = IOpenRowset::iid;

struct ISessionProperties : IUnknown {
    ORV_IID(0x0C733A85, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                                    ULONG* pcPropertySets, DBPROPSET** prgPropertySets) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]) = 0;

protected:
    ~ISessionProperties() = default;
};
inline constexpr IID IID_ISessionProperties = ISessionProperties::iid;

struct IGetDataSource : IUnknown {
    ORV_IID(0x0C733A75, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetDataSource(REFIID riid, IUnknown** ppDataSource) = 0;

protected:
    ~IGetDataSource() = default;
};
inline constexpr IID IID_IGetDataSource = IGetDataSource::iid;

struct IDBCreateCommand : IUnknown {
    ORV_IID(0x0C733A1D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE CreateCommand(IUnknown* pUnkOuter, REFIID riid, IUnknown** ppCommand) = 0;

protected:
    ~IDBCreateCommand() = default;
};
inline constexpr IID IID_IDBCreateCommand = IDBCreateCommand::iid;

struct IDBSchemaRowset : IUnknown {
    ORV_IID(0x0C733A7B, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetRowset(IUnknown* pUnkOuter, REFGUID rguidSchema, ULONG cRestrictions,
                                                const VARIANT rgRestrictions[], REFIID riid, ULONG cPropertySets,
                                                DBPROPSET rgPropertySets[], IUnknown** ppRowset) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSchemas(ULONG* pcSchemas, GUID** prgSchemas,
                                                 ULONG** prgRestrictionSupport) = 0;

protected:
    ~IDBSchemaRowset() = default;
};
inline constexpr IID IID_IDBSchemaRowset = IDBSchemaRowset::iid;

struct ITableDefinition : IUnknown {
    ORV_IID(0x0C733A86, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE CreateTable(IUnknown* pUnkOuter, DBID* pTableID, DBORDINAL cColumnDescs,
                                                  const DBCOLUMNDESC rgColumnDescs[], REFIID riid, ULONG cPropertySets,
                                                  DBPROPSET rgPropertySets[], DBID** ppTableID,
                                                  IUnknown** ppRowset) = 0;
    virtual HRESULT STDMETHODCALLTYPE DropTable(DBID* pTableID) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddColumn(DBID* pTableID, DBCOLUMNDESC* pColumnDesc, DBID** ppColumnID) = 0;
    virtual HRESULT STDMETHODCALLTYPE DropColumn(DBID* pTableID, DBID* pColumnID) = 0;

protected:
    ~ITableDefinition() = default;
};
inline constexpr IID IID_ITableDefinition = ITableDefinition::iid;

struct ITableCreation : ITableDefinition {
    ORV_IID(0x0C733ABC, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    using BaseInterface = ITableDefinition;
    virtual HRESULT STDMETHODCALLTYPE GetTableDefinition(DBID* pTableID, DBORDINAL* pcColumnDescs,
                                                         DBCOLUMNDESC* prgColumnDescs[], ULONG* pcPropertySets,
                                                         DBPROPSET* prgPropertySets[], ULONG* pcConstraintDescs,
                                                         DBCONSTRAINTDESC* prgConstraintDescs[],
                                                         OLECHAR** ppwszStringBuffer) = 0;

protected:
    ~ITableCreation() = default;
};
inline constexpr IID IID_ITableCreation = ITableCreation::iid;

struct IIndexDefinition : IUnknown {
    ORV_IID(0x0C733A68, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE CreateIndex(DBID* pTableID, DBID* pIndexID, DBORDINAL cIndexColumnDescs,
                                                  const DBINDEXCOLUMNDESC rgIndexColumnDescs[], ULONG cPropertySets,
                                                  DBPROPSET rgPropertySets[], DBID** ppIndexID) = 0;
    virtual HRESULT STDMETHODCALLTYPE DropIndex(DBID* pTableID, DBID* pIndexID) = 0;

protected:
    ~IIndexDefinition() = default;
};
inline constexpr IID IID_IIndexDefinition = IIndexDefinition::iid;

// ---- Command interfaces ---------------------------------------------------------------------

struct ICommand : IUnknown {
    ORV_IID(0x0C733A63, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Execute(IUnknown* pUnkOuter, REFIID riid, DBPARAMS* pParams,
                                              DBROWCOUNT* pcRowsAffected, IUnknown** ppRowset) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDBSession(REFIID riid, IUnknown** ppSession) = 0;

protected:
    ~ICommand() = default;
};
inline constexpr IID IID_ICommand = ICommand::iid;

struct ICommandText : ICommand {
    ORV_IID(0x0C733A27, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    using BaseInterface = ICommand;
    virtual HRESULT STDMETHODCALLTYPE GetCommandText(GUID* pguidDialect, LPOLESTR* ppwszCommand) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCommandText(REFGUID rguidDialect, LPCOLESTR pwszCommand) = 0;

protected:
    ~ICommandText() = default;
};
inline constexpr IID IID_ICommandText = ICommandText::iid;

struct ICommandProperties : IUnknown {
    ORV_IID(0x0C733A79, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                                    ULONG* pcPropertySets, DBPROPSET** prgPropertySets) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetProperties(ULONG cPropertySets, DBPROPSET rgPropertySets[]) = 0;

protected:
    ~ICommandProperties() = default;
};
inline constexpr IID IID_ICommandProperties = ICommandProperties::iid;

struct ICommandPrepare : IUnknown {
    ORV_IID(0x0C733A26, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE Prepare(ULONG cExpectedRuns) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unprepare() = 0;

protected:
    ~ICommandPrepare() = default;
};
inline constexpr IID IID_ICommandPrepare = ICommandPrepare::iid;

struct ICommandWithParameters : IUnknown {
    ORV_IID(0x0C733A64, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetParameterInfo(DB_UPARAMS* pcParams, DBPARAMINFO** prgParamInfo,
                                                       OLECHAR** ppNamesBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE MapParameterNames(DB_UPARAMS cParamNames, const OLECHAR* rgParamNames[],
                                                        DB_LPARAMS rgParamOrdinals[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetParameterInfo(DB_UPARAMS cParams, const DB_UPARAMS rgParamOrdinals[],
                                                       const DBPARAMBINDINFO rgParamBindInfo[]) = 0;

protected:
    ~ICommandWithParameters() = default;
};
inline constexpr IID IID_ICommandWithParameters = ICommandWithParameters::iid;

struct IMultipleResults : IUnknown {
    ORV_IID(0x0C733A90, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetResult(IUnknown* pUnkOuter, DBRESULTFLAG lResultFlag, REFIID riid,
                                                DBROWCOUNT* pcRowsAffected, IUnknown** ppRowset) = 0;

protected:
    ~IMultipleResults() = default;
};
inline constexpr IID IID_IMultipleResults = IMultipleResults::iid;

struct IConvertType : IUnknown {
    ORV_IID(0x0C733A88, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE CanConvert(DBTYPE wFromType, DBTYPE wToType, DBCONVERTFLAGS dwConvertFlags) = 0;

protected:
    ~IConvertType() = default;
};
inline constexpr IID IID_IConvertType = IConvertType::iid;

// ---- Rowset interfaces ----------------------------------------------------------------------

struct IAccessor : IUnknown {
    ORV_IID(0x0C733A8C, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE AddRefAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAccessor(DBACCESSORFLAGS dwAccessorFlags, DBCOUNTITEM cBindings,
                                                     const DBBINDING rgBindings[], DBLENGTH cbRowSize,
                                                     HACCESSOR* phAccessor, DBBINDSTATUS rgStatus[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBindings(HACCESSOR hAccessor, DBACCESSORFLAGS* pdwAccessorFlags,
                                                  DBCOUNTITEM* pcBindings, DBBINDING** prgBindings) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseAccessor(HACCESSOR hAccessor, DBREFCOUNT* pcRefCount) = 0;

protected:
    ~IAccessor() = default;
};
inline constexpr IID IID_IAccessor = IAccessor::iid;

struct IColumnsInfo : IUnknown {
    ORV_IID(0x0C733A11, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetColumnInfo(DBORDINAL* pcColumns, DBCOLUMNINFO** prgInfo,
                                                    OLECHAR** ppStringsBuffer) = 0;
    virtual HRESULT STDMETHODCALLTYPE MapColumnIDs(DBORDINAL cColumnIDs, const DBID rgColumnIDs[],
                                                   DBORDINAL rgColumns[]) = 0;

protected:
    ~IColumnsInfo() = default;
};
inline constexpr IID IID_IColumnsInfo = IColumnsInfo::iid;

struct IRowset : IUnknown {
    ORV_IID(0x0C733A7C, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE AddRefRows(DBCOUNTITEM cRows, const HROW rghRows[], DBREFCOUNT rgRefCounts[],
                                                 DBROWSTATUS rgRowStatus[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetData(HROW hRow, HACCESSOR hAccessor, void* pData) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextRows(HCHAPTER hReserved, DBROWOFFSET lRowsOffset, DBROWCOUNT cRows,
                                                  DBCOUNTITEM* pcRowsObtained, HROW** prghRows) = 0;
    virtual HRESULT STDMETHODCALLTYPE ReleaseRows(DBCOUNTITEM cRows, const HROW rghRows[], DBROWOPTIONS rgRowOptions[],
                                                  DBREFCOUNT rgRefCounts[], DBROWSTATUS rgRowStatus[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE RestartPosition(HCHAPTER hReserved) = 0;

protected:
    ~IRowset() = default;
};
inline constexpr IID IID_IRowset = IRowset::iid;

struct IRowsetLocate : IRowset {
    ORV_IID(0x0C733A7D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    using BaseInterface = IRowset;
    virtual HRESULT STDMETHODCALLTYPE Compare(HCHAPTER hReserved, DBBKMARK cbBookmark1, const BYTE* pBookmark1,
                                              DBBKMARK cbBookmark2, const BYTE* pBookmark2, DBCOMPARE* pComparison) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRowsAt(HWATCHREGION hReserved1, HCHAPTER hReserved2, DBBKMARK cbBookmark,
                                                const BYTE* pBookmark, DBROWOFFSET lRowsOffset, DBROWCOUNT cRows,
                                                DBCOUNTITEM* pcRowsObtained, HROW** prghRows) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRowsByBookmark(HCHAPTER hReserved, DBCOUNTITEM cRows,
                                                        const DBBKMARK rgcbBookmarks[], const BYTE* rgpBookmarks[],
                                                        HROW rghRows[], DBROWSTATUS rgRowStatus[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE Hash(HCHAPTER hReserved, DBBKMARK cBookmarks, const DBBKMARK rgcbBookmarks[],
                                           const BYTE* rgpBookmarks[], DBHASHVALUE rgHashedValues[],
                                           DBROWSTATUS rgBookmarkStatus[]) = 0;

protected:
    ~IRowsetLocate() = default;
};
inline constexpr IID IID_IRowsetLocate = IRowsetLocate::iid;

struct IRowsetInfo : IUnknown {
    ORV_IID(0x0C733A55, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE GetProperties(ULONG cPropertyIDSets, const DBPROPIDSET rgPropertyIDSets[],
                                                    ULONG* pcPropertySets, DBPROPSET** prgPropertySets) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReferencedRowset(DBORDINAL iOrdinal, REFIID riid,
                                                          IUnknown** ppReferencedRowset) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSpecification(REFIID riid, IUnknown** ppSpecification) = 0;

protected:
    ~IRowsetInfo() = default;
};
inline constexpr IID IID_IRowsetInfo = IRowsetInfo::iid;

struct IRowsetChange : IUnknown {
    ORV_IID(0x0C733A05, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE DeleteRows(HCHAPTER hReserved, DBCOUNTITEM cRows, const HROW rghRows[],
                                                 DBROWSTATUS rgRowStatus[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetData(HROW hRow, HACCESSOR hAccessor, void* pData) = 0;
    virtual HRESULT STDMETHODCALLTYPE InsertRow(HCHAPTER hReserved, HACCESSOR hAccessor, void* pData, HROW* phRow) = 0;

protected:
    ~IRowsetChange() = default;
};
inline constexpr IID IID_IRowsetChange = IRowsetChange::iid;

struct IRowsetUpdate : IRowsetChange {
    ORV_IID(0x0C733A6D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    using BaseInterface = IRowsetChange;
    virtual HRESULT STDMETHODCALLTYPE GetOriginalData(HROW hRow, HACCESSOR hAccessor, void* pData) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPendingRows(HCHAPTER hReserved, DBPENDINGSTATUS dwRowStatus,
                                                     DBCOUNTITEM* pcPendingRows, HROW** prgPendingRows,
                                                     DBPENDINGSTATUS** prgPendingStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRowStatus(HCHAPTER hReserved, DBCOUNTITEM cRows, const HROW rghRows[],
                                                   DBPENDINGSTATUS rgPendingStatus[]) = 0;
    virtual HRESULT STDMETHODCALLTYPE Undo(HCHAPTER hReserved, DBCOUNTITEM cRows, const HROW rghRows[],
                                           DBCOUNTITEM* pcRowsUndone, HROW** prgRowsUndone,
                                           DBROWSTATUS** prgRowStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE Update(HCHAPTER hReserved, DBCOUNTITEM cRows, const HROW rghRows[],
                                             DBCOUNTITEM* pcRows, HROW** prgRows, DBROWSTATUS** prgRowStatus) = 0;

protected:
    ~IRowsetUpdate() = default;
};
inline constexpr IID IID_IRowsetUpdate = IRowsetUpdate::iid;

// ---- Conversion library ---------------------------------------------------------------------

struct IDataConvert : IUnknown {
    ORV_IID(0x0C733A8D, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE DataConvert(DBTYPE wSrcType, DBTYPE wDstType, DBLENGTH cbSrcLength,
                                                  DBLENGTH* pcbDstLength, void* pSrc, void* pDst,
                                                  DBLENGTH cbDstMaxLength, DBSTATUS dbsSrcStatus, DBSTATUS* pdbsStatus,
                                                  BYTE bPrecision, BYTE bScale, DBDATACONVERT dwFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE CanConvert(DBTYPE wSrcType, DBTYPE wDstType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConversionSize(DBTYPE wSrcType, DBTYPE wDstType, DBLENGTH* pcbSrcLength,
                                                        DBLENGTH* pcbDstLength, void* pSrc) = 0;

protected:
    ~IDataConvert() = default;
};
inline constexpr IID IID_IDataConvert = IDataConvert::iid;

inline constexpr CLSID CLSID_OLEDB_CONVERSIONLIBRARY = {
    0xC8B522D1, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

// ---- Database compaction ------------------------------------------------------------------

// The engine object that writes a compacted copy of a database file. The locales and
// options are VARIANTs so that callers may leave them empty (VT_ERROR, DISP_E_PARAMNOTFOUND).
struct _DBEngine : IUnknown {
    ORV_IID(0x00000021, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4);
    virtual HRESULT STDMETHODCALLTYPE CompactDatabase(BSTR srcName, BSTR dstName, VARIANT dstLocale, VARIANT options,
                                                      VARIANT srcLocale) = 0;

protected:
    ~_DBEngine() = default;
};
inline constexpr IID IID__DBEngine = _DBEngine::iid;

inline constexpr CLSID CLSID_DBEngine = {0xCD7791B9, 0x43FD, 0x42C5, {0xAE, 0x42, 0x8D, 0xD2, 0x81, 0x1F, 0x04, 0x19}};

// This platform's own extension of the database engine object: conversion of a genuine
// Access database (a Jet or ACE file, which the provider only reads) into a new database
// file of the provider's own format. The callback hears how many rows are done of how
// many; it runs on the calling thread, and a failure it returns stops the conversion.
struct IOrvProgress : IUnknown {
    ORV_IID(0x6F72760A, 0x0001, 0x4C0E, 0x9A, 0x51, 0x4D, 0x44, 0x42, 0x43, 0x4E, 0x56);
    virtual HRESULT STDMETHODCALLTYPE OnProgress(ULONGLONG done, ULONGLONG total) = 0;

protected:
    ~IOrvProgress() = default;
};
inline constexpr IID IID_IOrvProgress = IOrvProgress::iid;

struct IOrvConvertDatabase : IUnknown {
    ORV_IID(0x6F72760A, 0x0002, 0x4C0E, 0x9A, 0x51, 0x4D, 0x44, 0x42, 0x43, 0x4E, 0x56);
    // Writes `dstName`, which must not exist; `progress` may be null.
    virtual HRESULT STDMETHODCALLTYPE ConvertDatabase(BSTR srcName, BSTR dstName, IOrvProgress* progress) = 0;

protected:
    ~IOrvConvertDatabase() = default;
};
inline constexpr IID IID_IOrvConvertDatabase = IOrvConvertDatabase::iid;

// Identities that QueryInterface and class creation depend on, as Windows numbers them.
static_assert(IID_IDBInitialize.Data1 == 0x0C733A8Bu && IID_IRowset.Data1 == 0x0C733A7Cu &&
              IID_IAccessor.Data1 == 0x0C733A8Cu && IID_ICommandText.Data1 == 0x0C733A27u &&
              IID_ITableCreation.Data1 == 0x0C733ABCu && IID_ISequentialStream.Data1 == 0x0C733A30u);
static_assert(IID_IStream == IID{0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}});
static_assert(IID_IDataInitialize == IID{0x2206CCB1, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}});
static_assert(CLSID_MSDAINITIALIZE ==
              CLSID{0x2206CDB0, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}});
static_assert(IID__DBEngine == IID{0x00000021, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}});
