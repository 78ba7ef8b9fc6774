// The stored rows a cursor visits: what its plan's equalities say of the rows
// wanted, the next stored row they leave possible, and a stored row read once.
#pragma once

#include "overlay/plan.h"
#include "overlay/records.h"

#include <optional>

// The stored row of rowid as the cursor read it last, or read now; null when
// the log holds none (taken away while the scan went on).
const RowSnapshot* storedRow(OverlayCursor* cursor, ChangeLog& log, sqlite3_int64 rowid);

// Remembers what the plan's equality constraints say of the rows wanted.
void noteWantedRows(OverlayCursor* cursor, const Plan& plan, int argc, sqlite3_value** argv);

// The next stored row at or above the floor that the plan's constraints
// leave possible; asked once per inner row, found again only when the floor
// or the log changed.
std::optional<sqlite3_int64> nextStoredRow(OverlayCursor* cursor, ChangeLog& log);
