// A table's edits written into its inner table through the inner module's own
// transaction: the rows the log deleted, updated and inserted, all or none.
#pragma once

#include "changelog/change_log.h"
#include "overlay/records.h"

#include <vector>

class InnerChanges {
public:
    // Reads log's net changes over table as the table shows them, before any
    // is applied. Throws ErrorPair.
    InnerChanges(OverlayTable& table, ChangeLog& log);
    ~InnerChanges();
    InnerChanges(const InnerChanges&) = delete;
    InnerChanges& operator=(const InnerChanges&) = delete;

    // The rows changed: deleted, updated and inserted.
    sqlite3_int64 rows() const { return changed; }

    // Applies the changes through the inner module's xBegin, xUpdate, xSync
    // and xCommit inside a savepoint of the table's connection (which takes
    // back what a module writes through SQL): deleted rows first, then rows
    // moved from their rowid, then updates in place, then inserted and moved
    // rows at their rowids. On any failure xRollback, the savepoint rolled
    // back, and ErrorPair thrown naming the row; nothing applied.
    void apply();

private:
    // The arguments of one xUpdate call, owned.
    using Call = std::vector<sqlite3_value*>;

    void read(ChangeLog& log);
    // Returns the rowid the module gave the row.
    sqlite3_int64 callInner(const Call& call, const char* what);
    void requireInserted(const std::vector<sqlite3_int64>& rowids);

    OverlayTable& table;
    std::vector<Call> calls;
    sqlite3_int64 changed = 0;
};
