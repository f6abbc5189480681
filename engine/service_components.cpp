// The OLE DB service components: turn an initialisation string into a provider's data
// source object, as the Windows data-link service does. The provider is looked up by the
// string's Provider= name in the class registry; every other key becomes an
// initialisation property, matched by name against the properties the provider describes.
#include <charconv>
#include <map>
#include <utility>
#include <vector>

#include "engine/error.h"
#include "engine/guard.h"
#include "engine/init_string.h"
#include "platform/com_object.h"
#include "platform/format.h"
#include "platform/property_sets.h"
#include "platform/strings.h"
#include "platform/utf.h"
#include "platform/win32.h"

namespace orv::engine {
namespace {

struct StandardKey {
    const char16_t* name;
    DBPROPID id;
    VARTYPE type;
};

// The keys OLE DB defines for every provider, with the initialisation property each sets.
const StandardKey kStandardKeys[] = {
    {u"Data Source", DBPROP_INIT_DATASOURCE, VT_BSTR},
    {u"User ID", DBPROP_AUTH_USERID, VT_BSTR},
    {u"Password", DBPROP_AUTH_PASSWORD, VT_BSTR},
    {u"Persist Security Info", DBPROP_AUTH_PERSIST_SENSITIVE_AUTHINFO, VT_BOOL},
    {u"Mode", DBPROP_INIT_MODE, VT_I4},
    {u"Extended Properties", DBPROP_INIT_PROVIDERSTRING, VT_BSTR},
    {u"Prompt", DBPROP_INIT_PROMPT, VT_I2},
    {u"Locale Identifier", DBPROP_INIT_LCID, VT_I4},
    {u"Location", DBPROP_INIT_LOCATION, VT_BSTR},
    {u"Initial Catalog", DBPROP_INIT_CATALOG, VT_BSTR},
    {u"OLE DB Services", DBPROP_INIT_OLEDBSERVICES, VT_I4},
    {u"Connect Timeout", DBPROP_INIT_TIMEOUT, VT_I4},
    {u"General Timeout", DBPROP_INIT_GENERALTIMEOUT, VT_I4},
    {u"Window Handle", DBPROP_INIT_HWND, VT_I8},
};

struct NamedValue {
    const char16_t* name;
    LONG value;
};

const NamedValue kModes[] = {
    {u"Read", DB_MODE_READ},
    {u"Write", DB_MODE_WRITE},
    {u"ReadWrite", DB_MODE_READWRITE},
    {u"Share Deny Read", DB_MODE_SHARE_DENY_READ},
    {u"Share Deny Write", DB_MODE_SHARE_DENY_WRITE},
    {u"Share Exclusive", DB_MODE_SHARE_EXCLUSIVE},
    {u"Share Deny None", DB_MODE_SHARE_DENY_NONE},
};

const NamedValue kPrompts[] = {
    {u"Prompt", DBPROMPT_PROMPT},
    {u"Complete", DBPROMPT_COMPLETE},
    {u"CompleteRequired", DBPROMPT_COMPLETEREQUIRED},
    {u"NoPrompt", DBPROMPT_NOPROMPT},
};

// One property to set, with the key it came from for error texts.
// One property to set, owning its value: a failure anywhere between its conversion and
// the end of the call frees it.
struct Setting {
    Setting(const GUID& set, DBPROPID id, std::u16string key) : set(set), id(id), key(std::move(key)) {
        VariantInit(&value);
    }
    Setting(Setting&& other) noexcept : set(other.set), id(other.id), value(other.value), key(std::move(other.key)) {
        VariantInit(&other.value);
    }
    Setting& operator=(Setting&& other) noexcept {
        std::swap(set, other.set);
        std::swap(id, other.id);
        std::swap(value, other.value);
        std::swap(key, other.key);
        return *this;
    }
    ~Setting() { VariantClear(&value); }

