// Whether the inner module finds its rows by rowid, asked once per table
// while the first plan that could hand it a constraint on the rowid is made.
#include "overlay/inner_rows.h"

bool findsRowsByRowid(OverlayTable& table)
{
    if (table.rowidLookup == RowidLookup::Unknown) {
        // The questions are planned as any other, the rowid handed on.
        table.rowidLookup = RowidLookup::Asking;
        try {
            std::optional<sqlite3_int64> first;
            askInnerRows(table, "SELECT rowid FROM ", std::nullopt,
                         [&first](sqlite3_stmt* statement) { first = sqlite3_column_int64(statement, 0); });
            bool found = !first;
            if (first)
                askInnerRows(table, "SELECT 0 FROM ", first, [&found](sqlite3_stmt*) { found = true; });
            table.rowidLookup = found ? RowidLookup::Finds : RowidLookup::FindsNothing;
        } catch (...) {
            table.rowidLookup = RowidLookup::Unknown;
            throw;
        }
    }
    return table.rowidLookup != RowidLookup::FindsNothing;
}
