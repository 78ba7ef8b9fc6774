// Change capture: every INSERT, UPDATE and DELETE on an overlay table goes to
// the table's change log, made on the first write; the inner table is never written.
#include "overlay/callbacks.h"
#include "overlay/guard.h"
#include "overlay/records.h"
#include "store/modification_manager_factory.h"

namespace {

constexpr const char* incorrectUseMessage = "The incorrect use of vtab. The query is not DELETE/INSERT/UPDATE";

int refuse(sqlite3_vtab* vtab)
{
    setTableError(vtab, api().mprintf("%s", incorrectUseMessage));
    return SQLITE_MISUSE;
}

bool isNull(sqlite3_value* value)
{
    return api().value_type(value) == SQLITE_NULL;
}

sqlite3_int64 rowidOf(sqlite3_value* value)
{
    return api().value_int64(value);
}

// A rowid given by the statement must be free: not one of the inner table's
// (visible or deleted) and not one the log stores.
void requireFreeRowid(const OverlayTable& table, sqlite3_int64 rowid)
{
    if (rowid < table.firstNewRowid || table.manager->isRowModified(rowid)) {
        throw ErrorPair(SQLITE_CONSTRAINT, api().mprintf("UNIQUE constraint failed: %s.rowid",
                                                         table.tableName.toUtf8().constData()));
    }
}

// The first rowid from firstNewRowid on that the log does not store.
sqlite3_int64 firstFreeRowid(const OverlayTable& table)
{
    std::optional<qint64> rowid = table.manager->firstUnmodifiedRowidFrom(table.firstNewRowid);
    if (!rowid)
        throw ErrorPair(SQLITE_FULL, api().mprintf("database or disk is full"));
    return *rowid;
}

int insertRow(OverlayTable& table, int argc, sqlite3_value** argv, sqlite3_int64* rowid)
{
    sqlite3_int64 newRowid;
    if (isNull(argv[1])) {
        newRowid = firstFreeRowid(table);
    } else {
        newRowid = rowidOf(argv[1]);
        requireFreeRowid(table, newRowid);
    }
    *rowid = newRowid;
    table.manager->insertRow(newRowid, argc, argv);
    return SQLITE_OK;
}

int updateRow(OverlayTable& table, int argc, sqlite3_value** argv)
{
    if (isNull(argv[1])) {
        setTableError(&table.base, api().mprintf("datatype mismatch"));
        return SQLITE_MISMATCH;
    }
    const sqlite3_int64 oldRowid = rowidOf(argv[0]);
    const sqlite3_int64 newRowid = rowidOf(argv[1]);
    if (newRowid != oldRowid)
        requireFreeRowid(table, newRowid);
    table.manager->updateRow(oldRowid, newRowid, argc, argv);
    return SQLITE_OK;
}

} // namespace

int overlayUpdate(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid)
{
    OverlayTable* table = overlayTable(vtab);
    return guardTableCallback(vtab, [&] {
        if (!table->manager) {
            table->manager =
                ModificationManagerFactory::instance().createManager(table->filePath, table->tableName, true);
            table->registration->logs.insert(table->logKey, table->manager);
        }
        if (argc == 1) {
            if (isNull(argv[0]))
                return refuse(vtab);
            table->manager->deleteRow(rowidOf(argv[0]));
            return SQLITE_OK;
        }
        if (argc < 1)
            return refuse(vtab);
        if (isNull(argv[0]))
            return insertRow(*table, argc, argv, rowid);
        return updateRow(*table, argc, argv);
    });
}
