// The text holders that ported host code uses: CString (a counted UTF-16 string with the
// framework's member names), CComBSTR (owner of one BSTR) and CHeapPtr<T> (owner of one
// malloc block).
//
// Each object owns its text or block outright: CString by value, CComBSTR the BSTR in
// m_str (freed with SysFreeString), CHeapPtr the block in m_pData (freed with free). None
// is shared behind the caller's back, so distinct objects may be used on distinct threads
// freely; one object is used by one thread at a time. Growing a CString or CComBSTR that
// runs out of memory throws CMemoryException through AfxThrowMemoryException.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/com.h"
#include "platform/utf.h"

// ---- CString ---------------------------------------------------------------------------
//
// Positions and lengths are ints, as in the framework; a position out of range is clamped
// rather than trusted. The text may hold NUL units; GetString() is always terminated.
class ORV_API CString {
public:
    CString() noexcept = default;
    CString(const char16_t* text);  // NOLINT: implicit as in the framework; null is empty
    CString(const char16_t* text, int length);
    explicit CString(const char* utf8);  // null is empty
    explicit CString(char16_t unit, int repeat = 1);
    explicit CString(std::u16string_view text);
    explicit CString(std::u16string&& text) noexcept : m_text(std::move(text)) {}
    // wchar_t text (L"..."), converted from UTF-32 (platform/utf.h). Being implicit, it also
    // lets the assignment, concatenation and comparison operators take wchar_t text.
    template <orv::platform::Utf32Text Text>
    CString(const Text& text) : CString(orv::platform::Utf16Text(text).Get()) {}  // NOLINT: implicit as above
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    ~CString() = default;

    CString& operator=(const CString& other);
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(const char16_t* text);  // may point into this string
    CString& operator=(char16_t unit);

