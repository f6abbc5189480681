// Inputs the fuzz targets (fuzz/) found to break the engine, kept so they stay fixed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/convert.h"
#include "engine/sql/datetime.h"
#include "platform/platform.h"

using orv::engine::ConvertValue;

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

// "9999-12-31 23:59:59.9999" became a DATE that rounds up to the year 10000 on the way back:
// OleDateFromParts took it, PartsFromOleDate refused the result, and text converted to a
// DATE could not be converted to text again. A date the engine makes must read back.
TEST(FuzzRegressionTest, LastInstantOfTheRangeReadsBack) {
    for (const char* text : {"9999-12-31 23:59:59.9999", "9999-12-31 23:59:59.5", "9999-12-31T23:59:59.999"}) {
        auto parts = orv::engine::ParseIsoDateTime(text);
        ASSERT_TRUE(parts) << text;
        if (auto date = orv::engine::OleDateFromParts(*parts)) {
            EXPECT_TRUE(orv::engine::PartsFromOleDate(*date)) << text;
        }

        DATE date = 0;
        DBSTATUS status = 0;
        HRESULT hr = ConvertValue(DBTYPE_STR, text, std::strlen(text), DBTYPE_DATE, &date, sizeof date, nullptr,
                                  &status, 0, 0, 0);
        if (hr != S_OK) continue;  // refusing the value is as good as reading it back
        char back[64] = {};
        DBLENGTH length = 0;
        EXPECT_EQ(
            ConvertValue(DBTYPE_DATE, &date, sizeof date, DBTYPE_STR, back, sizeof back, &length, &status, 0, 0, 0),
            S_OK)
            << text;
        EXPECT_EQ(status, DBSTATUS_S_OK) << text;
    }
}

}  // namespace
