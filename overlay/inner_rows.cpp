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
            askInnerRows(table, "SELECT " + rowidNameOf(table) + " FROM ", std::nullopt,
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

const QByteArray& rowidNameOf(OverlayTable& table)
{
    if (table.rowidName)
        return *table.rowidName;
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(
        table.db,
        "SELECT alias FROM (SELECT 1 AS rank, 'rowid' AS alias UNION ALL SELECT 2, '_rowid_' UNION ALL "
        "SELECT 3, 'oid') WHERE alias NOT IN (SELECT name COLLATE NOCASE FROM "
        "pragma_table_xinfo(?1, ?2)) ORDER BY rank LIMIT 1",
        -1, &statement, nullptr);
    const QByteArray name = nameOf(table).toUtf8();
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(statement, 1, name.constData(), name.size(), SQLITE_STATIC);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(statement, 2, table.schema.constData(), table.schema.size(), SQLITE_STATIC);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(statement);
    // With all three taken by columns, the rowid cannot be named at all.
    const QByteArray alias = rc == SQLITE_ROW
                                 ? QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)))
                                 : QByteArray("rowid");
    const QByteArray message(sqlite3_errmsg(table.db));
    sqlite3_finalize(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw ErrorPair(rc, message);
    return *(table.rowidName = alias);
}

const QByteArray& allColumnsOf(OverlayTable& table)
{
    if (table.allColumns)
        return *table.allColumns;
    QByteArray columns;
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(table.db, "SELECT name FROM pragma_table_xinfo(?1, ?2)", -1, &statement, nullptr);
    const QByteArray name = nameOf(table).toUtf8();
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(statement, 1, name.constData(), name.size(), SQLITE_STATIC);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(statement, 2, table.schema.constData(), table.schema.size(), SQLITE_STATIC);
    while (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
        rc = SQLITE_OK;
        const auto column = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        columns += (columns.isEmpty() ? "" : ", ") + quotedIdentifier(QString::fromUtf8(column)).toUtf8();
    }
    const QByteArray message(sqlite3_errmsg(table.db));
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE)
        throw ErrorPair(rc, message);
    table.allColumns = columns;
    return *table.allColumns;
}
