// The OLE DB declarations: structure layouts that must match 64-bit Windows, values that
// are easy to get wrong, and interface identities that QueryInterface depends on.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "platform/com_object.h"
#include "platform/oledb.h"
#include "platform/storage.h"
#include "platform/transact.h"

namespace {

// ---- Layouts ------------------------------------------------------------------------------

TEST(OleDbLayout, CountsAndHandlesHaveWin64Widths) {
    EXPECT_EQ(sizeof(DBLENGTH), 8u);
    EXPECT_EQ(sizeof(DBORDINAL), 8u);
    EXPECT_EQ(sizeof(DBCOUNTITEM), 8u);
    EXPECT_EQ(sizeof(DBBYTEOFFSET), 8u);
    EXPECT_EQ(sizeof(HROW), 8u);
    EXPECT_EQ(sizeof(HACCESSOR), 8u);
    EXPECT_EQ(sizeof(HCHAPTER), 8u);
    EXPECT_EQ(sizeof(DBRESULTFLAG), 8u);
    EXPECT_TRUE(std::is_signed_v<DBROWOFFSET>);
    EXPECT_TRUE(std::is_signed_v<DBROWCOUNT>);
    EXPECT_EQ(sizeof(DBROWCOUNT), 8u);
    // Reference counts stay 32-bit on 64-bit Windows.
    EXPECT_EQ(sizeof(DBREFCOUNT), 4u);
    EXPECT_EQ(sizeof(DBTYPE), 2u);
    EXPECT_EQ(sizeof(DBSTATUS), 4u);
    EXPECT_EQ(sizeof(ISOLEVEL), 4u);
}

TEST(OleDbLayout, FixedValueStructuresArePacked) {
    EXPECT_EQ(sizeof(DB_NUMERIC), 19u);
    EXPECT_EQ(offsetof(DB_NUMERIC, val), 3u);
    EXPECT_EQ(sizeof(DBDATE), 6u);
    EXPECT_EQ(sizeof(DBTIME), 6u);
    EXPECT_EQ(sizeof(DBTIMESTAMP), 16u);
    EXPECT_EQ(offsetof(DBTIMESTAMP, fraction), 12u);
    EXPECT_EQ(sizeof(DB_VARNUMERIC), 4u);
}

TEST(OleDbLayout, DbidUnionsSitWhereWindowsPutsThem) {
    EXPECT_EQ(sizeof(DBID), 32u);
    EXPECT_EQ(offsetof(DBID, eKind), 16u);
    EXPECT_EQ(offsetof(DBID, uName), 24u);
}

TEST(OleDbLayout, BindingAndColumnStructures) {
    EXPECT_EQ(sizeof(DBBINDING), 88u);
    EXPECT_EQ(offsetof(DBBINDING, obValue), 8u);
    EXPECT_EQ(offsetof(DBBINDING, obLength), 16u);
    EXPECT_EQ(offsetof(DBBINDING, obStatus), 24u);
    EXPECT_EQ(offsetof(DBBINDING, dwPart), 56u);
    EXPECT_EQ(offsetof(DBBINDING, eParamIO), 64u);
    EXPECT_EQ(offsetof(DBBINDING, cbMaxLen), 72u);
    EXPECT_EQ(offsetof(DBBINDING, wType), 84u);
    EXPECT_EQ(offsetof(DBBINDING, bScale), 87u);

    EXPECT_EQ(sizeof(DBCOLUMNINFO), 80u);
    EXPECT_EQ(offsetof(DBCOLUMNINFO, iOrdinal), 16u);
    EXPECT_EQ(offsetof(DBCOLUMNINFO, ulColumnSize), 32u);
    EXPECT_EQ(offsetof(DBCOLUMNINFO, wType), 40u);
    EXPECT_EQ(offsetof(DBCOLUMNINFO, columnid), 48u);

    EXPECT_EQ(sizeof(DBCOLUMNDESC), 88u);
    EXPECT_EQ(offsetof(DBCOLUMNDESC, cPropertySets), 32u);
    EXPECT_EQ(offsetof(DBCOLUMNDESC, dbcid), 48u);
    EXPECT_EQ(offsetof(DBCOLUMNDESC, wType), 80u);

    EXPECT_EQ(sizeof(DBPARAMS), 24u);
    EXPECT_EQ(sizeof(DBPARAMINFO), 48u);
    EXPECT_EQ(sizeof(DBOBJECT), 20u);
    EXPECT_EQ(sizeof(DBLITERALINFO), 40u);
    EXPECT_EQ(offsetof(DBLITERALINFO, cchMaxLen), 32u);
}

TEST(OleDbLayout, PropertyStructures) {
    EXPECT_EQ(offsetof(DBPROP, colid), 16u);
    EXPECT_EQ(offsetof(DBPROP, vValue), 48u);
    EXPECT_EQ(sizeof(DBPROP), 48u + sizeof(VARIANT));
    EXPECT_EQ(sizeof(DBPROPSET), 32u);
    EXPECT_EQ(offsetof(DBPROPSET, cProperties), 8u);
    EXPECT_EQ(offsetof(DBPROPSET, guidPropertySet), 12u);
    EXPECT_EQ(sizeof(DBPROPIDSET), 32u);
    EXPECT_EQ(offsetof(DBPROPIDSET, guidPropertySet), 12u);
    EXPECT_EQ(offsetof(DBPROPINFO, vtType), 16u);
    EXPECT_EQ(offsetof(DBPROPINFO, vValues), 24u);
}

TEST(OleDbLayout, StorageAndTransactionStructures) {
    EXPECT_EQ(sizeof(STATSTG), 80u);
    EXPECT_EQ(offsetof(STATSTG, cbSize), 16u);
    EXPECT_EQ(offsetof(STATSTG, grfMode), 48u);
    EXPECT_EQ(offsetof(STATSTG, clsid), 56u);
    EXPECT_EQ(sizeof(XACTTRANSINFO), 40u);
    EXPECT_EQ(sizeof(XACTOPT), 44u);
}

// ---- Values -----------------------------------------------------------------------------

TEST(OleDbValues, TypeAndStatusCodes) {
    EXPECT_EQ(DBTYPE_FILETIME, 64);
    EXPECT_EQ(DBTYPE_GUID, 72);
    EXPECT_EQ(DBTYPE_WSTR, 130);
    EXPECT_EQ(DBTYPE_DBTIMESTAMP, 135);
    EXPECT_EQ(DBTYPE_HCHAPTER, 136);
    EXPECT_EQ(DBTYPE_VARNUMERIC, 139);
    EXPECT_EQ(DBTYPE_BYREF | DBTYPE_WSTR, 0x4082);
    EXPECT_EQ(DBSTATUS_S_ISNULL, 3);
    EXPECT_EQ(DBSTATUS_S_DEFAULT, 13);
    EXPECT_EQ(DBSTATUS_S_IGNORE, 15);
    EXPECT_EQ(DBSTATUS_E_DOESNOTEXIST, 16);
    EXPECT_EQ(DBCOLUMNFLAGS_ISLONG, 0x80);
    EXPECT_EQ(DBCOLUMNFLAGS_CACHEDEFERRED, 0x1000);
    EXPECT_EQ(DBKIND_GUID, 6);
    EXPECT_EQ(DBACCESSOR_INHERITED, 0x10);
}

TEST(OleDbValues, PropertyIdsAndPropertyValues) {
    EXPECT_EQ(DBPROP_INIT_DATASOURCE, 0x3B);
    EXPECT_EQ(DBPROP_INIT_PROMPT, 0x40);
    EXPECT_EQ(DBPROP_INIT_LCID, 0xBA);
    EXPECT_EQ(DBPROP_INIT_PROVIDERSTRING, 0xA0);
    EXPECT_EQ(DBPROP_INIT_OLEDBSERVICES, 0xF8);
    EXPECT_EQ(DBPROP_INIT_GENERALTIMEOUT, 0x11C);
    EXPECT_EQ(DBPROP_CONNECTIONSTATUS, 0xF4);
    EXPECT_EQ(DBPROP_DATASOURCEREADONLY, 0x27);
    EXPECT_EQ(DBPROP_COL_AUTOINCREMENT, 0x1A);
    EXPECT_EQ(DBPROP_COL_FIXEDLENGTH, 0xA7);
    EXPECT_EQ(DBPROP_COL_ISLONG, 0x119);
    EXPECT_EQ(DBPROP_IRowsetUpdate, 0x86);
    EXPECT_EQ(DBPROP_SESS_AUTOCOMMITISOLEVELS, 0xBE);
    EXPECT_EQ(DBPROPOPTIONS_OPTIONAL, DBPROPOPTIONS_SETIFCHEAP);
    EXPECT_EQ(DBPROPSTATUS_NOTAVAILABLE, 9);
    EXPECT_EQ(DB_MODE_SHARE_EXCLUSIVE, DB_MODE_SHARE_DENY_READ | DB_MODE_SHARE_DENY_WRITE);
    EXPECT_EQ(DBPROPVAL_TI_READCOMMITTED, ISOLATIONLEVEL_READCOMMITTED);
    EXPECT_EQ(DBPROPVAL_TI_SERIALIZABLE, ISOLATIONLEVEL_SERIALIZABLE);
    // Set as the VT_I4 value of DBPROP_INIT_OLEDBSERVICES, "all services" reads back as -1.
    VARIANT v;
    v.lVal = DBPROPVAL_OS_ENABLEALL;
    EXPECT_EQ(static_cast<DWORD>(v.lVal), 0xFFFFFFFFu);
}

TEST(OleDbValues, ResultCodesAreOleDbFacilityCodes) {
    EXPECT_EQ(DB_S_ENDOFROWSET, 0x00040EC6);
    EXPECT_EQ(DB_S_ERRORSOCCURRED, 0x00040EDA);
    EXPECT_EQ(static_cast<DWORD>(DB_E_ERRORSOCCURRED), 0x80040E21u);
    EXPECT_EQ(static_cast<DWORD>(DB_E_NOTABLE), 0x80040E37u);
    EXPECT_EQ(static_cast<DWORD>(DB_E_ALREADYINITIALIZED), 0x80040E52u);
    EXPECT_EQ(static_cast<DWORD>(XACT_E_NOTRANSACTION), 0x8004D00Eu);
    EXPECT_TRUE(SUCCEEDED(DB_S_ENDOFROWSET));
    EXPECT_TRUE(FAILED(DB_E_BADACCESSORHANDLE));
    EXPECT_TRUE(FAILED(XACT_E_NOTRANSACTION));
}

TEST(OleDbValues, IsolationAndStreamConstants) {
    EXPECT_EQ(ISOLATIONLEVEL_UNSPECIFIED, -1);
    EXPECT_EQ(ISOLATIONLEVEL_CURSORSTABILITY, ISOLATIONLEVEL_READCOMMITTED);
    EXPECT_EQ(XACTTC_SYNC, XACTTC_SYNC_PHASETWO);
    EXPECT_EQ(STGM_SHARE_DENY_NONE, 0x40);
    EXPECT_EQ(STGM_SHARE_EXCLUSIVE, 0x10);
    EXPECT_EQ(STREAM_SEEK_END, 2);
    EXPECT_EQ(STATFLAG_NONAME, 1);
}

TEST(OleDbValues, NullIdNamesNothing) {
    EXPECT_EQ(DB_NULLID.uGuid.guid, GUID_NULL);
    EXPECT_EQ(DB_NULLID.eKind, static_cast<DBKIND>(DBKIND_GUID_NAME));
    EXPECT_EQ(DB_NULLID.uName.pwszName, nullptr);
}

TEST(OleDbValues, Guids) {
    constexpr GUID dbinit = {0xC8B522BC, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
    EXPECT_EQ(DBPROPSET_DBINIT, dbinit);
    constexpr GUID tables = {0xC8B52229, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
    EXPECT_EQ(DBSCHEMA_TABLES, tables);
    EXPECT_EQ(DBSCHEMA_PRIMARY_KEYS.Data1, 0xC8B522C5u);
    EXPECT_EQ(DBSCHEMA_FOREIGN_KEYS.Data1, 0xC8B522C4u);
    EXPECT_EQ(DBPROPSET_PROPERTIESINERROR.Data1, 0xC8B522D4u);
    // The default dialect is the provider's SQL; DBGUID_SQL is the ANSI dialect.
    EXPECT_EQ(DBGUID_DEFAULT, DBGUID_DBSQL);
    EXPECT_NE(DBGUID_DEFAULT, DBGUID_SQL);

    constexpr CLSID initialize = {0x2206CDB0, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}};
    EXPECT_EQ(CLSID_MSDAINITIALIZE, initialize);
    constexpr CLSID engine = {0xCD7791B9, 0x43FD, 0x42C5, {0xAE, 0x42, 0x8D, 0xD2, 0x81, 0x1F, 0x04, 0x19}};
    EXPECT_EQ(CLSID_DBEngine, engine);
    constexpr IID dbEngine = {0x00000021, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
    EXPECT_EQ(IID__DBEngine, dbEngine);
    constexpr IID transaction = {0x0FB15084, 0xAF41, 0x11CE, {0xBD, 0x2B, 0x20, 0x4C, 0x4F, 0x4F, 0x50, 0x20}};
    EXPECT_EQ(IID_ITransaction, transaction);
}

// ---- Interface identities ---------------------------------------------------------------

TEST(OleDbInterfaces, IidGlobalsMatchTheInterfaces) {
    EXPECT_EQ(IID_IDBInitialize, IDBInitialize::iid);
    EXPECT_EQ(IID_IDBProperties, IDBProperties::iid);
    EXPECT_EQ(IID_IDBCreateSession, IDBCreateSession::iid);
    EXPECT_EQ(IID_IDBDataSourceAdmin, IDBDataSourceAdmin::iid);
    EXPECT_EQ(IID_IDBInfo, IDBInfo::iid);
    EXPECT_EQ(IID_IDataInitialize, IDataInitialize::iid);
    EXPECT_EQ(IID_IOpenRowset, IOpenRowset::iid);
    EXPECT_EQ(IID_ISessionProperties, ISessionProperties::iid);
    EXPECT_EQ(IID_IGetDataSource, IGetDataSource::iid);
    EXPECT_EQ(IID_IDBCreateCommand, IDBCreateCommand::iid);
    EXPECT_EQ(IID_ICommand, ICommand::iid);
    EXPECT_EQ(IID_ICommandText, ICommandText::iid);
    EXPECT_EQ(IID_ICommandProperties, ICommandProperties::iid);
    EXPECT_EQ(IID_ICommandPrepare, ICommandPrepare::iid);
    EXPECT_EQ(IID_ICommandWithParameters, ICommandWithParameters::iid);
    EXPECT_EQ(IID_IRowset, IRowset::iid);
    EXPECT_EQ(IID_IRowsetLocate, IRowsetLocate::iid);
    EXPECT_EQ(IID_IRowsetInfo, IRowsetInfo::iid);
    EXPECT_EQ(IID_IRowsetChange, IRowsetChange::iid);
    EXPECT_EQ(IID_IRowsetUpdate, IRowsetUpdate::iid);
    EXPECT_EQ(IID_IAccessor, IAccessor::iid);
    EXPECT_EQ(IID_IColumnsInfo, IColumnsInfo::iid);
    EXPECT_EQ(IID_IConvertType, IConvertType::iid);
    EXPECT_EQ(IID_IDBSchemaRowset, IDBSchemaRowset::iid);
    EXPECT_EQ(IID_ITableDefinition, ITableDefinition::iid);
    EXPECT_EQ(IID_ITableCreation, ITableCreation::iid);
    EXPECT_EQ(IID_IIndexDefinition, IIndexDefinition::iid);
    EXPECT_EQ(IID_IMultipleResults, IMultipleResults::iid);
    EXPECT_EQ(IID_ISupportErrorInfo, ISupportErrorInfo::iid);
    EXPECT_EQ(IID_IDataConvert, IDataConvert::iid);
    EXPECT_EQ(IID__DBEngine, _DBEngine::iid);
    EXPECT_EQ(IID_ITransaction, ITransaction::iid);
    EXPECT_EQ(IID_ITransactionLocal, ITransactionLocal::iid);
    EXPECT_EQ(IID_ITransactionOptions, ITransactionOptions::iid);
    EXPECT_EQ(IID_ISequentialStream, ISequentialStream::iid);
    EXPECT_EQ(IID_IStream, IStream::iid);
}

TEST(OleDbInterfaces, SpotCheckedIids) {
    EXPECT_EQ(IID_IDBInitialize.Data1, 0x0C733A8Bu);
    EXPECT_EQ(IID_IRowset.Data1, 0x0C733A7Cu);
    EXPECT_EQ(IID_IAccessor.Data1, 0x0C733A8Cu);
    EXPECT_EQ(IID_ICommandText.Data1, 0x0C733A27u);
    EXPECT_EQ(IID_ITableCreation.Data1, 0x0C733ABCu);
    EXPECT_EQ(IID_ISequentialStream.Data1, 0x0C733A30u);
    constexpr IID stream = {0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    EXPECT_EQ(IID_IStream, stream);
    constexpr IID dataInitialize = {0x2206CCB1, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}};
    EXPECT_EQ(IID_IDataInitialize, dataInitialize);
}

TEST(OleDbInterfaces, DerivedInterfacesNameTheirParent) {
    EXPECT_TRUE((std::is_same_v<ITransactionLocal::BaseInterface, ITransaction>));
    EXPECT_TRUE((std::is_same_v<ICommandText::BaseInterface, ICommand>));
    EXPECT_TRUE((std::is_same_v<IStream::BaseInterface, ISequentialStream>));
    EXPECT_TRUE((std::is_same_v<ITableCreation::BaseInterface, ITableDefinition>));
    EXPECT_TRUE((std::is_same_v<IRowsetLocate::BaseInterface, IRowset>));
    EXPECT_TRUE((std::is_same_v<IRowsetUpdate::BaseInterface, IRowsetChange>));
}

// An object offering only ITransactionLocal must also answer for ITransaction, which
// consumers ask for when they commit.
class FakeLocalTransaction final : public orv::platform::ComObject<ITransactionLocal> {
public:
    HRESULT STDMETHODCALLTYPE Commit(BOOL, DWORD, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Abort(BOID*, BOOL, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTransactionInfo(XACTTRANSINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetOptionsObject(ITransactionOptions**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartTransaction(ISOLEVEL, ULONG, ITransactionOptions*, ULONG* level) override {
        if (level) *level = 1;
        return S_OK;
    }
};

TEST(OleDbInterfaces, DerivedInterfaceAnswersForItsParent) {
    CComPtr<ITransactionLocal> local;
    local.Attach(new FakeLocalTransaction);
    CComPtr<ITransaction> transaction;
    ASSERT_EQ(local.QueryInterface(&transaction), S_OK);
    EXPECT_EQ(transaction->Commit(FALSE, XACTTC_SYNC, 0), S_OK);
    CComPtr<ITransactionOptions> options;
    EXPECT_EQ(local.QueryInterface(&options), E_NOINTERFACE);
}

}  // namespace
