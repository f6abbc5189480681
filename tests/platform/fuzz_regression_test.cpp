// Inputs the fuzz targets (fuzz/) found to break platform code, kept so they stay fixed.
// Each copies its text into a heap block of exactly its size, so that the sanitizer builds
// catch a read past the end.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace {

std::unique_ptr<char16_t[]> Exact(std::u16string_view text) {
    auto block = std::make_unique<char16_t[]>(text.size() + 1);
    std::memcpy(block.get(), text.data(), text.size() * sizeof(char16_t));
    block[text.size()] = u'\0';
    return block;
}

// CLSIDFromString looked at units 37 and 38 before knowing the text was that long.
TEST(FuzzRegressionTest, ShortBracedClassStringIsRefusedWithoutReadingPastIt) {
    for (std::u16string_view text :
         {u"{", u"{icrosoft.ACE.", u"{6B29FC40-CA47-1067-B31D-00DD010662D", u"{6B29FC40-CA47-1067-B31D-00DD010662DA"}) {
        auto block = Exact(text);
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromString(block.get(), &clsid), CO_E_CLASSSTRING) << text.size();
    }
    auto whole = Exact(u"{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(whole.get(), &clsid), S_OK);
    EXPECT_EQ(clsid.Data1, 0x6B29FC40u);
}

}  // namespace
