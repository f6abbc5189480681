// The COM runtime: string and variant ownership, the class registry, thread error slots.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/com_object.h"
#include "platform/platform.h"

using orv::platform::ComObject;

namespace {

// Lengths count embedded NULs and odd byte counts; null is the empty string; a
// reallocation may read from the string it replaces.
TEST(Bstr, KeepsItsLengthAndOwnsItsText) {
    BSTR s = SysAllocStringLen(u"ab\0cd", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(SysStringByteLen(s), 10u);
    EXPECT_EQ(s[5], 0);  // terminated past its length
    EXPECT_EQ(std::u16string(s, 5), std::u16string(u"ab\0cd", 5));
    SysFreeString(s);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    s = SysAllocString(u"");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 0u);
    SysFreeString(s);

    s = SysAllocString(u"hello world");
    ASSERT_TRUE(SysReAllocString(&s, s + 6));
    EXPECT_EQ(std::u16string(s), u"world");
    ASSERT_TRUE(SysReAllocStringLen(&s, nullptr, 3));
    EXPECT_EQ(SysStringLen(s), 3u);
    SysFreeString(s);

    s = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(s), 3u);
    EXPECT_EQ(SysStringLen(s), 1u);
    EXPECT_EQ(std::memcmp(s, "abc", 4), 0);
    SysFreeString(s);
}

// An object that counts its own lifetime, to see references come and go.
class Counted : public ComObject<IClassFactory> {
public:
    static inline int alive = 0;
    Counted() { ++alive; }
    ~Counted() override { --alive; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

TEST(Variant, CopiesOwnTheirStringsAndReferencesAndScalarsCopyByValue) {
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    a.vt = VT_BSTR;
    a.bstrVal = SysAllocString(u"text");
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_NE(b.bstrVal, a.bstrVal);
    EXPECT_EQ(std::u16string(b.bstrVal), u"text");
    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(a.vt, VT_EMPTY);

    auto* object = new Counted;
    a.vt = VT_UNKNOWN;
    a.punkVal = object->Identity();
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);  // also frees the string b held
    EXPECT_EQ(VariantClear(&a), S_OK);
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_EQ(VariantClear(&b), S_OK);
    EXPECT_EQ(Counted::alive, 0);

    // Scalars copy by value.
    a.vt = VT_I8;
    a.llVal = -1234567890123LL;
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(b.vt, VT_I8);
    EXPECT_EQ(b.llVal, a.llVal);
    VARIANT d;
    VariantInit(&d);
    d.decVal.Lo64 = 12345;
    d.decVal.scale = 2;
    d.vt = VT_DECIMAL;  // after the decimal: its reserved word is the type
    ASSERT_EQ(VariantCopy(&b, &d), S_OK);
    EXPECT_EQ(b.decVal.Lo64, 12345u);
    EXPECT_EQ(b.decVal.scale, 2);
}

constexpr CLSID kTestClass = {0xA1B2C3D4, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

HRESULT CreateCounted(IUnknown* outer, REFIID riid, void** ppv) {
    return orv::platform::CreateComObject<Counted>(outer, riid, ppv);
}

TEST(Variant, ByteArraysAreOwnedCopiedAndFreed) {
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 3);
    ASSERT_NE(bytes, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(bytes, &data), S_OK);
    std::memcpy(data, "\x01\x02\x03", 3);
    EXPECT_EQ(SafeArrayDestroy(bytes), DISP_E_ARRAYISLOCKED);  // still accessed
    ASSERT_EQ(SafeArrayUnaccessData(bytes), S_OK);
    LONG lower = -1, upper = -1;
    EXPECT_EQ(SafeArrayGetDim(bytes), 1u);
    EXPECT_EQ(SafeArrayGetLBound(bytes, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(bytes, 1, &upper), S_OK);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 2);
    EXPECT_EQ(SafeArrayGetUBound(bytes, 2, &upper), DISP_E_BADINDEX);

    VARIANT v, copy;
    VariantInit(&v);
    VariantInit(&copy);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = bytes;
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    ASSERT_NE(copy.parray, bytes);
    EXPECT_EQ(std::memcmp(copy.parray->pvData, "\x01\x02\x03", 3), 0);
    EXPECT_EQ(VariantClear(&v), S_OK);  // frees the array; the copy is its own
    EXPECT_EQ(static_cast<unsigned char*>(copy.parray->pvData)[2], 3);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(SafeArrayCreateVector(VT_BSTR, 0, 1), nullptr);  // only fixed-size elements
    SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SafeArrayGetUBound(empty, 1, &upper), S_OK);
    EXPECT_EQ(upper, -1);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
}

