#include "engine/workbook/zip_env.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "engine/common/env.h"

namespace orv::engine::workbook {
namespace {

// One descriptor as a libzip source: read from the start, and for an archive being
// written, written from the start as well.
struct FileState {
    int fd = -1;
    bool writable = false;
    bool owned = true;  // closed with the source
    zip_uint64_t size = 0;  // of the bytes to read
    zip_uint64_t offset = 0;  // of the next read
    zip_uint64_t written = 0;  // of the next write
    zip_uint64_t writeEnd = 0;  // bytes written so far
    zip_error_t error;

    FileState() { zip_error_init(&error); }
    ~FileState() {
        zip_error_fini(&error);
        if (fd >= 0 && owned) CurrentEnv().Close(fd);
    }
    zip_int64_t Fail(int zipCode, int err) {
        zip_error_set(&error, zipCode, err);
        return -1;
    }
};

zip_int64_t Dispatch(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    auto* state = static_cast<FileState*>(userdata);
    Env& env = CurrentEnv();
    switch (command) {
    case ZIP_SOURCE_OPEN: state->offset = 0; return 0;
    case ZIP_SOURCE_READ: {
        if (state->offset >= state->size) return 0;
        if (length > state->size - state->offset) length = state->size - state->offset;
        std::size_t done = 0;
        if (int err = env.Read(state->fd, data, length, off_t(state->offset), done); err != 0)
            return state->Fail(ZIP_ER_READ, err);
        state->offset += done;
        return zip_int64_t(done);
    }
    case ZIP_SOURCE_CLOSE: return 0;
    case ZIP_SOURCE_STAT: {
        auto* stat = static_cast<zip_stat_t*>(data);
        zip_stat_init(stat);
        stat->size = state->size;
        stat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR: return zip_error_to_data(&state->error, data, length);
    case ZIP_SOURCE_FREE: delete state; return 0;
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t at = zip_source_seek_compute_offset(state->offset, state->size, data, length, &state->error);
        if (at < 0) return -1;
        state->offset = zip_uint64_t(at);
        return 0;
    }
    case ZIP_SOURCE_TELL: return zip_int64_t(state->offset);
    case ZIP_SOURCE_BEGIN_WRITE:
        state->written = state->writeEnd = 0;
        if (int err = env.Truncate(state->fd, 0); err != 0) return state->Fail(ZIP_ER_WRITE, err);
        return 0;
    case ZIP_SOURCE_WRITE:
        if (int err =
                WriteAll(state->fd, std::string_view(static_cast<const char*>(data), length), off_t(state->written));
            err != 0)
            return state->Fail(ZIP_ER_WRITE, err);
        state->written += length;
        if (state->written > state->writeEnd) state->writeEnd = state->written;
        return zip_int64_t(length);
    case ZIP_SOURCE_SEEK_WRITE: {
        const zip_int64_t at =
            zip_source_seek_compute_offset(state->written, state->writeEnd, data, length, &state->error);
        if (at < 0) return -1;
        state->written = zip_uint64_t(at);
        return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: return zip_int64_t(state->written);
    case ZIP_SOURCE_COMMIT_WRITE:
        // The caller syncs the file when it puts it in place.
        if (int err = env.Truncate(state->fd, off_t(state->writeEnd)); err != 0) return state->Fail(ZIP_ER_WRITE, err);
        state->size = state->writeEnd;
        return 0;
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_REMOVE:
        env.Truncate(state->fd, 0);
        state->size = state->writeEnd = state->written = 0;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        if (state->writable)
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                                  ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_WRITE,
                                                  ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_COMMIT_WRITE,
                                                  ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_REMOVE, -1);
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                              ZIP_SOURCE_SUPPORTS, -1);
    default: return state->Fail(ZIP_ER_OPNOTSUPP, 0);
    }
}

// libzip is C: nothing may unwind through it, whatever Env is installed.
zip_int64_t Callback(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command) noexcept {
    try {
        return Dispatch(userdata, data, length, command);
    } catch (const std::bad_alloc&) {
        return static_cast<FileState*>(userdata)->Fail(ZIP_ER_MEMORY, ENOMEM);
    } catch (...) {
        return static_cast<FileState*>(userdata)->Fail(ZIP_ER_INTERNAL, 0);
    }
}

// A state for `fd` with its current size; null on failure (`fd` closed then when the
// state was to own it).
FileState* StateFor(int fd, bool writable, bool owned, int& err) {
    auto* state = new (std::nothrow) FileState();
    if (!state) {
        if (owned) CurrentEnv().Close(fd);
        err = ENOMEM;
        return nullptr;
    }
    state->fd = fd;
    state->writable = writable;
    state->owned = owned;
    struct stat info;
    if ((err = CurrentEnv().Stat(fd, info)) != 0) {
        delete state;
        return nullptr;
    }
    state->size = zip_uint64_t(info.st_size);
    return state;
}

}  // namespace

zip_t* OpenArchiveForReading(const std::string& path, int& code, int& systemError) {
    int fd = -1;
    code = ZIP_ER_OK;
    systemError = CurrentEnv().Open(path, O_RDONLY, 0, fd);
    if (systemError != 0) {
        code = systemError == ENOENT ? ZIP_ER_NOENT : ZIP_ER_OPEN;
        return nullptr;
    }
    FileState* state = StateFor(fd, false, true, systemError);
    if (!state) {
        code = systemError == ENOMEM ? ZIP_ER_MEMORY : ZIP_ER_READ;
        return nullptr;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(Callback, state, &error);
    zip_t* zip = source ? zip_open_from_source(source, ZIP_RDONLY, &error) : nullptr;
    if (!zip) {
        code = zip_error_code_zip(&error);
        systemError = zip_error_code_system(&error);
        if (source) zip_source_free(source);  // frees the state
        else delete state;
    }
    zip_error_fini(&error);
    return zip;
}

zip_t* OpenArchiveForWriting(int fd, std::string& message) {
    int err = 0;
    // The caller's file: it syncs and publishes it after the close.
    FileState* state = StateFor(fd, true, false, err);
    if (!state) {
        message = std::strerror(err);
        return nullptr;
    }
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(Callback, state, &error);
    zip_t* zip = source ? zip_open_from_source(source, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    if (!zip) {
        message = zip_error_strerror(&error);
        if (source) zip_source_free(source);
        else delete state;
    }
    zip_error_fini(&error);
    return zip;
}

zip_source_t* FileSource(zip_t* zip, int fd) {
    int err = 0;
    FileState* state = StateFor(fd, false, true, err);
    if (!state) return nullptr;
    zip_source_t* source = zip_source_function(zip, Callback, state);
    if (!source) delete state;
    return source;
}

}  // namespace orv::engine::workbook
