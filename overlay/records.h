// The records SQLite holds for an overlay table and an overlay cursor, and the
// helpers that place them in the host's sqlite3_malloc memory.
#pragma once

#include "common/error_pair.h"
#include "common/host_records.h"
#include "common/routines.h"
#include "overlay/registration.h"
#include "history/history.h"
#include "store/reading.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// What the inner module does with "rowid = ?" (see findsRowsByRowid).
enum class RowidLookup {
    Unknown,
    Asking, // being asked: the questions' plans hand the rowid on
    Finds,
    FindsNothing, // the module gets no constraint on the rowid
};

struct OverlayTable;

// A table's inner rows as the history views read them (see InnerRows).
class TableInnerRows final : public InnerRows {
public:
    std::optional<QList<QVariant>> innerRow(qint64 rowid) const override;
    OverlayTable* table = nullptr;
};

struct OverlayTable {
    sqlite3_vtab base;
    sqlite3_vtab* inner;
    OverlayRegistration* registration;
    sqlite3* db;
    QByteArray schema;
    // The first module argument, canonical (see canonicalFilePath): the
    // table's filePath in the registry.
    QByteArray filePath;
    // The table's entry in the registry: its name and change log.
    std::shared_ptr<OpenName> log;
    // The arguments the inner table was made with (module, schema, name, then
    // those of CREATE VIRTUAL TABLE), for a save that opens it again.
    std::vector<QByteArray> arguments;
    // What the registry hands the history views; points back at this table.
    TableInnerRows innerRows;
    // Set while the overlay itself scans the inner rows alone.
    bool innerOnly;
    // The history file, when the table's own database is that file.
    QString historyFile;
    // Set by xBegin when the table joins a history transaction open already,
    // until the xSavepoint that tells the level it joins at.
    bool joining;
    // Made by a CREATE inside a transaction, which SQLite tells of no savepoint
    // opened before it: set until SQLite tells it one or the transaction ends.
    bool untold;
    // While it has written in that state: finds the table in the schema.
    sqlite3_stmt* schemaProbe;
    // Renamed: SQLite reconnects the table under its new name, and this record
    // waits only for its disconnect, out of the registry.
    bool renamed;
    // The select list of every column, hidden ones too; made when first asked.
    std::optional<QByteArray> allColumns;
    // See comparesWithoutConversion(); read when first asked.
    std::optional<QByteArray> blobColumns;
    RowidLookup rowidLookup;
    // The name the overlay's own questions give the inner rowid: "rowid",
    // or "_rowid_" or "oid" where a column takes it; read when first asked.
    std::optional<QByteArray> rowidName;
    // The log logOf() found last, with the entry's version then: taken again
    // only when the entry changed. Held weakly: the table keeps no log alive.
    std::weak_ptr<StoredChangeLog> lastLog;
    std::optional<quint64> lastLogVersion;
    // The connection's count of changed rows when an INSERT found the files
    // unchanged and wrote its row, until the transaction ends: later rows of
    // that statement need no check.
    std::optional<int> filesCheckedAt;
    // The table's open cursors: statements that read it.
    int cursors;
};

// Where a cursor stands. Stored rows are visited in rowid order, interleaved
// with the inner rows when those come in rowid order, and after them.
enum class CursorPhase {
    InnerRow,          // on the inner cursor's row, which is not at its end
    StoredBeforeInner, // on a stored row; the inner cursor waits on a later row
    StoredRow,         // on a stored row; the inner cursor is at its end
    End,
};

// An equality the stored rows must meet without SQLite's help, with its
// value as SQLite gave it: text as its bytes, anything else as a variant.
struct ExactValue {
    int column;
    int type;
    QVariant value;
    QByteArray text;
};

