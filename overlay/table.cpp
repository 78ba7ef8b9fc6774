// Creation, connection and teardown of overlay tables. Each lifecycle event
// reaches the inner module as the same event: CREATE VIRTUAL TABLE as xCreate,
// a reconnect as xConnect, a disconnect as xDisconnect, DROP TABLE as
// xDestroy. A module without xCreate (eponymous) makes its tables through
// xConnect, and one without xDestroy ends them through xDisconnect.
#include "overlay/callbacks.h"
#include "common/file_set_journal.h"
#include "common/guard.h"
#include "common/inner_files.h"
#include "overlay/file_path.h"
#include "overlay/inner_cursors.h"
#include "overlay/records.h"

namespace {

using Constructor = int (*)(sqlite3*, void*, int, const char* const*, sqlite3_vtab**, char**);

Constructor constructorOf(const sqlite3_module* module, bool create)
{
    if (create && module->xCreate)
        return module->xCreate;
    return module->xConnect ? module->xConnect : module->xCreate;
}

int disconnectInner(sqlite3_vtab* inner)
{
    const sqlite3_module* module = inner->pModule;
    return (module->xDisconnect ? module->xDisconnect : module->xDestroy)(inner);
}

int destroyInner(sqlite3_vtab* inner)
{
    const sqlite3_module* module = inner->pModule;
    return (module->xDestroy ? module->xDestroy : module->xDisconnect)(inner);
}

// Whether the schema the inner module declared for the table is WITHOUT ROWID,
// whatever callbacks the module has: such a table has no rowid by any name.
// Without the column metadata routine (a build of SQLite without it), only a
// module without xRowid tells.
bool declaredWithoutRowid(OverlayTable* table, const char* name)
{
    if (!table->registration->innerModule->xRowid)
        return true;
    if (!sqlite3_api->table_column_metadata)
        return false;
    for (const char* rowid : {"rowid", "_rowid_", "oid"}) {
        if (sqlite3_table_column_metadata(table->db, table->schema.constData(), name, rowid, nullptr, nullptr, nullptr,
                                          nullptr, nullptr) == SQLITE_OK)
            return false;
    }
    return true;
}

void makeInnerTable(OverlayTable* table, bool create, int argc, const char* const* argv)
{
    const OverlayRegistration& registration = *table->registration;
    Constructor construct = constructorOf(registration.innerModule, create);
    if (!construct)
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("module %1 wraps a module that makes no tables: it has neither "
                                                     "xCreate nor xConnect")
                                          .arg(QString::fromUtf8(argv[0])));
    char* message = nullptr;
    sqlite3_vtab* inner = nullptr;
    int rc = construct(table->db, registration.innerClientData, argc, argv, &inner, &message);
    if (rc != SQLITE_OK) {
        const QByteArray text(message ? message : "");
        sqlite3_free(message);
        throw ErrorPair(rc, text);
    }
    sqlite3_free(message);
    inner->pModule = registration.innerModule;
    table->inner = inner;
    // A table WITHOUT ROWID identifies rows by a key the change log cannot hold.
    if (declaredWithoutRowid(table, argv[2]))
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("module %1 wraps a table WITHOUT ROWID, which the overlay cannot "
                                                     "edit")
                                          .arg(QString::fromUtf8(argv[0])));
}

// The overlay decides OR REPLACE and OR IGNORE itself, before changing anything.
void enableConflictModes(sqlite3* db)
{
    sqlite3_vtab_config(db, SQLITE_VTAB_CONSTRAINT_SUPPORT, 1);
}

// A save of a set of files that a crash stopped midway ends before the
// inner table reads them, so that it never reads a mix of old and new.
void finishSavedSet(int argc, const char* const* argv)
{
    if (argc < 4)
        return;
    const QByteArray typed = parseFilePath(argc, argv);
    std::string error;
    if (!typed.isEmpty() && !finishFileSet(typed.toStdString(), error))
        throw ErrorPair(SQLITE_CANTOPEN, QByteArray::fromStdString(error));
}

