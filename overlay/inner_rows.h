// Questions the overlay puts to the inner rows in SQL, on the table itself
// while its cursors show the inner rows alone, so that the inner module is
// driven through its own plans; and what they tell of the module.
#pragma once

#include "common/identifiers.h"
#include "overlay/records.h"

#include <optional>
#include <utility>

// The name of the inner rowid in the overlay's questions: the first of
// "rowid", "_rowid_" and "oid" that no column of the table takes (a CSV
// file's header may name one "rowid"). Throws ErrorPair.
const QByteArray& rowidNameOf(OverlayTable& table);

// The select list of every column of the table, hidden ones too, each quoted;
// made when first asked. Throws ErrorPair.
const QByteArray& allColumnsOf(OverlayTable& table);

// Runs query (a select list and FROM) on the table and hands its first row,
// if any, to onRow. False when the module cannot answer without arguments (a
// table-valued module); rowid, when given, is bound to a "rowid = ?" added.
// Throws ErrorPair. A question asked while another is being planned (see
// findsRowsByRowid) leaves the table as that one set it.
template <typename OnRow>
bool askInnerRows(OverlayTable& table, const QByteArray& query, std::optional<sqlite3_int64> rowid, OnRow&& onRow)
{
    const QByteArray sql = query + quotedIdentifier(QString::fromUtf8(table.schema)).toUtf8() + '.' +
                           quotedIdentifier(nameOf(table)).toUtf8() +
                           (rowid ? " WHERE " + rowidNameOf(table) + " = ?" : QByteArray());
    sqlite3_stmt* statement = nullptr;
    const bool innerOnly = std::exchange(table.innerOnly, true);
    int rc = sqlite3_prepare_v2(table.db, sql.constData(), -1, &statement, nullptr);
    if (rc == SQLITE_OK && rowid)
        rc = sqlite3_bind_int64(statement, 1, *rowid);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(statement);
    table.innerOnly = innerOnly;
    const QByteArray message(sqlite3_errmsg(table.db));
    try {
        if (rc == SQLITE_ROW)
            onRow(statement);
    } catch (...) {
        sqlite3_finalize(statement);
        throw;
    }
    sqlite3_finalize(statement);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE)
        return true;
    if (rc == SQLITE_CONSTRAINT || message.contains("no query solution"))
        return false;
    throw ErrorPair(rc, message);
}

// Whether the inner module finds a row by "rowid = ?" (spatialite's
// VirtualShape, VirtualDbf, VirtualText, VirtualXL and VirtualGeoJSON find
// none). Asked once per
// table, of the first row a scan gives; a table whose module gives no row to
// ask about is taken at its word. Throws ErrorPair.
bool findsRowsByRowid(OverlayTable& table);
