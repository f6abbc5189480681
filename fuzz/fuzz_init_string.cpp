// Initialisation strings come from users, configuration files and ported host programs.
// Reads the input (UTF-8, and the same bytes as raw UTF-16 units, which reach lone
// surrogates) as an initialisation string and as an Extended Properties list, then hands
// the text to the service components, which find the provider and set its properties.
// The data source is never initialised, so no file is opened.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/init_string.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace {

void ParseBoth(std::u16string_view text) {
    std::u16string error;
    auto init = orv::engine::InitString::Parse(text, error);
    if (init) {
        // Every key read must be found again by its own name.
        for (const auto& pair : init->Pairs())
            if (!init->Find(pair.key)) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();  // a refusal always says why
    }
    auto properties = orv::engine::ParsePropertyList(text);
    (void)properties;
}

void ThroughServiceComponents(const std::u16string& text) {
    CComPtr<IDataInitialize> links;
    if (CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_IDataInitialize,
                         reinterpret_cast<void**>(&links)) != S_OK)
        __builtin_trap();
    CComPtr<IDBProperties> source;
    HRESULT hr = links->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, text.c_str(), IID_IDBProperties,
                                      reinterpret_cast<IUnknown**>(&source));
    if (SUCCEEDED(hr) && source) {
        // The string the data source gives back must read again.
        LPOLESTR back = nullptr;
        if (SUCCEEDED(links->GetInitializationString(source, true, &back)) && back) {
            std::u16string error;
            if (!orv::engine::InitString::Parse(back, error)) __builtin_trap();
            CoTaskMemFree(back);
        }
    }
    SetErrorInfo(0, nullptr);  // drop the error record a refusal posts
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::u16string text = orv::platform::Utf8ToUtf16(bytes);
    ParseBoth(text);

    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    ParseBoth(units);

    // The service components take a NUL-terminated string: stop at the first NUL.
    ThroughServiceComponents(std::u16string(text.c_str()));
    return 0;
}
