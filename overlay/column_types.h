// What the declared types of an overlay table's columns mean for its queries:
// whether SQLite compares a column's values with a bound value as they are.
#pragma once

struct OverlayTable;

// Whether the column has BLOB affinity (no declared type, or a BLOB one), so
// that SQLite applies no conversion when it compares the column with a bound
// value or literal. Asked of the host's schema once per table; false when the
// schema cannot tell.
bool comparesWithoutConversion(OverlayTable* table, int column);
