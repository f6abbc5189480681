// The rows of a PostgreSQL result for the engine's rowset: a server cursor fetched in
// batches (a query's rows, in bounded memory), or one result held whole (what a command
// that is no query returns, such as SHOW or INSERT ... RETURNING).
//
// Ownership: each source shares its Link and closes its cursor when destroyed. Used by
// the one thread that uses its rowset.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/pg/link.h"
#include "engine/pg/types.h"
#include "engine/rowset.h"

namespace orv::engine::pg {

// Rows fetched from the server per round trip.
inline constexpr int kFetchBatch = 1000;

class ResultSource final : public RowSource {
public:
    // Over the cursor `cursor` (already declared on `link`), or, when `cursor` is empty,
    // over `result` alone. `result` is the cursor's first batch, or the whole result.
    ResultSource(std::shared_ptr<Link> link, std::string cursor, Result result);
    ~ResultSource() override;

    Status Describe(std::vector<RowsetColumn>& columns) override;
    Status Step(bool& gotRow) override;
    void Load(std::vector<StoredValue>& values) override;
    Status Rewind() override;
    Status Skip(DBCOUNTITEM count, DBCOUNTITEM& skipped) override;
    bool SkipsCheaply() const override { return true; }

private:
    Status Fetch(const std::string& command, Result& into);
    // Rows of the batch after the current one.
    DBCOUNTITEM Remaining() const;

    std::shared_ptr<Link> m_link;
    std::string m_cursor;  // empty for a result held whole
    Result m_batch;
    int m_row = -1;  // the current row of m_batch; -1 before its first
    std::vector<TextForm> m_forms;
};

}  // namespace orv::engine::pg
