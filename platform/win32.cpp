// Win32 stand-ins: locale identifiers, GUID text, critical sections.
#include "platform/win32.h"

#include "platform/guid_text.h"
#include "platform/strings.h"
#include "platform/utf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct LocaleName {
    const char* prefix;  // language or language_TERRITORY, as POSIX locale names begin
    LCID lcid;
};

// The locales people commonly run; the longest matching prefix wins.
constexpr LocaleName kLocales[] = {
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409}, {"en_IE", 0x1809},
    {"en_ZA", 0x1C09}, {"en_IN", 0x4009}, {"en", 0x0409},    {"de_DE", 0x0407}, {"de_AT", 0x0C07}, {"de_CH", 0x0807},
    {"de", 0x0407},    {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"fr", 0x040C},
    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es", 0x0C0A},    {"it_IT", 0x0410}, {"it", 0x0410},    {"nl_NL", 0x0413},
    {"nl_BE", 0x0813}, {"nl", 0x0413},    {"pt_BR", 0x0416}, {"pt_PT", 0x0816}, {"pt", 0x0816},    {"sv_SE", 0x041D},
    {"sv", 0x041D},    {"da_DK", 0x0406}, {"da", 0x0406},    {"nb_NO", 0x0414}, {"nb", 0x0414},    {"fi_FI", 0x040B},
    {"fi", 0x040B},    {"pl_PL", 0x0415}, {"pl", 0x0415},    {"cs_CZ", 0x0405}, {"cs", 0x0405},    {"hu_HU", 0x040E},
    {"hu", 0x040E},    {"ru_RU", 0x0419}, {"ru", 0x0419},    {"tr_TR", 0x041F}, {"tr", 0x041F},    {"el_GR", 0x0408},
    {"el", 0x0408},    {"ja_JP", 0x0411}, {"ja", 0x0411},    {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh", 0x0804},
    {"ko_KR", 0x0412}, {"ko", 0x0412},
};

constexpr LCID kEnglishUnitedStates = 0x0409;

// LC_ALL, the category and LANG as one thread last found them in the environment. Every
// formatted date asks, so the environment is scanned again only when its list of entries
// changed: setenv and putenv put a new pointer into the list and unsetenv moves the rest
// down, so an unchanged list holds the same entries. Their values are read each time.
struct EnvironmentLook {
    char** list = nullptr;  // the list scanned
    std::vector<char*> entries;  // its entries then, without the terminator
    const char* found[3] = {nullptr, nullptr, nullptr};  // values of LC_ALL, the category, LANG
    bool scanned = false;

    // Compared in one block: the same list has room for as many entries as it had (lists
    // grow, and unsetenv moves a terminator into a slot that held an entry).
    bool Unchanged() const {
        if (!scanned || environ != list) return false;
        if (!list) return true;
        const std::size_t n = entries.size();
        return (n == 0 || std::memcmp(list, entries.data(), n * sizeof(char*)) == 0) && list[n] == nullptr;
    }

    void Scan(const char* category) {
        const std::string_view names[3] = {"LC_ALL", category, "LANG"};
        list = environ;
        entries.clear();
        for (const char*& value : found) value = nullptr;
        for (char** entry = list; entry && *entry; ++entry) {
            const char* e = *entry;
            entries.push_back(*entry);
            if (e[0] != 'L') continue;  // all three names begin with L
            const char* equals = std::strchr(e, '=');
            if (!equals) continue;
            const std::string_view name(e, static_cast<std::size_t>(equals - e));
            for (int k = 0; k < 3; ++k)
                if (!found[k] && name == names[k]) found[k] = equals + 1;
        }
        scanned = true;
    }
};

// The first non-empty of LC_ALL, the category and LANG.
const char* EnvironmentLocale(const char* category, EnvironmentLook& look) {
    if (!look.Unchanged()) look.Scan(category);
    for (const char* value : look.found)
        if (value && *value) return value;
    return nullptr;
}

