// Parameter accessors of a command, and binding their values to SQLite.
#include "engine/parameters.h"

#include <algorithm>
#include <cstring>

#include "platform/format.h"
#include "platform/oledb/errors.h"
#include "platform/utf.h"

namespace orv::engine {
namespace {

// The value types a parameter may be bound as; text and bytes also by reference.
bool Bindable(DBTYPE type) {
    const DBTYPE base = type & ~DBTYPE_BYREF;
    switch (base) {
    case DBTYPE_WSTR:
    case DBTYPE_STR:
    case DBTYPE_BYTES: return true;
    default: break;
    }
    if (type & DBTYPE_BYREF) return false;
    if (platform::IsIntegerOrRealType(base)) return true;
    switch (base) {
    case DBTYPE_BOOL:
    case DBTYPE_NULL: return true;
    default: return false;
    }
}

template <class T>
T Read(const unsigned char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

Status BindFailure(DBORDINAL ordinal, int rc) {
    return Status::Error(E_FAIL,
                         platform::Format(u"Parameter %u could not be bound: %s.", static_cast<unsigned>(ordinal),
                                          platform::Utf8ToUtf16(sqlite3_errstr(rc)).c_str()),
                         u"HY000", rc);
}

}  // namespace

Status ParameterAccessors::Create(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[],
                                  DBLENGTH setSize, HACCESSOR* handle, DBBINDSTATUS bindStatus[]) {
    if (!handle || (count && !bindings)) return Status::Error(E_INVALIDARG, u"An argument was missing.");
    *handle = DB_NULL_HACCESSOR;
    if (!(flags & DBACCESSOR_PARAMETERDATA) || (flags & DBACCESSOR_ROWDATA))
        return Status::Error(DB_E_BADACCESSORFLAGS,
                             u"A command makes parameter accessors only; row accessors are made on its rowset.");
    if (count == 0) return Status::Error(DB_E_NULLACCESSORNOTSUPPORTED, u"A parameter accessor needs a binding.");
    auto accessor = std::make_unique<Accessor>(flags, count);
    accessor->setSize = setSize;
    const DBPART parts = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
    std::u16string problem;
    for (DBCOUNTITEM i = 0; i < count; ++i) {
        const DBBINDING& b = bindings[i];
        DBBINDSTATUS status = DBBINDSTATUS_OK;
        if (b.iOrdinal == 0) {
            status = DBBINDSTATUS_BADORDINAL;
            if (problem.empty()) problem = u"parameter ordinals start at 1";
        } else if (b.dwPart == 0 || (b.dwPart & ~parts) || b.eParamIO != DBPARAMIO_INPUT) {
            status = DBBINDSTATUS_BADBINDINFO;
            if (problem.empty())
                problem = platform::Format(
                    u"parameter %u must be an input parameter bound by value, length and "
                    u"status",
                    static_cast<unsigned>(b.iOrdinal));
        } else if (!Bindable(b.wType)) {
            status = DBBINDSTATUS_UNSUPPORTEDCONVERSION;
            if (problem.empty())
                problem = platform::Format(
                    u"parameter %u is bound as type %u, which the engine does not take (bind "
                    u"numbers, booleans, text or bytes; dates as text)",
                    static_cast<unsigned>(b.iOrdinal), static_cast<unsigned>(b.wType));
        }
        if (bindStatus) bindStatus[i] = status;
        DBBINDING kept = b;
        kept.pObject = nullptr;  // a parameter is no storage object
        accessor->Keep(kept);
    }
    if (!problem.empty())
        return Status::Error(DB_E_ERRORSOCCURRED, u"The parameter accessor was refused: " + problem + u".");
    *handle = m_accessors.Add(std::move(accessor));
    return Status::Success();
}

// One parameter's value, as its binding describes it, bound at `index`.
Status ParameterAccessors::BindValue(sqlite3_stmt* statement, const DBBINDING& b, const unsigned char* base, int index,
                                     void (*lifetime)(void*)) {
    const DBTYPE type = b.wType & ~DBTYPE_BYREF;
    int rc = SQLITE_OK;
    const unsigned char* value = base + b.obValue;
    const bool byRef = (b.wType & DBTYPE_BYREF) != 0;
    const void* data = byRef ? Read<const void*>(value) : value;
    const bool hasLength = (b.dwPart & DBPART_LENGTH) != 0;
    const DBLENGTH length = hasLength ? Read<DBLENGTH>(base + b.obLength) : 0;
    switch (type) {
    case DBTYPE_I1: rc = sqlite3_bind_int(statement, index, Read<signed char>(value)); break;
    case DBTYPE_I2: rc = sqlite3_bind_int(statement, index, Read<short>(value)); break;
    case DBTYPE_I4: rc = sqlite3_bind_int(statement, index, Read<int>(value)); break;
    case DBTYPE_I8: rc = sqlite3_bind_int64(statement, index, Read<long long>(value)); break;
    case DBTYPE_UI1: rc = sqlite3_bind_int(statement, index, Read<unsigned char>(value)); break;
    case DBTYPE_UI2: rc = sqlite3_bind_int(statement, index, Read<unsigned short>(value)); break;
    case DBTYPE_UI4: rc = sqlite3_bind_int64(statement, index, Read<unsigned int>(value)); break;
    case DBTYPE_UI8: {
        const auto u = Read<unsigned long long>(value);
        // Past the largest signed integer SQLite keeps it as a real, as a literal would be.
        rc = u > 0x7fffffffffffffffULL ? sqlite3_bind_double(statement, index, static_cast<double>(u))
                                       : sqlite3_bind_int64(statement, index, static_cast<long long>(u));
        break;
    }
    case DBTYPE_R4: rc = sqlite3_bind_double(statement, index, Read<float>(value)); break;
    case DBTYPE_R8: rc = sqlite3_bind_double(statement, index, Read<double>(value)); break;
    // True is -1, as the SQL's own True is.
    case DBTYPE_BOOL: rc = sqlite3_bind_int(statement, index, Read<VARIANT_BOOL>(value) ? -1 : 0); break;
    case DBTYPE_WSTR: {
        const auto* text = static_cast<const char16_t*>(data);
        const std::size_t units = hasLength ? length / sizeof(char16_t) : std::char_traits<char16_t>::length(text);
        std::string& utf8 = m_texts[index];
        utf8.clear();
        platform::AppendUtf16ToUtf8(utf8, std::u16string_view(text, units));
        rc = sqlite3_bind_text(statement, index, utf8.data(), static_cast<int>(utf8.size()), lifetime);
        break;
    }
    case DBTYPE_STR: {
        const auto* text = static_cast<const char*>(data);
        const std::size_t bytes = hasLength ? length : std::strlen(text);
        rc = sqlite3_bind_text(statement, index, text, static_cast<int>(bytes), lifetime);
        break;
    }
    case DBTYPE_BYTES:
        if (!hasLength)
            return Status::Error(DB_E_ERRORSOCCURRED,
                                 platform::Format(u"Parameter %u is bytes, and its binding has no length part.",
                                                  static_cast<unsigned>(b.iOrdinal)),
                                 u"07002");
        rc = sqlite3_bind_blob(statement, index, data, static_cast<int>(length), lifetime);
        break;
    default: break;  // refused when the accessor was made
    }
    return rc == SQLITE_OK ? Status::Success() : BindFailure(b.iOrdinal, rc);
}

Status ParameterAccessors::Bind(sqlite3_stmt* statement, const DBPARAMS& params, DBCOUNTITEM set, bool copy) {
    const Accessor* a = m_accessors.Find(params.hAccessor);
    if (!a)
        return Status::Error(DB_E_BADACCESSORHANDLE,
                             u"The parameters name an accessor that this command did not make, or that was released.");
    if (!params.pData) return Status::Error(E_INVALIDARG, u"The parameters have no data.");
    const int wanted = sqlite3_bind_parameter_count(statement);
    sqlite3_reset(statement);
    const auto* base = static_cast<const unsigned char*>(params.pData) + set * a->setSize;
    const auto lifetime = copy ? SQLITE_TRANSIENT : SQLITE_STATIC;
    const std::size_t slots = static_cast<std::size_t>(wanted) + 1;
    if (m_boundIn.size() < slots) m_boundIn.resize(slots), m_texts.resize(slots);
    if (++m_binding == 0) std::fill(m_boundIn.begin(), m_boundIn.end(), 0), m_binding = 1;
    for (const DBBINDING& b : a->bindings) {
        if (b.iOrdinal > static_cast<DBORDINAL>(wanted))
            return Status::Error(DB_E_BADORDINAL,
                                 platform::Format(u"Parameter %u is bound, but the statement has %d parameters.",
                                                  static_cast<unsigned>(b.iOrdinal), wanted),
                                 u"07009");
        const int index = static_cast<int>(b.iOrdinal);
        m_boundIn[index] = m_binding;
        const DBSTATUS status =
            (b.dwPart & DBPART_STATUS) ? Read<DBSTATUS>(base + b.obStatus) : static_cast<DBSTATUS>(DBSTATUS_S_OK);
        if (status == DBSTATUS_S_ISNULL || (b.wType & ~DBTYPE_BYREF) == DBTYPE_NULL) {
            const int rc = sqlite3_bind_null(statement, index);
            if (rc != SQLITE_OK) return BindFailure(b.iOrdinal, rc);
            continue;
        }
        if (status != DBSTATUS_S_OK)
            return Status::Error(DB_E_ERRORSOCCURRED,
                                 platform::Format(u"Parameter %u has status %u; a value is given with status OK, NULL "
                                                  u"with DBSTATUS_S_ISNULL.",
                                                  static_cast<unsigned>(b.iOrdinal), static_cast<unsigned>(status)),
                                 u"22018");
        if (!(b.dwPart & DBPART_VALUE))
            return Status::Error(DB_E_ERRORSOCCURRED,
                                 platform::Format(u"Parameter %u is not NULL but its binding has no value part.",
                                                  static_cast<unsigned>(b.iOrdinal)),
                                 u"07002");
        Status bound = BindValue(statement, b, base, index, lifetime);
        if (!bound.Ok()) return bound;
    }
    for (int i = 1; i <= wanted; ++i)
        if (m_boundIn[i] != m_binding)
            return Status::Error(DB_E_PARAMNOTOPTIONAL,
                                 platform::Format(u"Parameter %d of the statement has no value: the accessor binds "
                                                  u"none to it.",
                                                  i),
                                 u"07002");
    return Status::Success();
}

}  // namespace orv::engine
