// Test support: whether a text (an error message, a program's output) holds each of some
// parts; a failure names the parts it lacks and shows the text.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/utf.h"

namespace orv::test {

inline ::testing::AssertionResult Holds(std::string_view text, std::initializer_list<std::string_view> parts) {
    std::string missing;
    for (std::string_view part : parts)
        if (text.find(part) == std::string_view::npos) missing += " \"" + std::string(part) + "\"";
    if (missing.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "lacks" << missing << " in:\n" << text;
}

inline ::testing::AssertionResult Holds(std::u16string_view text, std::initializer_list<std::string_view> parts) {
    return Holds(platform::Utf16ToUtf8(std::u16string(text)), parts);
}

}  // namespace orv::test
