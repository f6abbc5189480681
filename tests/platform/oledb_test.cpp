// The OLE DB declarations: their layouts and values are checked where they are declared
// (static_assert); what is left is behaviour that depends on how the interfaces derive.
#include <gtest/gtest.h>

#include "platform/com_object.h"
#include "platform/oledb.h"
#include "platform/transact.h"

namespace {

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
