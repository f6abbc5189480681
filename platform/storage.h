// Structured-storage streams: ISequentialStream and IStream with their flags and STATSTG.
// Large column values travel between the provider and the consumer as these objects.
//
// Ownership follows COM: a stream handed out carries one reference; the name in a
// STATSTG filled by Stat (unless STATFLAG_NONAME was given) is allocated with
// CoTaskMemAlloc and freed by the caller with CoTaskMemFree. A stream object states its
// own threading; these declarations may be used from any thread.
#pragma once

#include <cstddef>

#include "platform/com.h"

// ---- Access modes ----------------------------------------------------------------------

#define STGM_DIRECT 0x00000000
#define STGM_TRANSACTED 0x00010000
#define STGM_SIMPLE 0x08000000
#define STGM_READ 0x00000000
#define STGM_WRITE 0x00000001
#define STGM_READWRITE 0x00000002
#define STGM_SHARE_DENY_NONE 0x00000040
#define STGM_SHARE_DENY_READ 0x00000030
#define STGM_SHARE_DENY_WRITE 0x00000020
#define STGM_SHARE_EXCLUSIVE 0x00000010
#define STGM_PRIORITY 0x00040000
#define STGM_DELETEONRELEASE 0x04000000
#define STGM_NOSCRATCH 0x00100000
#define STGM_CREATE 0x00001000
#define STGM_CONVERT 0x00020000
#define STGM_FAILIFTHERE 0x00000000
#define STGM_NOSNAPSHOT 0x00200000
#define STGM_DIRECT_SWMR 0x00400000

// ---- Storage failure codes not already in wintypes.h --------------------------------------

#ifndef STG_E_FILENOTFOUND
#define STG_E_FILENOTFOUND ((HRESULT)0x80030002L)
#endif
#ifndef STG_E_INVALIDHANDLE
#define STG_E_INVALIDHANDLE ((HRESULT)0x80030006L)
#endif
#ifndef STG_E_INSUFFICIENTMEMORY
#define STG_E_INSUFFICIENTMEMORY ((HRESULT)0x80030008L)
#endif
#ifndef STG_E_WRITEFAULT
#define STG_E_WRITEFAULT ((HRESULT)0x8003001DL)
#endif
#ifndef STG_E_READFAULT
#define STG_E_READFAULT ((HRESULT)0x8003001EL)
#endif
#ifndef STG_E_SHAREVIOLATION
#define STG_E_SHAREVIOLATION ((HRESULT)0x80030020L)
#endif
#ifndef STG_E_LOCKVIOLATION
#define STG_E_LOCKVIOLATION ((HRESULT)0x80030021L)
#endif
#ifndef STG_E_MEDIUMFULL
#define STG_E_MEDIUMFULL ((HRESULT)0x80030070L)
#endif
#ifndef STG_E_CANTSAVE
#define STG_E_CANTSAVE ((HRESULT)0x80030103L)
#endif

// ---- Enumerations ----------------------------------------------------------------------

enum STGTY { STGTY_STORAGE = 1, STGTY_STREAM = 2, STGTY_LOCKBYTES = 3, STGTY_PROPERTY = 4 };

enum STREAM_SEEK { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

enum STATFLAG { STATFLAG_DEFAULT = 0, STATFLAG_NONAME = 1, STATFLAG_NOOPEN = 2 };

// LockRegion's lock types (LOCK_WRITE, ...) are left out on purpose: glibc's <fcntl.h>
// defines LOCK_WRITE as a macro, and no stream here offers region locks.

enum STGC {
    STGC_DEFAULT = 0,
    STGC_OVERWRITE = 1,
    STGC_ONLYIFCURRENT = 2,
    STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4,
    STGC_CONSOLIDATE = 8,
};

// ---- STATSTG ---------------------------------------------------------------------------

struct STATSTG {
    LPOLESTR pwcsName;
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};
static_assert(sizeof(STATSTG) == 80 && offsetof(STATSTG, cbSize) == 16 && offsetof(STATSTG, grfMode) == 48 &&
              offsetof(STATSTG, clsid) == 56);

// ---- Interfaces ----------------------------------------------------------------------------

struct ISequentialStream : IUnknown {
    ORV_IID(0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    virtual HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
    virtual HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

protected:
    ~ISequentialStream() = default;
};
inline constexpr IID IID_ISequentialStream = ISequentialStream::iid;

struct IStream : ISequentialStream {
    ORV_IID(0x0000000C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
    using BaseInterface = ISequentialStream;
    virtual HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                             ULARGE_INTEGER* pcbWritten) = 0;
    virtual HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) = 0;
    virtual HRESULT STDMETHODCALLTYPE Revert() = 0;
    virtual HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) = 0;

protected:
    ~IStream() = default;
};
typedef IStream* LPSTREAM;
inline constexpr IID IID_IStream = IStream::iid;