struct OverlayCursor {
    sqlite3_vtab_cursor base;
    OverlayTable* table;
    sqlite3_vtab_cursor* inner;
    CursorPhase phase;
    // Set by the first xFilter: each later one gets a fresh inner cursor.
    bool filtered;
    bool innerOnly;
    // The log the cursor reads through, taken again when the table's entry
    // changes (its version), and held meanwhile: another thread may end it.
    std::shared_ptr<ChangeLog> log;
    std::optional<quint64> logVersion;
    // The cursor as a reader of the history database, while it is one.
    std::optional<Reading> reading;
    // The stored row read last, while the log's change count stays.
    RowSnapshot row;
    std::optional<std::pair<sqlite3_int64, quint64>> rowRead;
    // The stored row the cursor stands on, and the least rowid the next
    // stored row may have.
    sqlite3_int64 storedRowid;
    std::optional<sqlite3_int64> storedFloor;
    // Set while the cursor shows an inner row read without a log: a log that
    // appears meanwhile is taken up before the next row, with the floor
    // learnt from that inner row.
    bool unmerged;
    // What the plan knows of the rows wanted, to visit fewer stored rows.
    // With rowidFilter set only the row of wantedRowid can match, and none
    // when that is empty.
    bool rowidFilter;
    std::optional<sqlite3_int64> wantedRowid;
    std::vector<std::pair<int, QVariant>> wantedValues;
    // Equalities with any value of an IN list the inner module takes whole.
    std::vector<std::pair<int, std::vector<QVariant>>> wantedAnyOf;
    // The constraints SQLite leaves to the inner module alone, which the
    // stored rows shown must meet exactly.
    std::vector<ExactValue> exactValues;
    std::optional<std::vector<qint64>> candidates;
    bool candidatesKnown;
    // The log's change count when the candidates were listed.
    quint64 candidatesChanges;
    // The next stored row found last, for its floor and the log's change count.
    struct {
        bool known;
        sqlite3_int64 floor;
        quint64 changes;
        std::optional<sqlite3_int64> rowid;
    } nextStored;
};

inline OverlayTable* overlayTable(sqlite3_vtab* vtab)
{
    return reinterpret_cast<OverlayTable*>(vtab);
}

inline OverlayCursor* overlayCursor(sqlite3_vtab_cursor* cursor)
{
    return reinterpret_cast<OverlayCursor*>(cursor);
}

// The history of the table's registration; null once the process's end closed it.
inline std::shared_ptr<History> historyOf(const OverlayTable& table)
{
    return table.registration->history.lock();
}

// The log a table reads through: its name's, when made over the file the
// table names; null while nothing was written through it, and for a table of
// that name over another file, which shows its inner rows.
inline std::shared_ptr<StoredChangeLog> logOf(OverlayTable* table)
{
    if (table->lastLogVersion == table->log->version()) {
        if (std::shared_ptr<StoredChangeLog> log = table->lastLog.lock())
            return log;
    }
    const std::shared_ptr<History> history = historyOf(*table);
    if (!history)
        return nullptr;
    quint64 version = 0;
    std::shared_ptr<StoredChangeLog> log = history->registry().logOver(*table->log, table->filePath, &version);
    table->lastLog = log;
    table->lastLogVersion = version;
    return log;
}

// A statement that touches a table with a log finds the files under it as
// the log began over them, or fails: see requireUnchangedFiles. Nothing for a
// table without a log, nor for the overlay's own questions to the inner rows.
inline void requireUnchangedFiles(OverlayTable* table)
{
    if (table->innerOnly || !logOf(table))
        return;
    if (const std::shared_ptr<History> history = historyOf(*table))
        history->requireUnchangedFiles(table->log, table->filePath);
}

// The table's name now (a rename on another connection may change it).
inline QString nameOf(const OverlayTable& table)
{
    return History::require(table.registration->history)->registry().name(*table.log);
}

// A table kept in the history file itself would wait for itself: the host's
// statement holds the file's lock while the overlay writes the log there.
inline void refuseInHistoryFile(const OverlayTable& table, const QString& name)
{
    if (!table.historyFile.isEmpty())
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1: its database %2 is the history database, where the "
                                                     "change logs are kept; keep overlay tables in another database")
                                          .arg(name, table.historyFile));
}

// Replaces the table's error message, taking ownership of message.
inline void setTableError(sqlite3_vtab* vtab, char* message) noexcept
{
    sqlite3_free(vtab->zErrMsg);
    vtab->zErrMsg = message;
}

// Moves a message the inner module left in its table's zErrMsg over to the
// overlay table, where SQLite reports it; passes rc through.
inline int carryInnerError(OverlayTable* table, int rc) noexcept
{
    if (table->inner->zErrMsg) {
        setTableError(&table->base, table->inner->zErrMsg);
        table->inner->zErrMsg = nullptr;
    }
    return rc;
}
