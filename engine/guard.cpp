#include "engine/guard.h"

#include <cstdio>
#include <cstdlib>

#include "platform/utf.h"

namespace orv::engine {

void AssertionFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: an invariant of the engine does not hold: %s\n", file, line, condition);
    std::abort();
}

const char* EscapedExceptionText(const std::exception_ptr& escaped) noexcept {
    try {
        std::rethrow_exception(escaped);
    } catch (const std::bad_alloc&) {
        return "there is not enough memory to complete the operation";
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {}
    return "the engine met an unexpected failure";
}

Status EscapedExceptionStatus(const std::exception_ptr& escaped) noexcept {
    const bool memory = guard_detail::CodeOf(escaped) == SQLITE_NOMEM;
    try {
        std::u16string text = platform::Utf8ToUtf16(EscapedExceptionText(escaped));
        if (!text.empty()) text[0] = platform::ToUpper16(text[0]);
        return Status::Error(memory ? E_OUTOFMEMORY : E_FAIL, text + u".", memory ? u"HY001" : u"HY000");
    } catch (...) {
        // No room for the sentence: the code alone still says what happened.
        return Status{memory ? E_OUTOFMEMORY : E_FAIL, {}, {}, 0};
    }
}

namespace guard_detail {

int CodeOf(const std::exception_ptr& escaped) noexcept {
    try {
        std::rethrow_exception(escaped);
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    } catch (...) {}
    return SQLITE_ERROR;
}

void Note(sqlite3_vtab* vtab, int, const char* text) noexcept {
    if (!vtab) return;
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = sqlite3_mprintf("%s", text);  // null when even this fails: SQLite then says "out of memory"
}

void Note(sqlite3_vtab_cursor* cursor, int rc, const char* text) noexcept {
    if (cursor) Note(cursor->pVtab, rc, text);
}

void Note(char** error, int, const char* text) noexcept {
    if (!error) return;
    sqlite3_free(*error);
    *error = sqlite3_mprintf("%s", text);
}

void Note(sqlite3_context* context, int rc, const char* text) noexcept {
    if (rc == SQLITE_NOMEM) sqlite3_result_error_nomem(context);
    else sqlite3_result_error(context, text, -1);
}

}  // namespace guard_detail

namespace {

void GuardedFunction(sqlite3_context* context, int argc, sqlite3_value** argv) noexcept {
    try {
        reinterpret_cast<SqlFunction>(sqlite3_user_data(context))(context, argc, argv);
    } catch (...) {
        const std::exception_ptr escaped = std::current_exception();
        guard_detail::Note(context, guard_detail::CodeOf(escaped), EscapedExceptionText(escaped));
    }
}

}  // namespace

int RegisterGuardedFunction(sqlite3* db, const char* name, int args, int flags, SqlFunction function) {
    return sqlite3_create_function_v2(db, name, args, flags, reinterpret_cast<void*>(function), GuardedFunction,
                                      nullptr, nullptr, nullptr);
}

}  // namespace orv::engine
