// Local transactions: ITransaction, ITransactionLocal and ITransactionOptions, the
// isolation levels and commit flags they take, and the XACT result codes.
//
// Ownership follows COM: an options object handed out by GetOptionsObject carries one
// reference. A session's transaction is used by one thread at a time, the same thread
// rules as the session that offers it; the declarations may be used from any thread.
#pragma once

#include <cstddef>

#include "platform/com.h"

// ---- Basic types -----------------------------------------------------------------------

// A unit of work's identity (an opaque 16-byte value).
struct BOID {
    BYTE rgb[16];
};
typedef BOID XACTUOW;
typedef LONG ISOLEVEL;

enum TX_MISC_CONSTANTS { MAX_TRAN_DESC = 40 };

enum ISOLATIONLEVEL {
    ISOLATIONLEVEL_UNSPECIFIED = -1,
    ISOLATIONLEVEL_CHAOS = 0x10,
    ISOLATIONLEVEL_READUNCOMMITTED = 0x100,
    ISOLATIONLEVEL_BROWSE = 0x100,
    ISOLATIONLEVEL_CURSORSTABILITY = 0x1000,
    ISOLATIONLEVEL_READCOMMITTED = 0x1000,
    ISOLATIONLEVEL_REPEATABLEREAD = 0x10000,
    ISOLATIONLEVEL_SERIALIZABLE = 0x100000,
    ISOLATIONLEVEL_ISOLATED = 0x100000,
};

enum ISOFLAG {
    ISOFLAG_RETAIN_COMMIT_DC = 1,
    ISOFLAG_RETAIN_COMMIT = 2,
    ISOFLAG_RETAIN_COMMIT_NO = 3,
    ISOFLAG_RETAIN_ABORT_DC = 4,
    ISOFLAG_RETAIN_ABORT = 8,
    ISOFLAG_RETAIN_ABORT_NO = 12,
    ISOFLAG_RETAIN_DONTCARE = ISOFLAG_RETAIN_COMMIT_DC | ISOFLAG_RETAIN_ABORT_DC,
    ISOFLAG_RETAIN_BOTH = ISOFLAG_RETAIN_COMMIT | ISOFLAG_RETAIN_ABORT,
    ISOFLAG_RETAIN_NONE = ISOFLAG_RETAIN_COMMIT_NO | ISOFLAG_RETAIN_ABORT_NO,
    ISOFLAG_OPTIMISTIC = 16,
    ISOFLAG_READONLY = 32,
};

enum XACTTC {
    XACTTC_NONE = 0,
    XACTTC_SYNC_PHASEONE = 1,
    XACTTC_SYNC_PHASETWO = 2,
    XACTTC_SYNC = 2,
    XACTTC_ASYNC_PHASEONE = 4,
    XACTTC_ASYNC = 4,
};

enum XACTRM { XACTRM_OPTIMISTICLASTWINS = 1, XACTRM_NOREADONLYPREPARES = 2 };

enum XACTCONST { XACTCONST_TIMEOUTINFINITE = 0 };

struct XACTTRANSINFO {
    XACTUOW uow;
    ISOLEVEL isoLevel;
    ULONG isoFlags;
    DWORD grfTCSupported;
    DWORD grfRMSupported;
    DWORD grfTCSupportedRetaining;
    DWORD grfRMSupportedRetaining;
};
static_assert(sizeof(XACTTRANSINFO) == 40);

struct XACTOPT {
    ULONG ulTimeout;
    char szDescription[MAX_TRAN_DESC];
};
static_assert(sizeof(XACTOPT) == 44);

// ---- Result codes ----------------------------------------------------------------------

