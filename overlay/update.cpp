// Change capture: every INSERT, UPDATE and DELETE on an overlay table goes to
// the table's change log, made on the first write; the inner table is never
// written. Each row is recorded completely or not at all, inside the host's
// transaction when one is open.
#include "changelog/values.h"
#include "common/identifiers.h"
#include "overlay/callbacks.h"
#include "common/guard.h"
#include "overlay/inner_cursors.h"
#include "overlay/inner_rows.h"
#include "overlay/records.h"

#include <limits>
#include <vector>

namespace {

constexpr const char* incorrectUseMessage = "The incorrect use of vtab. The query is not DELETE/INSERT/UPDATE";
// Where new rowids start when the inner rows cannot be listed without
// arguments (a table-valued module): far above anything such a module numbers.
constexpr sqlite3_int64 unlistedFirstRowid = sqlite3_int64(1) << 62;

bool isNull(sqlite3_value* value)
{
    return sqlite3_value_type(value) == SQLITE_NULL;
}

ErrorPair uniqueRowidError(const OverlayTable& table)
{
    return ErrorPair(SQLITE_CONSTRAINT, QStringLiteral("UNIQUE constraint failed: %1.rowid").arg(nameOf(table)));
}

// xUpdate's arguments. In a one-pass statement they are the values the inner
// cursor handed out, and some modules free those as soon as another cursor of
// the table opens, as the questions put to the inner rows do: they are copied
// before the first question, and only then, since most writes ask none.
class Arguments {
public:
    Arguments(int argc, sqlite3_value** argv) : argc(argc), argv(argv) {}
    ~Arguments()
    {
        for (sqlite3_value* value : copies)
            sqlite3_value_free(value);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    void own()
    {
        if (!copies.empty() || argc == 0)
            return;
        copies.reserve(static_cast<size_t>(argc));
        for (int i = 0; i < argc; ++i) {
            copies.push_back(sqlite3_value_dup(argv[i]));
            if (!copies.back())
                throw ErrorPair(SQLITE_NOMEM, QByteArray("out of memory"));
        }
        argv = copies.data();
    }

    const int argc;
    sqlite3_value** argv;

private:
    std::vector<sqlite3_value*> copies;
};

// The table, its log and the arguments of one write.
struct Write {
    OverlayTable& table;
    ChangeLog& log;
    Arguments& arguments;
    // Stored with the write's first change, so that a write refused before it
    // (a taken rowid under OR IGNORE) leaves the history file as it was.
    std::optional<sqlite3_int64> foundFirstNewRowid;
};

// A query that yields one integer, as askInnerRows runs it; none when the
// module cannot answer.
std::optional<std::optional<sqlite3_int64>> askInnerRows(Write& write, const char* query,
                                                         std::optional<sqlite3_int64> rowid = std::nullopt)
{
    write.arguments.own();
    std::optional<sqlite3_int64> value;
    const bool answered = askInnerRows(write.table, QByteArray(query), rowid, [&value](sqlite3_stmt* statement) {
        if (sqlite3_column_type(statement, 0) != SQLITE_NULL)
            value = sqlite3_column_int64(statement, 0);
    });
    return answered ? std::optional<std::optional<sqlite3_int64>>(value) : std::nullopt;
}

// One above the largest inner rowid: where rowids of new rows begin. The log
// keeps it for its life.
sqlite3_int64 firstNewRowid(Write& write)
{
    if (const std::optional<qint64> known = write.log.firstNewRowid())
        return *known;
    if (!write.foundFirstNewRowid) {
        const QByteArray query = "SELECT max(" + rowidNameOf(write.table) + ") FROM ";
        const auto largest = askInnerRows(write, query.constData());
        if (!largest)
            write.foundFirstNewRowid = unlistedFirstRowid;
        else if (largest->value_or(0) == std::numeric_limits<sqlite3_int64>::max())
            throw ErrorPair(SQLITE_FULL, QByteArray("database or disk is full"));
        else
            write.foundFirstNewRowid = std::max<sqlite3_int64>(largest->value_or(0) + 1, 1);
    }
    return *write.foundFirstNewRowid;
}

// The log, holding the first new rowid the write found: to be changed now.
ChangeLog& changedLog(Write& write)
{
    if (write.foundFirstNewRowid && !write.log.firstNewRowid())
        write.log.setFirstNewRowid(*write.foundFirstNewRowid);
    return write.log;
}

// New rows take rowids above the inner rows that the log does not hold yet:
// an inner rowid, even of a deleted row, is never given to another row.
bool isFree(Write& write, sqlite3_int64 rowid)
{
    return rowid >= firstNewRowid(write) && !write.log.isStored(rowid);
}

// Whether rowid shows a row, which OR REPLACE may then replace: one the log
// holds, or an inner row the log did not delete (asked of the inner module).
bool isShown(Write& write, sqlite3_int64 rowid)
{
    if (write.log.isStored(rowid))
        return true;
    if (rowid >= firstNewRowid(write) || write.log.isRowDeleted(rowid))
        return false;
    const auto found = askInnerRows(write, "SELECT count(*) FROM ", rowid);
    return !found || found->value_or(0) > 0;
}

// OR REPLACE replaces a row that shows; every other conflict fails before
// anything changed, and SQLite applies the statement's ON CONFLICT mode.
void requireReplace(Write& write, sqlite3_int64 rowid)
{
    if (sqlite3_vtab_on_conflict(write.table.db) != SQLITE_REPLACE || !isShown(write, rowid))
        throw uniqueRowidError(write.table);
}

sqlite3_int64 rowidArgument(sqlite3_value* value)
{
    if (sqlite3_value_type(value) != SQLITE_INTEGER)
        throw ErrorPair(SQLITE_MISMATCH, QByteArray("datatype mismatch"));
    return sqlite3_value_int64(value);
}

int insertRow(Write& write, sqlite3_int64* rowid)
{
    ChangeLog& log = write.log;
    sqlite3_value** argv = write.arguments.argv;
    sqlite3_int64 newRowid;
    if (isNull(argv[1])) {
        std::optional<qint64> free = log.firstUnmodifiedRowidFrom(firstNewRowid(write));
        if (!free)
            throw ErrorPair(SQLITE_FULL, QByteArray("database or disk is full"));
        newRowid = *free;
    } else {
        newRowid = rowidArgument(argv[1]);
        if (!isFree(write, newRowid)) {
            requireReplace(write, newRowid);
            // The row that shows gives way: an inner row takes the new values
            // as an update, a row of the log is deleted first.
            if (newRowid < firstNewRowid(write)) {
                changedLog(write).updateRow(newRowid, newRowid, write.arguments.argc, write.arguments.argv);
                *rowid = newRowid;
                return SQLITE_OK;
            }
            changedLog(write).deleteRow(newRowid);
        }
    }
    changedLog(write).insertRow(newRowid, write.arguments.argc, write.arguments.argv);
    *rowid = newRowid;
    return SQLITE_OK;
}

int updateRow(Write& write)
{
    const sqlite3_int64 oldRowid = rowidArgument(write.arguments.argv[0]);
    const sqlite3_int64 newRowid = rowidArgument(write.arguments.argv[1]);
    if (newRowid != oldRowid && !isFree(write, newRowid)) {
        requireReplace(write, newRowid);
        if (newRowid < firstNewRowid(write)) {
            changedLog(write).deleteRow(oldRowid);
            write.log.updateRow(newRowid, newRowid, write.arguments.argc, write.arguments.argv);
            return SQLITE_OK;
        }
        changedLog(write).deleteRow(newRowid);
    }
    changedLog(write).updateRow(oldRowid, newRowid, write.arguments.argc, write.arguments.argv);
    return SQLITE_OK;
}

int recordWrite(OverlayTable& table, Arguments& arguments, sqlite3_int64* rowid)
{
    const int argc = arguments.argc;
    sqlite3_value** argv = arguments.argv;
    if (argc < 1 || (argc == 1 && isNull(argv[0]))) {
        setTableError(&table.base, sqlite3_mprintf("%s", incorrectUseMessage));
        return SQLITE_MISUSE;
    }
    const std::shared_ptr<History> history = History::require(table.registration->history);
    std::shared_ptr<StoredChangeLog> held = logOf(&table);
    // An UPDATE or DELETE found its rows through a cursor of the statement,
    // which checked the files; an INSERT checks them at its first row.
    const bool inserting = argc > 1 && isNull(argv[0]);
    if (held && inserting && table.filesCheckedAt != sqlite3_total_changes(table.db))
        requireUnchangedFiles(&table);
    // The file only while there is no log yet: the log holds it.
    const std::shared_ptr<HistoryFile::Open> file = held ? nullptr : history->file().open();
    SqliteDatabase& database = held ? held->file() : file->database;
    // The host's transaction, or its statement's, takes the history file here.
    history->transaction().enlist(database, table.db);
    noteUntoldWrite(&table);
    // The log comes into being on its own, so that a row refused below
    // (OR IGNORE) does not take it back with it.
    if (!held) {
        // Making the log may look at the inner table.
        arguments.own();
        argv = arguments.argv;
        held = history->logFor(*table.log, table.filePath, table.db);
    }
    Write write{table, *held, arguments, std::nullopt};
    HostTransaction::Scope scope = HostTransaction::write(database, table.db);
    int rc;
    if (argc == 1) {
        held->deleteRow(rowidArgument(argv[0]));
        rc = SQLITE_OK;
    } else if (inserting) {
        rc = insertRow(write, rowid);
    } else {
        rc = updateRow(write);
    }
    scope.keep();
    // SQLite adds a statement's rows to the count when it ends.
    if (inserting)
        table.filesCheckedAt = sqlite3_total_changes(table.db);
    return rc;
}

} // namespace

int overlayUpdate(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid)
{
    OverlayTable* table = overlayTable(vtab);
    const int rc = guardTableCallback(vtab, [&] {
        Arguments arguments(argc, argv);
        takeBackUnmadeTables(table->db);
        return recordWrite(*table, arguments, rowid);
    });
    // Only once the row is written: a module may free the values it handed
    // out when any of its cursors closes.
    closeFinishedCursors(table->db);
    return rc;
}

std::optional<QList<QVariant>> TableInnerRows::innerRow(qint64 rowid) const
{
    OverlayTable& table = *this->table;
    std::optional<QList<QVariant>> values;
    askInnerRows(table, "SELECT " + allColumnsOf(table) + " FROM ", rowid, [&values](sqlite3_stmt* statement) {
        values.emplace();
        for (int column = 0; column < sqlite3_column_count(statement); ++column)
            values->append(variantFromValue(sqlite3_column_value(statement, column)));
    });
    return values;
}
