// The declared types come from the host's schema (PRAGMA table_xinfo, which
// counts hidden columns as xColumn does) and are read by SQLite's own rule
// for affinities: INT first, then CHAR, CLOB or TEXT, then BLOB or none.
#include "overlay/column_types.h"

#include "overlay/records.h"

namespace {

bool hasBlobAffinity(QByteArray type)
{
    type = type.toUpper();
    for (const char* other : {"INT", "CHAR", "CLOB", "TEXT"}) {
        if (type.contains(other))
            return false;
    }
    return type.trimmed().isEmpty() || type.contains("BLOB");
}

// One character per column, '1' where the column has BLOB affinity; empty
// when the schema could not be read.
QByteArray readBlobColumns(OverlayTable* table)
{
    sqlite3_stmt* statement = nullptr;
    const QByteArray name = nameOf(*table).toUtf8();
    QByteArray columns;
    if (sqlite3_prepare_v2(table->db, "SELECT type FROM pragma_table_xinfo(?1, ?2) ORDER BY cid", -1, &statement,
                           nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, name.constData(), name.size(), SQLITE_STATIC);
        sqlite3_bind_text(statement, 2, table->schema.constData(), table->schema.size(), SQLITE_STATIC);
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const auto type = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            columns += hasBlobAffinity(QByteArray(type ? type : "")) ? '1' : '0';
        }
        if (sqlite3_reset(statement) != SQLITE_OK)
            columns.clear();
    }
    sqlite3_finalize(statement);
    return columns;
}

} // namespace

bool comparesWithoutConversion(OverlayTable* table, int column)
{
    if (!table->blobColumns)
        table->blobColumns = readBlobColumns(table);
    return column >= 0 && column < table->blobColumns->size() && table->blobColumns->at(column) == '1';
}