    GUID set;
    DBPROPID id;
    VARIANT value;
    std::u16string key;
};

Status Invalid(const InitPair& pair, const char16_t* expected) {
    return Status::Error(E_INVALIDARG,
                         platform::Format(u"The value '%s' of the key '%s' in the initialisation string is not valid: "
                                          u"%s.",
                                          pair.value.c_str(), pair.key.c_str(), expected),
                         u"08001");
}

bool ParseInteger(std::u16string_view text, long long& out) {
    std::string narrow = platform::Utf16ToUtf8(platform::Trim(text, u" "));
    if (narrow.empty()) return false;
    const char* begin = narrow.c_str();
    const char* end = begin + narrow.size();
    if (*begin == '+') ++begin;
    auto [ptr, ec] = std::from_chars(begin, end, out);
    return ec == std::errc() && ptr == end;
}

// A number, or names from `names` joined with "|" (Mode=Read|Share Deny None).
bool ParseNamedFlags(std::u16string_view text, const NamedValue* names, std::size_t count, long long& out) {
    if (ParseInteger(text, out)) return true;
    out = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t bar = text.find(u'|', pos);
        if (bar == std::u16string_view::npos) bar = text.size();
        std::u16string word(platform::Trim(text.substr(pos, bar - pos), u" "));
        bool found = false;
        for (std::size_t i = 0; i < count && !found; ++i) {
            if (platform::EqualsNoCase(word, names[i].name)) {
                out |= names[i].value;
                found = true;
            }
        }
        if (!found) return false;
        pos = bar + 1;
    }
    return true;
}

Status ConvertValue(const InitPair& pair, DBPROPID standardId, VARTYPE type, VARIANT& value) {
    VariantInit(&value);
    long long number = 0;
    switch (type) {
    case VT_BSTR:
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocStringLen(pair.value.data(), static_cast<UINT>(pair.value.size()));
        return value.bstrVal ? Status::Success() : Status::Error(E_OUTOFMEMORY, u"Out of memory.");
    case VT_BOOL: {
        std::u16string v(platform::Trim(pair.value, u" "));
        bool truth;
        if (platform::EqualsNoCase(v, u"true") || platform::EqualsNoCase(v, u"yes") || v == u"1" || v == u"-1")
            truth = true;
        else if (platform::EqualsNoCase(v, u"false") || platform::EqualsNoCase(v, u"no") || v == u"0") truth = false;
        else return Invalid(pair, u"expected True or False");
        value.vt = VT_BOOL;
        value.boolVal = truth ? VARIANT_TRUE : VARIANT_FALSE;
        return Status::Success();
    }
    case VT_I2:
    case VT_I4:
    case VT_I8: {
        bool ok;
        if (standardId == DBPROP_INIT_MODE) ok = ParseNamedFlags(pair.value, kModes, std::size(kModes), number);
        else if (standardId == DBPROP_INIT_PROMPT)
            ok = ParseNamedFlags(pair.value, kPrompts, std::size(kPrompts), number);
        else ok = ParseInteger(pair.value, number);
        if (!ok) {
            if (standardId == DBPROP_INIT_MODE)
                return Invalid(pair, u"expected Read, Write, ReadWrite or a Share mode, joined with |");
            if (standardId == DBPROP_INIT_PROMPT)
                return Invalid(pair, u"expected Prompt, Complete, CompleteRequired or NoPrompt");
            return Invalid(pair, u"expected a whole number");
        }
        value.vt = type;
        if (type == VT_I2) value.iVal = static_cast<SHORT>(number);
        else if (type == VT_I4) value.lVal = static_cast<LONG>(number);
        else value.llVal = number;
        return Status::Success();
    }
    default: return Invalid(pair, u"the provider describes this property with a type that has no text form");
    }
}

// The provider's initialisation properties by name, from its own descriptions.
struct DescribedProperty {
    GUID set;
    DBPROPID id;
    VARTYPE type;
    std::u16string description;
};

std::vector<DescribedProperty> DescribeProvider(IDBProperties* properties) {
    std::vector<DescribedProperty> described;
    DBPROPIDSET all;
    all.rgPropertyIDs = nullptr;
    all.cPropertyIDs = 0;
    all.guidPropertySet = DBPROPSET_DBINITALL;
    orv::platform::ReturnedPropertyInfo sets;
    if (FAILED(properties->GetPropertyInfo(1, &all, sets.CountOut(), sets.SetsOut(), sets.BufferOut())))
        return described;
    for (ULONG s = 0; s < sets.Count(); ++s) {
        for (ULONG k = 0; k < sets[s].cPropertyInfos; ++k) {
            const DBPROPINFO& info = sets[s].rgPropertyInfos[k];
            if (info.pwszDescription)
                described.push_back({sets[s].guidPropertySet, info.dwPropertyID, info.vtType, info.pwszDescription});
        }
    }
    return described;
}

Status CollectSettings(const InitString& init, IDBProperties* provider, std::vector<Setting>& settings) {
    std::vector<DescribedProperty> described = DescribeProvider(provider);
    for (const InitPair& pair : init.Pairs()) {
        if (platform::EqualsNoCase(pair.key, u"Provider")) continue;
        GUID set = DBPROPSET_DBINIT;
        DBPROPID id = 0;
        VARTYPE type = VT_EMPTY;
        DBPROPID standardId = 0;
        for (const StandardKey& key : kStandardKeys) {
            if (platform::EqualsNoCase(pair.key, key.name)) {
                id = standardId = key.id;
                type = key.type;
                break;
            }
        }
        if (!id) {
            for (const DescribedProperty& p : described) {
                if (platform::EqualsNoCase(pair.key, p.description)) {
                    set = p.set;
                    id = p.id;
                    type = p.type;
                    break;
                }
            }
        }
        if (!id)
            return Status::Error(DB_E_ERRORSOCCURRED,
                                 platform::Format(u"The key '%s' in the initialisation string is not known to the "
                                                  u"provider.",
                                                  pair.key.c_str()),
                                 u"08001");
        Setting setting(set, id, pair.key);
        Status status = ConvertValue(pair, standardId, type, setting.value);
        if (!status.Ok()) return status;
        // A key given twice counts once, with its last value.
        for (auto it = settings.begin(); it != settings.end(); ++it) {
            if (it->set == set && it->id == id) {
                settings.erase(it);
                break;
            }
        }
        settings.push_back(std::move(setting));
    }
    return Status::Success();
}

Status ApplySettings(IDBProperties* provider, std::vector<Setting>& settings) {
    if (settings.empty()) return Status::Success();
    std::vector<GUID> setIds;
    for (const Setting& s : settings) {
        bool seen = false;
        for (const GUID& g : setIds) seen = seen || g == s.set;
        if (!seen) setIds.push_back(s.set);
    }
    std::vector<std::vector<DBPROP>> props(setIds.size());
    std::vector<std::vector<const Setting*>> origin(setIds.size());
    for (const Setting& s : settings) {
        std::size_t index = 0;
        while (setIds[index] != s.set) ++index;
        DBPROP p;
        std::memset(&p, 0, sizeof p);
        p.dwPropertyID = s.id;
        p.dwOptions = DBPROPOPTIONS_REQUIRED;
        p.colid = DB_NULLID;
        p.vValue = s.value;  // shallow: the settings keep ownership
        props[index].push_back(p);
        origin[index].push_back(&s);
    }
    std::vector<DBPROPSET> sets(setIds.size());
    for (std::size_t i = 0; i < setIds.size(); ++i) {
        sets[i].guidPropertySet = setIds[i];
        sets[i].cProperties = static_cast<ULONG>(props[i].size());
        sets[i].rgProperties = props[i].data();
    }
    HRESULT hr = provider->SetProperties(static_cast<ULONG>(sets.size()), sets.data());
    if (hr == S_OK) return Status::Success();
    for (std::size_t i = 0; i < sets.size(); ++i) {
        for (std::size_t k = 0; k < props[i].size(); ++k) {
            if (props[i][k].dwStatus != DBPROPSTATUS_OK)
                return Status::Error(
                    FAILED(hr) ? hr : DB_E_ERRORSOCCURRED,
                    platform::Format(u"The provider refused the key '%s' of the initialisation string "
                                     u"(property status %u).",
                                     origin[i][k]->key.c_str(), static_cast<unsigned>(props[i][k].dwStatus)),
                    u"08001");
        }
    }
    return FAILED(hr) ? Status::Error(hr, u"The provider refused the initialisation properties.", u"08001")
                      : Status::Success();
}

class DataInitialize final : public platform::ComObject<IDataInitialize> {
public:
    HRESULT STDMETHODCALLTYPE GetDataSource(IUnknown* outer, DWORD context, LPCOLESTR initString, REFIID riid,
                                            IUnknown** ppDataSource) override {
        return GuardMethod(IID_IDataInitialize, [&]() -> HRESULT {
            if (!ppDataSource) return E_INVALIDARG;
            Status status;
            CComPtr<IDBProperties> provider;
            if (*ppDataSource) {
                // An existing data source: only its properties are set from the string.
                HRESULT hr = (*ppDataSource)->QueryInterface(IID_IDBProperties, reinterpret_cast<void**>(&provider));
                if (FAILED(hr)) return hr;
            }
            std::u16string parseError;
            std::optional<InitString> init = InitString::Parse(initString ? initString : u"", parseError);
            if (!init) return Report(Status::Error(E_INVALIDARG, parseError, u"08001"), IID_IDataInitialize);
            if (!provider) {
                status = CreateProvider(*init, outer, context, provider);
                if (!status.Ok()) return Report(status, IID_IDataInitialize);
            }
            std::vector<Setting> settings;
            status = CollectSettings(*init, provider, settings);
            if (status.Ok()) status = ApplySettings(provider, settings);
            if (!status.Ok()) return Report(status, IID_IDataInitialize);
            if (*ppDataSource) return S_OK;
            return provider->QueryInterface(riid, reinterpret_cast<void**>(ppDataSource));
        });
    }

