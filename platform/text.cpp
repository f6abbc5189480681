// CString and CComBSTR: the framework's member shapes over std::u16string and the BSTR
// functions.
#include "platform/text.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <ostream>

#include "platform/afx.h"
#include "platform/format.h"

namespace {

// Runs a step that may grow a string and turns the standard library's out-of-memory
// exception into the framework's, which is what ported callers catch.
template <class Step>
decltype(auto) Growing(Step&& step) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        AfxThrowMemoryException();
    }
}

std::size_t Clamp(int value, std::size_t high) {
    if (value <= 0) return 0;
    return static_cast<std::size_t>(value) < high ? static_cast<std::size_t>(value) : high;
}

// Ordinal comparison of counted texts, returning <0, 0 or >0 as wcscmp does.
int CompareCounted(std::u16string_view a, std::u16string_view b) noexcept {
    const int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// Formats into a fresh string, then appends it: an argument may be `text` itself.
template <class FormatChar>
void AppendFormatted(std::u16string& text, const FormatChar* format, va_list args) {
    if (!format) return;
    std::u16string formatted;
    Growing([&] {
        orv::platform::AppendFormatV(formatted, format, args);
        text += formatted;
    });
}

}  // namespace

// ---- CString ---------------------------------------------------------------------------

CString::CString(const char16_t* text) {
    if (text) Growing([&] { m_text.assign(text); });
}

CString::CString(const char16_t* text, int length) {
    if (text && length > 0) Growing([&] { m_text.assign(text, static_cast<std::size_t>(length)); });
}

CString::CString(const char* utf8) {
    if (utf8) Growing([&] { orv::platform::AppendUtf8ToUtf16(m_text, utf8); });
}

CString::CString(char16_t unit, int repeat) {
    if (repeat > 0) Growing([&] { m_text.assign(static_cast<std::size_t>(repeat), unit); });
}

CString::CString(std::u16string_view text) {
    Growing([&] { m_text.assign(text); });
}

CString& CString::operator=(const CString& other) {
    if (this != &other) Growing([&] { m_text = other.m_text; });
    return *this;
}

CString& CString::operator=(const char16_t* text) {
    SetString(text);
    return *this;
}

CString& CString::operator=(char16_t unit) {
    Growing([&] { m_text.assign(1, unit); });
    return *this;
}

char16_t CString::GetAt(int index) const noexcept {
    return index >= 0 && static_cast<std::size_t>(index) < m_text.size() ? m_text[static_cast<std::size_t>(index)]
                                                                         : char16_t(0);
}

void CString::SetAt(int index, char16_t unit) noexcept {
    if (index >= 0 && static_cast<std::size_t>(index) < m_text.size()) m_text[static_cast<std::size_t>(index)] = unit;
}

void CString::SetString(const char16_t* text) {
    // assign copes with `text` pointing into m_text.
    if (!text) m_text.clear();
    else Growing([&] { m_text.assign(text); });
}

void CString::SetString(const char16_t* text, int length) {
    if (!text || length <= 0) m_text.clear();
    else Growing([&] { m_text.assign(text, static_cast<std::size_t>(length)); });
}

CString& CString::operator+=(const CString& other) {
    Growing([&] { m_text += other.m_text; });
    return *this;
}

CString& CString::operator+=(const char16_t* text) {
    if (text) Growing([&] { m_text.append(text); });
    return *this;
}

CString& CString::operator+=(char16_t unit) {
    Growing([&] { m_text.push_back(unit); });
    return *this;
}

