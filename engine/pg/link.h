// One connection to a PostgreSQL server (libpq) and what the provider's objects share
// about it: the transaction level, the open cursors, and the turning of the server's
// errors into the engine's Status (the server's message, its SQLSTATE and the position it
// points at).
//
// Ownership: a Link is shared (std::shared_ptr) by the data source that opened it, the
// session that uses it and every rowset reading a cursor on it; the PGconn closes with the
// last of them. A Link is used by one thread at a time, as its session is.
#pragma once

#include <libpq-fe.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/error.h"

namespace orv::engine::pg {

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

// libpq connection parameters as keyword/value pairs, in the order libpq is to read them.
using ConnectParameters = std::vector<std::pair<std::string, std::string>>;

class Link {
public:
    // Connects; a refused connection gives the server's words and a SQLSTATE.
    static Status Open(const ConnectParameters& parameters, std::shared_ptr<Link>& out);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    PGconn* Conn() const { return m_conn; }
    // False once the server has gone away or the connection broke.
    bool Alive() const { return PQstatus(m_conn) == CONNECTION_OK; }

    // Runs one command. A result that is not `expected` (PGRES_COMMAND_OK or
    // PGRES_TUPLES_OK, either when 0) is a failure with the server's words. `result`
    // receives the result when given.
    Status Run(const std::string& sql, Result* result = nullptr, int expected = 0);
    // The same with text parameters ($1, $2, ...; a null pointer is SQL NULL).
    Status RunWith(const std::string& sql, const std::vector<const char*>& parameters, Result* result);
    // Runs a statement of the consumer's. Inside a transaction it runs under a savepoint,
    // so that a failed statement leaves the transaction usable, as on database files.
    Status RunGuarded(const std::string& sql, Result& result);

    // Transactions: 0 autocommit, 1 a transaction, more: savepoints inside it.
    unsigned TransactionLevel() const { return m_level; }
    void TransactionStarted() { ++m_level; }
    // Ends the innermost level; a rolled-back level takes the cursors declared in it along.
    void TransactionEnded(bool committed);

    // Cursors: a name for a new one, noted as open at the current level.
    std::string OpenCursor();
    // True (and forgotten) when the cursor is still open on the server and must be closed.
    bool ForgetCursor(const std::string& name);

private:
    explicit Link(PGconn* conn) : m_conn(conn) {}
    Status Finish(PGresult* raw, Result* result, int expected);

    PGconn* m_conn;  // owned
    unsigned m_level = 0;
    unsigned m_cursorCount = 0;
    std::map<std::string, unsigned> m_cursors;  // open cursors and the level each was declared at
};

// The Status of a failed command: the server's message with its detail and hint, its
// SQLSTATE and, as the native code, the character position it points at (0 without one).
// Without a result (a broken connection) libpq's own words and SQLSTATE 08006.
Status ServerFailure(PGconn* conn, const PGresult* result);

}  // namespace orv::engine::pg
