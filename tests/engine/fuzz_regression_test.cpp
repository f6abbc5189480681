// Inputs the fuzz targets (fuzz/) found to break the engine, kept so they stay fixed (the
// conversions among them are lines of cases/convert.test).
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

// A provider written as a short "{..." class string made the service components read past
// the end of the value (CLSIDFromString did not check its length).
TEST(FuzzRegressionTest, ShortBracedProviderIsRefusedAsNotRegistered) {
    CComPtr<IDataInitialize> links;
    ASSERT_EQ(CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize,
                               reinterpret_cast<void**>(&links)),
              S_OK);
    for (const char16_t* init : {u"Provider={icrosoft.ACE.", u"Provider={;Data Source=/nowhere.mdb"}) {
        std::u16string text = init;  // a heap block of its own, for the sanitizer builds
        CComPtr<IDBProperties> source;
        EXPECT_EQ(links->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, text.c_str(), IID_IDBProperties,
                                       reinterpret_cast<IUnknown**>(&source)),
                  REGDB_E_CLASSNOTREG);
        EXPECT_FALSE(source);
    }
}

}  // namespace