int construct(bool create, sqlite3* db, void* clientData, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
              char** pzErr)
{
    OverlayTable* table = newRecord<OverlayTable>();
    if (!table)
        return SQLITE_NOMEM;
    table->registration = static_cast<OverlayRegistration*>(clientData);
    table->innerRows.table = table;
    table->db = db;
    // SQLite counts a table made inside a transaction in it without xBegin.
    table->untold = create && !sqlite3_get_autocommit(db);
    int rc = runGuarded(
        [&] {
            table->schema = QByteArray(argv[1]);
            // A table made before HOME pointed there still reads, and can be dropped.
            table->historyFile = HistoryFile::fileAt(sqlite3_db_filename(db, table->schema.constData()));
            if (create)
                refuseInHistoryFile(*table, QString::fromUtf8(argv[2]));
            finishSavedSet(argc, argv);
            makeInnerTable(table, create, argc, argv);
            table->arguments.assign(argv, argv + argc);
            table->filePath = canonicalFilePath(parseFilePath(argc, argv));
            // The files as the inner table opened them: what a log begun by
            // this table's writes is made over, whatever comes by the first write.
            const std::vector<FileStamp> stamps = stampFiles(table->filePath);
            enableConflictModes(db);
            const QString name = QString::fromUtf8(argv[2]);
            table->log = History::require(table->registration->history)
                             ->openTable(name, table->registration,
                                         {table, db, table->schema, table->filePath, stamps, &table->innerRows});
            return SQLITE_OK;
        },
        [pzErr](char* message) {
            sqlite3_free(*pzErr);
            *pzErr = message;
        });
    if (rc != SQLITE_OK) {
        // A refused CREATE leaves nothing of the inner table behind: it never came into being.
        if (table->inner) {
            sqlite3_free(std::exchange(table->inner->zErrMsg, nullptr));
            (create ? destroyInner : disconnectInner)(table->inner);
        }
        deleteRecord(table);
        return rc;
    }
    *ppVtab = &table->base;
    return SQLITE_OK;
}

// A table's log is dropped or renamed at once, in a transaction of its own:
// inside the host's transaction, a ROLLBACK would bring the table back (or
// under its old name) while its log stayed dropped (or renamed).
void requireAutocommit(OverlayTable* table, const char* what)
{
    if (logOf(table) && !sqlite3_get_autocommit(table->db))
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("cannot %1 table %2 inside a transaction: its change log "
                                                     "changes at once, outside any transaction")
                                          .arg(QString::fromUtf8(what), nameOf(*table)));
}

// With dropped, the name goes on the table's connection and schema, from every
// table there that SQLite still holds (see OpenTables::drop).
void forgetTable(OverlayTable* table, bool dropped = false) noexcept
{
    forgetUntold(table);
    const std::shared_ptr<History> history = historyOf(*table);
    if (history && dropped)
        history->dropTables(table->log, table->db, table->schema);
    else if (history && !table->renamed)
        history->closeTable(table->log, table);
    sqlite3_free(table->base.zErrMsg);
    deleteRecord(table);
}

} // namespace

int overlayCreate(sqlite3* db, void* clientData, int argc, const char* const* argv, sqlite3_vtab** ppVtab, char** pzErr)
{
    return construct(true, db, clientData, argc, argv, ppVtab, pzErr);
}

int overlayConnect(sqlite3* db, void* clientData, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
                   char** pzErr)
{
    return construct(false, db, clientData, argc, argv, ppVtab, pzErr);
}

int overlayDisconnect(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeKeptCursors(table->inner);
    disconnectInner(table->inner);
    forgetTable(table);
    return SQLITE_OK;
}

int overlayDestroy(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    int rc = guardTableCallback(vtab, [&] {
        const std::shared_ptr<History> history = historyOf(*table);
        if (!logOf(table) || !history)
            return SQLITE_OK;
        requireAutocommit(table, "drop");
        history->dropLog(*table->log, table->db);
        return SQLITE_OK;
    });
    if (rc != SQLITE_OK)
        return rc;
    closeKeptCursors(table->inner);
    rc = destroyInner(table->inner);
    if (rc != SQLITE_OK)
        return carryInnerError(table, rc);
    forgetTable(table, true);
    return SQLITE_OK;
}

int overlayRename(sqlite3_vtab* vtab, const char* newName)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    int rc = guardTableCallback(vtab, [&] {
        requireAutocommit(table, "rename");
        return SQLITE_OK;
    });
    if (rc != SQLITE_OK)
        return rc;
    if (table->inner->pModule->xRename) {
        rc = table->inner->pModule->xRename(table->inner, newName);
        if (rc != SQLITE_OK)
            return carryInnerError(table, rc);
    }
    return guardTableCallback(vtab, [&] {
        const std::shared_ptr<History> history = History::require(table->registration->history);
        history->renameLog(table->log, QString::fromUtf8(newName), table->db);
        history->closeTable(table->log, table);
        table->renamed = true;
        return SQLITE_OK;
    });
}