LCID LcidOf(const char* locale) {
    if (!locale) return kEnglishUnitedStates;
    std::size_t bestLength = 0;
    LCID best = kEnglishUnitedStates;
    for (const LocaleName& entry : kLocales) {
        std::size_t n = std::strlen(entry.prefix);
        if (n > bestLength && std::strncmp(locale, entry.prefix, n) == 0) {
            char next = locale[n];
            if (next == '\0' || next == '_' || next == '.' || next == '@') {
                bestLength = n;
                best = entry.lcid;
            }
        }
    }
    return best;
}

// The locale is looked up for every date a field read formats: remember the last name seen
// per thread and category, so that only a changed environment costs a table search.
struct LocaleCache {
    std::string name;
    LCID lcid = 0;
    bool valid = false;

    LCID For(const char* locale) {
        std::string_view current = locale ? locale : "";
        if (!valid || current != name) {
            name.assign(current);
            lcid = LcidOf(locale);
            valid = true;
        }
        return lcid;
    }
};

}  // namespace

LCID GetSystemDefaultLCID() {
    thread_local EnvironmentLook look;
    thread_local LocaleCache cache;
    return cache.For(EnvironmentLocale("LC_MESSAGES", look));
}

LCID GetUserDefaultLCID() {
    thread_local EnvironmentLook look;
    thread_local LocaleCache cache;
    return cache.For(EnvironmentLocale("LC_TIME", look));
}

int StringFromGUID2(REFGUID g, LPOLESTR out, int cchMax) {
    constexpr int kLength = 39;
    if (!out || cchMax < kLength) return 0;
    out[0] = u'{';
    orv::platform::WriteGuidDigits(g, out + 1, true);
    out[37] = u'}';
    out[38] = 0;
    return kLength;
}

HRESULT CLSIDFromString(LPCOLESTR s, LPCLSID out) {
    if (!s || !out) return E_INVALIDARG;
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: exactly 38 characters. Look for the text's end
    // before reading position 37.
    for (int i = 0; i < 38; ++i)
        if (s[i] == 0) return CO_E_CLASSSTRING;
    if (s[0] != u'{' || s[37] != u'}' || s[38] != 0) return CO_E_CLASSSTRING;
    return orv::platform::ReadGuidDigits(s + 1, *out) ? S_OK : CO_E_CLASSSTRING;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) return;
    cs->mutex = new std::recursive_mutex;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    if (!cs) return;
    delete cs->mutex;
    cs->mutex = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) { cs->mutex->lock(); }
void LeaveCriticalSection(LPCRITICAL_SECTION cs) { cs->mutex->unlock(); }
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return cs->mutex->try_lock() ? TRUE : FALSE; }

// ---- Files -------------------------------------------------------------------------------

namespace {

thread_local DWORD t_lastError = 0;

DWORD WindowsError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_PARAMETER;
    }
}

BOOL Fail() {
    t_lastError = WindowsError(errno);
    return FALSE;
}

std::string Narrow(LPCWSTR path) { return path ? orv::platform::Utf16ToUtf8(path) : std::string(); }

void SyncFile(const std::string& path, bool folder) {
    int fd = ::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

BOOL PathFileExistsW(LPCWSTR path) {
    struct stat info;
    return path && ::stat(Narrow(path).c_str(), &info) == 0 ? TRUE : FALSE;
}

BOOL DeleteFileW(LPCWSTR path) {
    if (!path) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    return ::unlink(Narrow(path).c_str()) == 0 ? TRUE : Fail();
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR destination, DWORD flags) {
    if (!existing || !destination) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const std::string from = Narrow(existing), to = Narrow(destination);
    if (flags & MOVEFILE_WRITE_THROUGH) SyncFile(from, false);
    if (flags & MOVEFILE_REPLACE_EXISTING) {
        if (::rename(from.c_str(), to.c_str()) != 0) return Fail();
    } else {
        // Without replacing: link the new name (which fails if it exists), then drop the old.
        if (::link(from.c_str(), to.c_str()) != 0) return Fail();
        ::unlink(from.c_str());
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        SyncFile(orv::platform::FolderOf(to), true);
    }
    return TRUE;
}
