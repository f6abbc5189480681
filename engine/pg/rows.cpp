#include "engine/pg/rows.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/utf.h"

namespace orv::engine::pg {

ResultSource::ResultSource(std::shared_ptr<Link> link, std::string cursor, Result result)
    : m_link(std::move(link)), m_cursor(std::move(cursor)), m_batch(std::move(result)) {}

ResultSource::~ResultSource() {
    m_batch.reset();
    // A cursor still open on a live server is closed; one that ended with its transaction,
    // or with the connection, is not there to close.
    if (!m_cursor.empty() && m_link->ForgetCursor(m_cursor) && m_link->Alive()) m_link->Run("CLOSE " + m_cursor);
}

Status ResultSource::Describe(std::vector<RowsetColumn>& columns) {
    const int count = PQnfields(m_batch.get());
    columns.resize(static_cast<std::size_t>(count));
    m_forms.resize(columns.size());
    for (int i = 0; i < count; ++i) {
        RowsetColumn& column = columns[static_cast<std::size_t>(i)];
        const char* name = PQfname(m_batch.get(), i);
        column.name = platform::Utf8ToUtf16(name ? name : "");
        PgType type = MapPgType(PQftype(m_batch.get(), i), PQfmod(m_batch.get(), i));
        column.type = type.type;
        m_forms[static_cast<std::size_t>(i)] = type.form;
    }
    return Status::Success();
}

Status ResultSource::Fetch(const std::string& command, Result& into) {
    into.reset();
    // Inside a transaction the cursor's query runs as it is fetched: a failing row must not
    // end the consumer's transaction.
    return m_link->RunGuarded(command + " " + m_cursor, into);
}

DBCOUNTITEM ResultSource::Remaining() const {
    const int rows = m_batch ? PQntuples(m_batch.get()) : 0;
    return static_cast<DBCOUNTITEM>(rows - m_row - 1 > 0 ? rows - m_row - 1 : 0);
}

Status ResultSource::Step(bool& gotRow) {
    gotRow = false;
    if (Remaining() == 0) {
        if (m_cursor.empty()) return Status::Success();
        Status status = Fetch("FETCH FORWARD " + std::to_string(kFetchBatch) + " FROM", m_batch);
        m_row = -1;
        if (!status.Ok()) return status;
        if (PQntuples(m_batch.get()) == 0) return Status::Success();
    }
    ++m_row;
    gotRow = true;
    return Status::Success();
}

void ResultSource::Load(std::vector<StoredValue>& values) {
    PGresult* batch = m_batch.get();
    for (std::size_t c = 0; c < values.size(); ++c) {
        const int column = static_cast<int>(c);
        const char* text = PQgetisnull(batch, m_row, column) ? nullptr : PQgetvalue(batch, m_row, column);
        LoadText(text, PQgetlength(batch, m_row, column), m_forms[c], values[c]);
    }
}

Status ResultSource::Rewind() {
    if (m_cursor.empty()) {
        m_row = -1;
        return Status::Success();
    }
    // Before the first row, with no batch: the next Step fetches from the start.
    Result moved;
    Status status = Fetch("MOVE ABSOLUTE 0 IN", moved);
    m_batch.reset();
    m_row = -1;
    return status;
}

Status ResultSource::Skip(DBCOUNTITEM count, DBCOUNTITEM& skipped) {
    skipped = 0;
    const DBCOUNTITEM inBatch = Remaining();
    if (count <= inBatch || m_cursor.empty()) {
        skipped = std::min(count, inBatch);
        m_row += static_cast<int>(skipped);
        return Status::Success();
    }
    // Past the batch: the server moves the cursor without sending the rows.
    Result moved;
    const DBCOUNTITEM rest = count - inBatch;
    const std::string distance = rest > static_cast<DBCOUNTITEM>(INT64_MAX) ? "ALL" : std::to_string(rest);
    Status status = Fetch("MOVE FORWARD " + distance + " IN", moved);
    m_batch.reset();
    m_row = -1;
    if (!status.Ok()) return status;
    const char* tuples = PQcmdTuples(moved.get());
    skipped = inBatch + static_cast<DBCOUNTITEM>(std::strtoull(tuples ? tuples : "0", nullptr, 10));
    return Status::Success();
}

}  // namespace orv::engine::pg