    HRESULT STDMETHODCALLTYPE GetInitializationString(IUnknown*, boolean, LPOLESTR* ppwszInitString) override {
        if (ppwszInitString) *ppwszInitString = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateDBInstance(REFCLSID clsidProvider, IUnknown* outer, DWORD context, LPOLESTR,
                                               REFIID riid, IUnknown** ppDataSource) override {
        if (!ppDataSource) return E_INVALIDARG;
        return CoCreateInstance(clsidProvider, outer, context, riid, reinterpret_cast<void**>(ppDataSource));
    }
    HRESULT STDMETHODCALLTYPE CreateDBInstanceEx(REFCLSID, IUnknown*, DWORD, LPOLESTR, COSERVERINFO*, ULONG,
                                                 MULTI_QI*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE LoadStringFromStorage(LPCOLESTR, LPOLESTR* ppwszInitializationString) override {
        if (ppwszInitializationString) *ppwszInitializationString = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE WriteStringToStorage(LPCOLESTR, LPCOLESTR, DWORD) override { return E_NOTIMPL; }

private:
    static Status CreateProvider(const InitString& init, IUnknown* outer, DWORD context,
                                 CComPtr<IDBProperties>& provider) {
        const std::u16string* name = init.Find(u"Provider");
        if (!name || name->empty())
            return Status::Error(E_FAIL,
                                 u"The initialisation string names no provider: it needs "
                                 u"\"Provider=Microsoft.ACE.OLEDB.12.0\" for the files this library opens.",
                                 u"08001");
        CLSID clsid;
        HRESULT hr =
            (*name)[0] == u'{' ? CLSIDFromString(name->c_str(), &clsid) : CLSIDFromProgID(name->c_str(), &clsid);
        if (FAILED(hr))
            return Status::Error(REGDB_E_CLASSNOTREG,
                                 platform::Format(u"The provider '%s' is not registered. This library's providers are "
                                                  u"Microsoft.ACE.OLEDB.12.0 (also known as Microsoft.Jet.OLEDB.4.0) "
                                                  u"for files and PostgreSQL for a server.",
                                                  name->c_str()),
                                 u"08001");
        hr = CoCreateInstance(clsid, outer, context ? context : CLSCTX_INPROC_SERVER, IID_IDBProperties,
                              reinterpret_cast<void**>(&provider));
        if (FAILED(hr))
            return Status::Error(hr, platform::Format(u"The provider '%s' could not be created.", name->c_str()),
                                 u"08001");
        return Status::Success();
    }
};

}  // namespace

HRESULT CreateDataInitialize(IUnknown* outer, REFIID riid, void** ppv) {
    return platform::CreateComObject<DataInitialize>(outer, riid, ppv);
}

}  // namespace orv::engine
