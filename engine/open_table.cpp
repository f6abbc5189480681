#include "engine/open_table.h"

#include "engine/error.h"
#include "engine/sql/quote.h"
#include "platform/utf.h"

namespace orv::engine {

HRESULT TableStatement(IUnknown* outer, const DBID* table, const DBID* index, IUnknown** out, std::string& sql) {
    if (out) *out = nullptr;
    if (outer) return DB_E_NOAGGREGATION;
    if (!table && !index) return E_INVALIDARG;
    if (index)
        return Report(Status::Error(DB_E_NOINDEX, u"Opening a rowset over an index is not supported."),
                      IID_IOpenRowset);
    if (table->eKind != DBKIND_NAME || !table->uName.pwszName || !*table->uName.pwszName)
        return Report(Status::Error(DB_E_NOTABLE, u"A table is named by its name only."), IID_IOpenRowset);
    sql = "SELECT * FROM " + QuoteName(platform::Utf16ToUtf8(table->uName.pwszName));
    return S_OK;
}

}  // namespace orv::engine