    // ---- Size and access
    int GetLength() const noexcept { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const noexcept { return m_text.empty(); }
    void Empty() noexcept { m_text.clear(); }
    const char16_t* GetString() const noexcept { return m_text.c_str(); }
    operator const char16_t*() const noexcept { return m_text.c_str(); }  // NOLINT: as in the framework
    std::u16string_view View() const noexcept { return m_text; }
    const std::u16string& Str() const noexcept { return m_text; }

    // Out-of-range positions read as NUL and are ignored by SetAt.
    char16_t GetAt(int index) const noexcept;
    char16_t operator[](int index) const noexcept { return GetAt(index); }
    void SetAt(int index, char16_t unit) noexcept;

    void SetString(const char16_t* text);
    void SetString(const char16_t* text, int length);

    // ---- Concatenation
    CString& operator+=(const CString& other);
    CString& operator+=(const char16_t* text);
    CString& operator+=(char16_t unit);

    // ---- Formatting (see platform/format.h for the conversions)
    void Format(const char16_t* format, ...);
    void AppendFormat(const char16_t* format, ...);
    void FormatV(const char16_t* format, va_list args);
    void AppendFormatV(const char16_t* format, va_list args);
    // A wchar_t format reads its %s and %c arguments as wchar_t text, as on Windows.
    void Format(const wchar_t* format, ...);
    void AppendFormat(const wchar_t* format, ...);
    void FormatV(const wchar_t* format, va_list args);
    void AppendFormatV(const wchar_t* format, va_list args);

    // ---- Comparison: ordinal by code unit; <0, 0 or >0. Null is the empty string.
    int Compare(const char16_t* other) const noexcept;
    int CompareNoCase(const char16_t* other) const noexcept;
    template <orv::platform::Utf32Text Text>
    int Compare(const Text& other) const {
        return Compare(orv::platform::Utf16Text(other).Get());
    }
    template <orv::platform::Utf32Text Text>
    int CompareNoCase(const Text& other) const {
        return CompareNoCase(orv::platform::Utf16Text(other).Get());
    }

    // ---- Extraction: counts and positions are clamped to the text.
    CString Left(int count) const;
    CString Right(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;

    // ---- Search: the position found, or -1.
    int Find(char16_t unit, int start = 0) const noexcept;
    int Find(const char16_t* sub, int start = 0) const noexcept;
    int ReverseFind(char16_t unit) const noexcept;
    template <orv::platform::Utf32Text Text>
    int Find(const Text& sub, int start = 0) const {
        return Find(orv::platform::Utf16Text(sub).Get(), start);
    }

    // ---- Editing. Replace and Remove return how many were replaced or removed; Insert and
    // Delete the new length.
    int Replace(char16_t oldUnit, char16_t newUnit) noexcept;
    int Replace(const char16_t* oldText, const char16_t* newText);  // empty oldText: no-op
    int Remove(char16_t unit);
    int Insert(int index, char16_t unit);
    int Insert(int index, const char16_t* text);
    int Delete(int index, int count = 1);

    // Trimming with no argument removes white space (IsSpace16); with a unit, that unit; with
    // a set, every unit in the NUL-terminated set.
    CString& Trim();
    CString& Trim(char16_t unit);
    CString& Trim(const char16_t* set);
    CString& TrimLeft();
    CString& TrimLeft(char16_t unit);
    CString& TrimLeft(const char16_t* set);
    CString& TrimRight();
    CString& TrimRight(char16_t unit);
    CString& TrimRight(const char16_t* set);

    CString& MakeUpper() noexcept;  // by ToUpper16
    CString& MakeLower() noexcept;  // by ToLower16
    CString& MakeReverse() noexcept;

    // ---- Direct buffer access. GetBuffer returns room for at least minLength units plus a
    // terminator, holding the current text; until ReleaseBuffer no other member may be
    // called. ReleaseBuffer(-1) takes the text up to the first NUL, ReleaseBuffer(n) the
    // first n units. GetBufferSetLength makes the length exactly `length` at once.
    char16_t* GetBuffer(int minLength = 0);
    char16_t* GetBufferSetLength(int length);
    void ReleaseBuffer(int newLength = -1);

private:
    std::u16string m_text;
};

ORV_API CString operator+(const CString& a, const CString& b);
ORV_API CString operator+(const CString& a, const char16_t* b);
ORV_API CString operator+(const char16_t* a, const CString& b);
ORV_API CString operator+(const CString& a, char16_t b);
ORV_API CString operator+(char16_t a, const CString& b);

// Comparisons take both operand orders explicitly: with the conversion to const char16_t*
// a missing overload would silently compare pointers.
inline bool operator==(const CString& a, const CString& b) noexcept { return a.Str() == b.Str(); }
inline bool operator==(const CString& a, const char16_t* b) noexcept { return a.Compare(b) == 0; }
inline bool operator==(const char16_t* a, const CString& b) noexcept { return b.Compare(a) == 0; }
inline bool operator!=(const CString& a, const CString& b) noexcept { return !(a == b); }
inline bool operator!=(const CString& a, const char16_t* b) noexcept { return !(a == b); }
inline bool operator!=(const char16_t* a, const CString& b) noexcept { return !(a == b); }
inline bool operator<(const CString& a, const CString& b) noexcept { return a.Str() < b.Str(); }
inline bool operator<(const CString& a, const char16_t* b) noexcept { return a.Compare(b) < 0; }
inline bool operator<(const char16_t* a, const CString& b) noexcept { return b.Compare(a) > 0; }
inline bool operator>(const CString& a, const CString& b) noexcept { return b < a; }
inline bool operator>(const CString& a, const char16_t* b) noexcept { return a.Compare(b) > 0; }
inline bool operator>(const char16_t* a, const CString& b) noexcept { return b.Compare(a) < 0; }
inline bool operator<=(const CString& a, const CString& b) noexcept { return !(b < a); }
inline bool operator<=(const CString& a, const char16_t* b) noexcept { return a.Compare(b) <= 0; }
inline bool operator<=(const char16_t* a, const CString& b) noexcept { return b.Compare(a) >= 0; }
inline bool operator>=(const CString& a, const CString& b) noexcept { return !(a < b); }
inline bool operator>=(const CString& a, const char16_t* b) noexcept { return a.Compare(b) >= 0; }
inline bool operator>=(const char16_t* a, const CString& b) noexcept { return b.Compare(a) <= 0; }

// Writes the text as UTF-8 (for logs and test failure messages).
ORV_API std::ostream& operator<<(std::ostream& stream, const CString& text);

// ---- CComBSTR --------------------------------------------------------------------------
//
// m_str may be null, and a null BSTR means the empty string to every BSTR function, so
// comparison against text treats null and empty alike; `== nullptr` alone tells them apart.
// Text comparison is ordinal over the whole counted length (embedded NULs included); a
// const char16_t* operand ends at its first NUL. Functions returning HRESULT report
// E_OUTOFMEMORY; constructors and operators throw CMemoryException instead.
class ORV_API CComBSTR {
public:
    CComBSTR() noexcept = default;
    CComBSTR(const char16_t* text);  // NOLINT: implicit as in ATL; null stays null
    CComBSTR(int length, const char16_t* text);  // `length` units, embedded NULs kept; 0 is null
    // wchar_t text (L"..."), converted from UTF-32; null stays null. Being implicit, it also
    // lets assignment, Append, += and comparison take wchar_t text.
    template <orv::platform::Utf32Text Text>
    CComBSTR(const Text& text) : CComBSTR(orv::platform::Utf16Text(text).Get()) {}  // NOLINT: implicit as above
    explicit CComBSTR(const CString& text);
    CComBSTR(const CComBSTR& other);
    CComBSTR(CComBSTR&& other) noexcept : m_str(other.m_str) { other.m_str = nullptr; }
    ~CComBSTR();

    CComBSTR& operator=(const CComBSTR& other);
    CComBSTR& operator=(CComBSTR&& other) noexcept;
    CComBSTR& operator=(const char16_t* text);  // may point into m_str

    unsigned int Length() const noexcept { return SysStringLen(m_str); }
    unsigned int ByteLength() const noexcept { return SysStringByteLen(m_str); }
    operator BSTR() const noexcept { return m_str; }  // NOLINT: as in ATL
    // For out-parameters, which overwrite without freeing: the holder should be empty.
    BSTR* operator&() noexcept { return &m_str; }
    bool operator!() const noexcept { return m_str == nullptr; }

    // A new BSTR with the same text (null for null); the caller frees it.
    BSTR Copy() const;
    HRESULT CopyTo(BSTR* out) const;
    // Takes ownership of `bstr`, freeing the BSTR held before.
    void Attach(BSTR bstr) noexcept;
    BSTR Detach() noexcept { return std::exchange(m_str, nullptr); }
    void Empty() noexcept;
    // Replaces the text by a copy of `bstr`, embedded NULs included.
    HRESULT AssignBSTR(const BSTR bstr);

    // Appending anything, even nothing, to a null BSTR leaves a non-null one.
    HRESULT Append(const char16_t* text);  // null appends nothing
    HRESULT Append(const char16_t* text, int length);
    HRESULT Append(const CComBSTR& other);
    HRESULT Append(char16_t unit);
    HRESULT AppendBSTR(BSTR bstr);
    CComBSTR& operator+=(const CComBSTR& other);
    CComBSTR& operator+=(const char16_t* text);

    HRESULT ToLower() noexcept;
    HRESULT ToUpper() noexcept;

    bool operator==(const CComBSTR& other) const noexcept;
    bool operator==(const char16_t* text) const noexcept;
    bool operator==(std::nullptr_t) const noexcept { return m_str == nullptr; }
    bool operator!=(const CComBSTR& other) const noexcept { return !(*this == other); }
    bool operator!=(const char16_t* text) const noexcept { return !(*this == text); }
    bool operator!=(std::nullptr_t) const noexcept { return m_str != nullptr; }

    BSTR m_str = nullptr;
};

// Writes the text as UTF-8 (for logs and test failure messages).
ORV_API std::ostream& operator<<(std::ostream& stream, const CComBSTR& text);

// ---- CHeapPtr --------------------------------------------------------------------------
//
// Owns one block from malloc/realloc in m_pData (null when empty). Sizes are counts of T;
// a count whose byte size overflows fails like an allocation failure. The block holds raw
// storage: no constructor or destructor of T runs. Move-only.
template <class T>
class CHeapPtr {
public:
    CHeapPtr() noexcept = default;
    explicit CHeapPtr(T* block) noexcept : m_pData(block) {}
    CHeapPtr(CHeapPtr&& other) noexcept : m_pData(other.Detach()) {}
    CHeapPtr& operator=(CHeapPtr&& other) noexcept {
        if (this != std::addressof(other)) Attach(other.Detach());
        return *this;
    }
    CHeapPtr(const CHeapPtr&) = delete;
    CHeapPtr& operator=(const CHeapPtr&) = delete;
    ~CHeapPtr() { Free(); }

    // Fails when a block is held already. Zero elements still give a (one-byte) block, so
    // that success always means a non-null pointer.
    bool Allocate(std::size_t count = 1) noexcept {
        std::size_t bytes;
        if (m_pData || __builtin_mul_overflow(count, sizeof(T), &bytes)) return false;
        return AllocateBytes(bytes);
    }
    bool AllocateBytes(std::size_t bytes) noexcept {
        if (m_pData) return false;
        m_pData = static_cast<T*>(std::malloc(bytes ? bytes : 1));
        return m_pData != nullptr;
    }
    // On failure the block held before stays held and unchanged.
    bool Reallocate(std::size_t count) noexcept {
        std::size_t bytes;
        if (__builtin_mul_overflow(count, sizeof(T), &bytes)) return false;
        return ReallocateBytes(bytes);
    }
    bool ReallocateBytes(std::size_t bytes) noexcept {
        void* grown = std::realloc(m_pData, bytes ? bytes : 1);
        if (!grown) return false;
        m_pData = static_cast<T*>(grown);
        return true;
    }
    void Free() noexcept {
        std::free(m_pData);
        m_pData = nullptr;
    }
    // Takes ownership of `block` (from malloc), freeing the block held before.
    void Attach(T* block) noexcept {
        if (block != m_pData) std::free(m_pData);
        m_pData = block;
    }
    T* Detach() noexcept { return std::exchange(m_pData, nullptr); }

    operator T*() const noexcept { return m_pData; }  // NOLINT: as in ATL
    T* operator->() const noexcept { return m_pData; }
    // For out-parameters that store a malloc block: the holder should be empty.
    T** operator&() noexcept { return &m_pData; }

    T* m_pData = nullptr;
};