#define XACT_E_CANTRETAIN ((HRESULT)0x8004D001L)
#define XACT_E_COMMITFAILED ((HRESULT)0x8004D002L)
#define XACT_E_COMMITPREVENTED ((HRESULT)0x8004D003L)
#define XACT_E_HEURISTICABORT ((HRESULT)0x8004D004L)
#define XACT_E_HEURISTICCOMMIT ((HRESULT)0x8004D005L)
#define XACT_E_HEURISTICDAMAGE ((HRESULT)0x8004D006L)
#define XACT_E_HEURISTICDANGER ((HRESULT)0x8004D007L)
#define XACT_E_ISOLATIONLEVEL ((HRESULT)0x8004D008L)
#define XACT_E_NOASYNC ((HRESULT)0x8004D009L)
#define XACT_E_NOENLIST ((HRESULT)0x8004D00AL)
#define XACT_E_NOISORETAIN ((HRESULT)0x8004D00BL)
#define XACT_E_NORESOURCE ((HRESULT)0x8004D00CL)
#define XACT_E_NOTCURRENT ((HRESULT)0x8004D00DL)
#define XACT_E_NOTRANSACTION ((HRESULT)0x8004D00EL)
#define XACT_E_NOTSUPPORTED ((HRESULT)0x8004D00FL)
#define XACT_E_UNKNOWNRMGRID ((HRESULT)0x8004D010L)
#define XACT_E_WRONGSTATE ((HRESULT)0x8004D011L)
#define XACT_E_WRONGUOW ((HRESULT)0x8004D012L)
#define XACT_E_XTIONEXISTS ((HRESULT)0x8004D013L)
#define XACT_E_NOIMPORTOBJECT ((HRESULT)0x8004D014L)
#define XACT_E_INVALIDCOOKIE ((HRESULT)0x8004D015L)
#define XACT_E_INDOUBT ((HRESULT)0x8004D016L)
#define XACT_E_NOTIMEOUT ((HRESULT)0x8004D017L)
#define XACT_E_ALREADYINPROGRESS ((HRESULT)0x8004D018L)
#define XACT_E_ABORTED ((HRESULT)0x8004D019L)
#define XACT_E_LOGFULL ((HRESULT)0x8004D01AL)
#define XACT_E_TMNOTAVAILABLE ((HRESULT)0x8004D01BL)
#define XACT_E_CONNECTION_DOWN ((HRESULT)0x8004D01CL)
#define XACT_E_CONNECTION_DENIED ((HRESULT)0x8004D01DL)
#define XACT_E_REENLISTTIMEOUT ((HRESULT)0x8004D01EL)

#define XACT_S_ASYNC ((HRESULT)0x0004D000L)
#define XACT_S_DEFECT ((HRESULT)0x0004D001L)
#define XACT_S_READONLY ((HRESULT)0x0004D002L)
#define XACT_S_SOMENORETAIN ((HRESULT)0x0004D003L)
#define XACT_S_OKINFORM ((HRESULT)0x0004D004L)
#define XACT_S_MADECHANGESCONTENT ((HRESULT)0x0004D005L)
#define XACT_S_MADECHANGESINFORM ((HRESULT)0x0004D006L)
#define XACT_S_ALLNORETAIN ((HRESULT)0x0004D007L)
#define XACT_S_ABORTING ((HRESULT)0x0004D008L)
#define XACT_S_SINGLEPHASE ((HRESULT)0x0004D009L)

// ---- Interfaces ----------------------------------------------------------------------------

struct ITransaction : IUnknown {
    ORV_IID(0x0FB15084, 0xAF41, 0x11CE, 0xBD, 0x2B, 0x20, 0x4C, 0x4F, 0x4F, 0x50, 0x20);
    virtual HRESULT STDMETHODCALLTYPE Commit(BOOL fRetaining, DWORD grfTC, DWORD grfRM) = 0;
    virtual HRESULT STDMETHODCALLTYPE Abort(BOID* pboidReason, BOOL fRetaining, BOOL fAsync) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTransactionInfo(XACTTRANSINFO* pinfo) = 0;

protected:
    ~ITransaction() = default;
};
inline constexpr IID IID_ITransaction = ITransaction::iid;

struct ITransactionOptions : IUnknown {
    ORV_IID(0x3A6AD9E0, 0x23B9, 0x11CF, 0xAD, 0x60, 0x00, 0xAA, 0x00, 0xA7, 0x4C, 0xCD);
    virtual HRESULT STDMETHODCALLTYPE SetOptions(XACTOPT* pOptions) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOptions(XACTOPT* pOptions) = 0;

protected:
    ~ITransactionOptions() = default;
};
inline constexpr IID IID_ITransactionOptions = ITransactionOptions::iid;

struct ITransactionLocal : ITransaction {
    ORV_IID(0x0C733A5F, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
    using BaseInterface = ITransaction;
    virtual HRESULT STDMETHODCALLTYPE GetOptionsObject(ITransactionOptions** ppOptions) = 0;
    // The new transaction's nesting level (1 for the outermost) goes to *pulTransactionLevel.
    virtual HRESULT STDMETHODCALLTYPE StartTransaction(ISOLEVEL isoLevel, ULONG isoFlags,
                                                       ITransactionOptions* pOtherOptions,
                                                       ULONG* pulTransactionLevel) = 0;

protected:
    ~ITransactionLocal() = default;
};
inline constexpr IID IID_ITransactionLocal = ITransactionLocal::iid;

static_assert(sizeof(ISOLEVEL) == 4 && ISOLATIONLEVEL_CURSORSTABILITY == ISOLATIONLEVEL_READCOMMITTED &&
              XACTTC_SYNC == XACTTC_SYNC_PHASETWO);
static_assert(static_cast<DWORD>(XACT_E_NOTRANSACTION) == 0x8004D00Eu && FAILED(XACT_E_NOTRANSACTION));
static_assert(IID_ITransaction == IID{0x0FB15084, 0xAF41, 0x11CE, {0xBD, 0x2B, 0x20, 0x4C, 0x4F, 0x4F, 0x50, 0x20}});