void CString::Format(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        FormatV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void CString::AppendFormat(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        AppendFormatV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void CString::Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        FormatV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void CString::AppendFormat(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        AppendFormatV(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void CString::FormatV(const char16_t* format, va_list args) {
    // Formatted into a fresh string: an argument may be this string's own text.
    m_text = Growing([&] { return orv::platform::FormatV(format, args); });
}

void CString::FormatV(const wchar_t* format, va_list args) {
    std::u16string formatted;
    AppendFormatted(formatted, format, args);
    m_text = std::move(formatted);
}

void CString::AppendFormatV(const char16_t* format, va_list args) { AppendFormatted(m_text, format, args); }

void CString::AppendFormatV(const wchar_t* format, va_list args) { AppendFormatted(m_text, format, args); }

int CString::Compare(const char16_t* other) const noexcept {
    return CompareCounted(m_text, other ? std::u16string_view(other) : std::u16string_view());
}

int CString::CompareNoCase(const char16_t* other) const noexcept {
    // Counted: embedded NULs must not end the comparison early.
    const std::u16string_view b = other ? std::u16string_view(other) : std::u16string_view();
    const std::size_t common = std::min(m_text.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const char16_t x = orv::platform::ToUpper16(m_text[i]);
        const char16_t y = orv::platform::ToUpper16(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return m_text.size() < b.size() ? -1 : (m_text.size() > b.size() ? 1 : 0);
}

CString CString::Left(int count) const { return CString(View().substr(0, Clamp(count, m_text.size()))); }

CString CString::Right(int count) const {
    const std::size_t n = Clamp(count, m_text.size());
    return CString(View().substr(m_text.size() - n));
}

CString CString::Mid(int first) const { return CString(View().substr(Clamp(first, m_text.size()))); }

CString CString::Mid(int first, int count) const {
    const std::size_t start = Clamp(first, m_text.size());
    return CString(View().substr(start, Clamp(count, m_text.size() - start)));
}

int CString::Find(char16_t unit, int start) const noexcept {
    if (start < 0) start = 0;
    const std::size_t at = m_text.find(unit, static_cast<std::size_t>(start));
    return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(const char16_t* sub, int start) const noexcept {
    if (!sub || start < 0 || static_cast<std::size_t>(start) > m_text.size()) return -1;
    const std::size_t at = m_text.find(sub, static_cast<std::size_t>(start));
    return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

int CString::ReverseFind(char16_t unit) const noexcept {
    const std::size_t at = m_text.rfind(unit);
    return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

int CString::Replace(char16_t oldUnit, char16_t newUnit) noexcept {
    int count = 0;
    for (char16_t& unit : m_text) {
        if (unit == oldUnit) {
            unit = newUnit;
            ++count;
        }
    }
    return count;
}

int CString::Replace(const char16_t* oldText, const char16_t* newText) {
    const std::u16string_view from = oldText ? std::u16string_view(oldText) : std::u16string_view();
    const std::u16string_view to = newText ? std::u16string_view(newText) : std::u16string_view();
    if (from.empty()) return 0;
    std::size_t at = m_text.find(from);
    if (at == std::u16string::npos) return 0;

    // Built into a new string: one pass, and safe when either argument points into m_text.
    std::u16string result;
    int count = 0;
    std::size_t done = 0;
    Growing([&] {
        result.reserve(m_text.size());
        for (; at != std::u16string::npos; at = m_text.find(from, done)) {
            result.append(m_text, done, at - done);
            result.append(to);
            done = at + from.size();
            ++count;
        }
        result.append(m_text, done, std::u16string::npos);
    });
    m_text = std::move(result);
    return count;
}

int CString::Remove(char16_t unit) {
    const auto end = std::remove(m_text.begin(), m_text.end(), unit);
    const auto removed = static_cast<int>(m_text.end() - end);
    m_text.erase(end, m_text.end());
    return removed;
}

int CString::Insert(int index, char16_t unit) {
    Growing([&] { m_text.insert(Clamp(index, m_text.size()), 1, unit); });
    return GetLength();
}

int CString::Insert(int index, const char16_t* text) {
    if (text && *text) {
        // Copied first: `text` may point into m_text, which insert may move.
        std::u16string piece;
        Growing([&] {
            piece.assign(text);
            m_text.insert(Clamp(index, m_text.size()), piece);
        });
    }
    return GetLength();
}

int CString::Delete(int index, int count) {
    const std::size_t start = Clamp(index, m_text.size());
    m_text.erase(start, Clamp(count, m_text.size() - start));
    return GetLength();
}

namespace {

template <class Match>
void TrimLeftWhere(std::u16string& text, Match match) {
    std::size_t first = 0;
    while (first < text.size() && match(text[first])) ++first;
    text.erase(0, first);
}

template <class Match>
void TrimRightWhere(std::u16string& text, Match match) {
    std::size_t end = text.size();
    while (end > 0 && match(text[end - 1])) --end;
    text.erase(end);
}

// Membership in a NUL-terminated set; a null set matches nothing.
struct InSet {
    const char16_t* set;
    bool operator()(char16_t unit) const {
        if (!set) return false;
        for (const char16_t* p = set; *p; ++p)
            if (*p == unit) return true;
        return false;
    }
};

bool IsSpace(char16_t unit) { return orv::platform::IsSpace16(unit); }

}  // namespace

CString& CString::Trim() { return TrimRight().TrimLeft(); }
CString& CString::Trim(char16_t unit) { return TrimRight(unit).TrimLeft(unit); }
CString& CString::Trim(const char16_t* set) { return TrimRight(set).TrimLeft(set); }

CString& CString::TrimLeft() {
    TrimLeftWhere(m_text, IsSpace);
    return *this;
}

CString& CString::TrimLeft(char16_t unit) {
    TrimLeftWhere(m_text, [unit](char16_t c) { return c == unit; });
    return *this;
}

CString& CString::TrimLeft(const char16_t* set) {
    TrimLeftWhere(m_text, InSet{set});
    return *this;
}

CString& CString::TrimRight() {
    TrimRightWhere(m_text, IsSpace);
    return *this;
}

CString& CString::TrimRight(char16_t unit) {
    TrimRightWhere(m_text, [unit](char16_t c) { return c == unit; });
    return *this;
}

CString& CString::TrimRight(const char16_t* set) {
    TrimRightWhere(m_text, InSet{set});
    return *this;
}

CString& CString::MakeUpper() noexcept {
    for (char16_t& unit : m_text) unit = orv::platform::ToUpper16(unit);
    return *this;
}

CString& CString::MakeLower() noexcept {
    for (char16_t& unit : m_text) unit = orv::platform::ToLower16(unit);
    return *this;
}

CString& CString::MakeReverse() noexcept {
    std::reverse(m_text.begin(), m_text.end());
    return *this;
}

char16_t* CString::GetBuffer(int minLength) {
    // The text is lengthened to the room asked for (with NULs), so that the caller's writes
    // land inside the string and ReleaseBuffer(-1) finds a NUL within it.
    if (minLength > 0 && static_cast<std::size_t>(minLength) > m_text.size())
        Growing([&] { m_text.resize(static_cast<std::size_t>(minLength)); });
    return m_text.data();
}

char16_t* CString::GetBufferSetLength(int length) {
    Growing([&] { m_text.resize(length > 0 ? static_cast<std::size_t>(length) : 0); });
    return m_text.data();
}

void CString::ReleaseBuffer(int newLength) {
    if (newLength < 0) {
        m_text.resize(std::char_traits<char16_t>::length(m_text.c_str()));
    } else if (static_cast<std::size_t>(newLength) < m_text.size()) {
        m_text.resize(static_cast<std::size_t>(newLength));
    }
}

CString operator+(const CString& a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, const char16_t* b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const char16_t* a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(const CString& a, char16_t b) {
    CString result(a);
    result += b;
    return result;
}

CString operator+(char16_t a, const CString& b) {
    CString result(a);
    result += b;
    return result;
}

std::ostream& operator<<(std::ostream& stream, const CString& text) {
    return stream << orv::platform::Utf16ToUtf8(text.View());
}

// ---- CComBSTR --------------------------------------------------------------------------

namespace {

// A new BSTR of `length` units copied from `text`; out of memory throws.
BSTR AllocateOrThrow(const char16_t* text, UINT length) {
    BSTR bstr = SysAllocStringLen(text, length);
    if (!bstr) AfxThrowMemoryException();
    return bstr;
}

std::u16string_view ViewOf(BSTR bstr) noexcept { return {bstr ? bstr : u"", SysStringLen(bstr)}; }

}  // namespace

CComBSTR::CComBSTR(const char16_t* text) {
    if (text) m_str = AllocateOrThrow(text, static_cast<UINT>(orv::platform::StrLen16(text)));
}

CComBSTR::CComBSTR(int length, const char16_t* text) {
    if (length < 0) AfxThrowOleException(E_INVALIDARG);
    if (length > 0) m_str = AllocateOrThrow(text, static_cast<UINT>(length));
}

CComBSTR::CComBSTR(const CString& text) {
    m_str = AllocateOrThrow(text.GetString(), static_cast<UINT>(text.GetLength()));
}

CComBSTR::CComBSTR(const CComBSTR& other) {
    if (other.m_str) m_str = AllocateOrThrow(other.m_str, other.Length());
}

CComBSTR::~CComBSTR() { SysFreeString(m_str); }

CComBSTR& CComBSTR::operator=(const CComBSTR& other) {
    if (m_str != other.m_str) {
        BSTR copy = other.Copy();
        if (other.m_str && !copy) AfxThrowMemoryException();
        SysFreeString(m_str);
        m_str = copy;
    }
    return *this;
}

CComBSTR& CComBSTR::operator=(CComBSTR&& other) noexcept {
    if (this != std::addressof(other)) {
        SysFreeString(m_str);
        m_str = std::exchange(other.m_str, nullptr);
    }
    return *this;
}

CComBSTR& CComBSTR::operator=(const char16_t* text) {
    if (text != m_str) {
        // Allocated before the old text is freed: `text` may point into it.
        BSTR copy = text ? AllocateOrThrow(text, static_cast<UINT>(orv::platform::StrLen16(text))) : nullptr;
        SysFreeString(m_str);
        m_str = copy;
    }
    return *this;
}

BSTR CComBSTR::Copy() const {
    if (!m_str) return nullptr;
    return SysAllocStringLen(m_str, Length());
}

HRESULT CComBSTR::CopyTo(BSTR* out) const {
    if (!out) return E_POINTER;
    *out = Copy();
    return (m_str && !*out) ? E_OUTOFMEMORY : S_OK;
}

void CComBSTR::Attach(BSTR bstr) noexcept {
    if (bstr != m_str) {
        SysFreeString(m_str);
        m_str = bstr;
    }
}

void CComBSTR::Empty() noexcept {
    SysFreeString(m_str);
    m_str = nullptr;
}

HRESULT CComBSTR::AssignBSTR(const BSTR bstr) {
    if (bstr == m_str) return S_OK;
    BSTR copy = nullptr;
    if (bstr) {
        copy = SysAllocStringLen(bstr, SysStringLen(bstr));
        if (!copy) return E_OUTOFMEMORY;
    }
    SysFreeString(m_str);
    m_str = copy;
    return S_OK;
}

HRESULT CComBSTR::Append(const char16_t* text, int length) {
    if (length < 0) return E_INVALIDARG;
    if (!text || (m_str && length == 0)) return S_OK;
    const UINT held = Length();
    BSTR joined = SysAllocStringLen(nullptr, held + static_cast<UINT>(length));
    if (!joined) return E_OUTOFMEMORY;
    if (held) std::memcpy(joined, m_str, held * sizeof(OLECHAR));
    // `text` may point into m_str, which is still alive here.
    if (length) std::memcpy(joined + held, text, static_cast<std::size_t>(length) * sizeof(OLECHAR));
    SysFreeString(m_str);
    m_str = joined;
    return S_OK;
}

HRESULT CComBSTR::Append(const char16_t* text) { return Append(text, static_cast<int>(orv::platform::StrLen16(text))); }

HRESULT CComBSTR::Append(const CComBSTR& other) { return AppendBSTR(other.m_str); }

HRESULT CComBSTR::Append(char16_t unit) { return Append(&unit, 1); }

HRESULT CComBSTR::AppendBSTR(BSTR bstr) {
    if (!bstr) return S_OK;
    return Append(bstr, static_cast<int>(SysStringLen(bstr)));
}

CComBSTR& CComBSTR::operator+=(const CComBSTR& other) {
    if (FAILED(Append(other))) AfxThrowMemoryException();
    return *this;
}

CComBSTR& CComBSTR::operator+=(const char16_t* text) {
    if (FAILED(Append(text))) AfxThrowMemoryException();
    return *this;
}

HRESULT CComBSTR::ToLower() noexcept {
    for (UINT i = 0, n = Length(); i < n; ++i) m_str[i] = orv::platform::ToLower16(m_str[i]);
    return S_OK;
}

HRESULT CComBSTR::ToUpper() noexcept {
    for (UINT i = 0, n = Length(); i < n; ++i) m_str[i] = orv::platform::ToUpper16(m_str[i]);
    return S_OK;
}

bool CComBSTR::operator==(const CComBSTR& other) const noexcept { return ViewOf(m_str) == ViewOf(other.m_str); }

bool CComBSTR::operator==(const char16_t* text) const noexcept {
    return ViewOf(m_str) == (text ? std::u16string_view(text) : std::u16string_view());
}

std::ostream& operator<<(std::ostream& stream, const CComBSTR& text) {
    return stream << orv::platform::Utf16ToUtf8(ViewOf(text.m_str));
}
