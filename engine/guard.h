// Guarded boundaries: the engine is C++ inside, but it is called back through C (SQLite's
// virtual-table modules, SQL functions and hooks, expat, libzip) and through COM-shaped
// interface methods. A C++ exception must never unwind through either: C frames are not
// built for it, and a consumer of an interface method expects an HRESULT. Each kind of
// boundary has one wrapper here that turns an escaping exception into that boundary's
// failure: SQLITE_NOMEM (or SQLITE_ERROR) with the table's message set, a result error of
// a SQL function, or E_OUTOFMEMORY (E_FAIL) with an error record on the thread.
//
// Also here: ORV_ASSERT, which checks in debug builds an invariant that a comment states
// and costs nothing in release builds.
//
// Stateless; any thread.
#pragma once

#include <sqlite3.h>

#include <exception>
#include <new>
#include <type_traits>

#include "engine/error.h"

#ifndef NDEBUG
#define ORV_ASSERT(condition) ((condition) ? void(0) : ::orv::engine::AssertionFailed(#condition, __FILE__, __LINE__))
#else
#define ORV_ASSERT(condition) ((void)0)
#endif

namespace orv::engine {

// Prints where an assertion failed and aborts (debug builds only).
[[noreturn]] void AssertionFailed(const char* condition, const char* file, int line);

// The sentence for an exception that reached a boundary: "there is not enough memory" for
// an allocation failure, the exception's own text otherwise.
const char* EscapedExceptionText(const std::exception_ptr& escaped) noexcept;

// The status of an exception that reached an interface method: E_OUTOFMEMORY for an
// allocation failure, E_FAIL otherwise, with a sentence that says so.
Status EscapedExceptionStatus(const std::exception_ptr& escaped) noexcept;

// Runs an interface method's body; an exception becomes an error record for `iid` and its
// HRESULT. Use as `return GuardMethod(IID_ICommand, [&] { ... return hr; });`.
template <typename Body>
HRESULT GuardMethod(REFIID iid, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        const Status status = EscapedExceptionStatus(std::current_exception());
        try {
            return Report(status, iid);
        } catch (...) {
            ::SetErrorInfo(0, nullptr);  // not even the record could be made: leave no stale one
            return status.hr;
        }
    }
}

namespace guard_detail {

// Where an escaped exception's message goes, by the callback's parameters: the table's
// message of a vtab or cursor, xCreate/xConnect's error out-parameter, a function's result.
void Note(sqlite3_vtab* vtab, int rc, const char* text) noexcept;
void Note(sqlite3_vtab_cursor* cursor, int rc, const char* text) noexcept;
void Note(char** error, int rc, const char* text) noexcept;
void Note(sqlite3_context* context, int rc, const char* text) noexcept;
template <typename T>
void Note(T, int, const char*) noexcept {}

int CodeOf(const std::exception_ptr& escaped) noexcept;

}  // namespace guard_detail

// A SQLite callback that returns a result code (a module's methods, a commit hook):
// `&GuardedCallback<Fn>::Call` has Fn's signature and returns SQLITE_NOMEM or SQLITE_ERROR
// when Fn throws, with the message where the parameters have room for it.
template <auto Fn>
struct GuardedCallback;

template <typename R, typename... Args, R (*Fn)(Args...)>
struct GuardedCallback<Fn> {
    static R Call(Args... args) noexcept {
        try {
            return Fn(args...);
        } catch (...) {
            const std::exception_ptr escaped = std::current_exception();
            const int rc = guard_detail::CodeOf(escaped);
            const char* text = EscapedExceptionText(escaped);
            (guard_detail::Note(args, rc, text), ...);
            if constexpr (std::is_void_v<R>) return;
            else return static_cast<R>(rc);
        }
    }
};

// A SQL function's implementation, called through one trampoline that catches: register
// `GuardedFunction` as xFunc with the implementation as the function's user data
// (RegisterGuardedFunction does both).
using SqlFunction = void (*)(sqlite3_context*, int, sqlite3_value**);
int RegisterGuardedFunction(sqlite3* db, const char* name, int args, int flags, SqlFunction function);

}  // namespace orv::engine
