// Command texts come from users and ported programs. Rewrites the input as a command in the
// Windows dialect, and reads it as the body of a #...# date literal, whose ISO text the
// store must be able to read back.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/sql/datetime.h"
#include "engine/sql/rewrite.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    auto result = orv::engine::RewriteSql(text);
    if (result.error && result.error->empty()) __builtin_trap();  // a refusal always says why

    if (size <= 256) {
        auto iso = orv::engine::ParseDateLiteral(text);
        if (iso && !orv::engine::ParseIsoDateTime(*iso)) __builtin_trap();
    }
    return 0;
}
