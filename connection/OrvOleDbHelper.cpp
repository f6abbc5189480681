// Building initialisation strings from their pieces.
#include "OrvOleDbHelper.h"

namespace {

// The whole text, or false when no memory could be had for it. Every piece is an argument
// of a %s conversion, never part of a format, so a "%" in a value is copied unchanged.
bool BuildConnectString(CString& text, const WCHAR* dataSource, const WCHAR* userId, const WCHAR* password,
                        const WCHAR* provider, const WCHAR* properties, const WCHAR* moreProperties) {
    try {
        text.Format(u"Provider=%s;Data Source=%s;", provider, dataSource);
        if (userId) text.AppendFormat(u"User ID=%s;", userId);
        if (password) text.AppendFormat(u"Password=%s;", password);
        if (properties) text.AppendFormat(u"%s", properties);
        if (moreProperties) text.AppendFormat(u"%s", moreProperties);
        if (text[text.GetLength() - 1] != u';') text += u';';
        return true;
    } catch (const CMemoryException&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

bool OrvOleDbHelper::FormatConnectString(CComBSTR& out, const WCHAR* dataSource, const WCHAR* userId,
                                         const WCHAR* password, const WCHAR* provider, const WCHAR* properties,
                                         const WCHAR* moreProperties) {
    if (!dataSource || !provider) return false;
    CString text;
    if (!BuildConnectString(text, dataSource, userId, password, provider, properties, moreProperties)) return false;
    // Copying into the caller's holder is where ported code expects the framework's
    // out-of-memory exception, so the constructor's CMemoryException is let through.
    out = CComBSTR(text);
    return out.m_str != nullptr;
}
