// What SQL on a session's connection may reach: only the store's own data. The policy is
// SQLite's authorizer on the connection, and it refuses
// - virtual tables made by SQL: the stores declare their tables themselves (when the
//   connection opens, or when a statement names or creates one, inside a Declaring scope);
//   a CREATE VIRTUAL TABLE written by the user could name any file of the machine;
// - ATTACH of a database outside the store's folder (symbolic links resolved), or of a
//   name that is not a literal, and the pragmas that move SQLite's own files elsewhere.
// VACUUM INTO writes a file where it says: it is refused too (compaction has its own call).
//
// A SqlPolicy belongs to the session that installed it and must outlive its connection's
// use; it is used on the connection's thread only.
#pragma once

#include <sqlite3.h>

#include <string>

#include "engine/error.h"

namespace orv::engine {

class SqlPolicy {
public:
    // `dataPath` is the store's path as the host gave it: a file, or a text folder.
    explicit SqlPolicy(const std::u16string& dataPath);
    SqlPolicy(const SqlPolicy&) = delete;
    SqlPolicy& operator=(const SqlPolicy&) = delete;

    // Installs the policy as the authorizer of `db`.
    void Install(sqlite3* db);

    // While one exists, the engine declares tables of its own store: virtual tables pass.
    class Declaring {
    public:
        explicit Declaring(SqlPolicy& policy) : m_policy(policy), m_was(policy.m_declaring) {
            policy.m_declaring = true;
        }
        ~Declaring() { m_policy.m_declaring = m_was; }
        Declaring(const Declaring&) = delete;
        Declaring& operator=(const Declaring&) = delete;

    private:
        SqlPolicy& m_policy;
        bool m_was;
    };

    // The refusal of the statement that was just prepared, when the policy refused it
    // (SQLite's own text only says "not authorized"); empty otherwise.
    const std::string& LastRefusal() const { return m_refusal; }

    // An error when `sql` (one statement, in SQLite's dialect) is a VACUUM INTO.
    static Status CheckStatement(const std::string& sql);

    // Whether `path` (a file that may not exist yet) lies inside `folder`, once symbolic
    // links of both are resolved. Both are real paths of this machine.
    static bool InsideFolder(const std::string& folder, const std::string& path);

private:
    static int Authorize(void* self, int action, const char* a, const char* b, const char* database,
                         const char* trigger);
    int Decide(int action, const char* a, const char* b);

    std::string m_folder;  // the folder the store's data lives in; resolved
    bool m_declaring = false;
    std::string m_refusal;
};

}  // namespace orv::engine