TEST(ClassRegistry, CreatesRegisteredClassesByIdAndByNameAndHandsOutClassObjects) {
    ASSERT_EQ(orv::platform::RegisterClass(kTestClass, u"Test.Counted.1", CreateCounted), S_OK);
    CLSID found;
    ASSERT_EQ(CLSIDFromProgID(u"test.counted.1", &found), S_OK);  // names ignore case
    EXPECT_EQ(found, kTestClass);

    IClassFactory* object = nullptr;
    ASSERT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(Counted::alive, 0);
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(kTestClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    CComPtr<IUnknown> made;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&made)), S_OK);
    EXPECT_EQ(Counted::alive, 1);
    made.Release();
    EXPECT_EQ(Counted::alive, 0);

    // A failed query frees the object it made.
    IErrorInfo* wrong = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_ALL, IID_IErrorInfo, reinterpret_cast<void**>(&wrong)),
              E_NOINTERFACE);
    EXPECT_EQ(wrong, nullptr);
    EXPECT_EQ(Counted::alive, 0);

    IUnknown* outer = reinterpret_cast<IUnknown*>(&found);
    IUnknown* none = nullptr;
    EXPECT_EQ(CoCreateInstance(kTestClass, outer, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&none)),
              CLASS_E_NOAGGREGATION);

    ASSERT_EQ(orv::platform::UnregisterClass(kTestClass), S_OK);
    EXPECT_EQ(CLSIDFromProgID(u"Test.Counted.1", &found), CO_E_CLASSSTRING);
    EXPECT_EQ(CoCreateInstance(kTestClass, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&none)),
              REGDB_E_CLASSNOTREG);
}

TEST(PerThread, TheErrorSlotIsReadOnceAndComInitialisationCounted) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(u"it broke"));
    CComPtr<IErrorInfo> error;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&error)), S_OK);
    create->Release();
    SetErrorInfo(0, error);

    std::thread([] {
        IErrorInfo* other = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &other), S_FALSE);
        EXPECT_EQ(other, nullptr);
        CComPtr<ICreateErrorInfo> left;
        CreateErrorInfo(&left);  // set and never read: released when the thread ends
        CComPtr<IErrorInfo> asError;
        left.QueryInterface(&asError);
        SetErrorInfo(0, asError);
    }).join();

    IErrorInfo* mine = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &mine), S_OK);
    EXPECT_EQ(mine, error.p);
    BSTR text = nullptr;
    mine->GetDescription(&text);
    EXPECT_EQ(std::u16string(text), u"it broke");
    SysFreeString(text);
    mine->Release();
    EXPECT_EQ(GetErrorInfo(0, &mine), S_FALSE);
    // COM initialisation counts per thread too.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    std::thread([] {
        EXPECT_EQ(orv::platform::ComInitCount(), 0);
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(orv::platform::ComInitCount(), 0);
}

TEST(CriticalSection, MayBeEnteredAgainByItsOwner) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::thread([&] { EXPECT_FALSE(TryEnterCriticalSection(&cs)); }).join();
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread([&] {
        EXPECT_TRUE(TryEnterCriticalSection(&cs));
        LeaveCriticalSection(&cs);
    }).join();
    DeleteCriticalSection(&cs);
    volatile LONG n = 0;
    EXPECT_EQ(InterlockedIncrement(&n), 1);
    EXPECT_EQ(InterlockedDecrement(&n), 0);
}

}  // namespace
