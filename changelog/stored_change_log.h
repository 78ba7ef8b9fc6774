// The change log of one overlay table kept in the history database: its
// stored rows, deleted set and history rows, plus its history position. Rows
// are read from the file through SQLite's page cache; memory holds rowids.
// One lock guards what the log holds in memory; the connection's is taken
// after it, by each write for its length.
#pragma once

#include "changelog/log_index.h"
#include "changelog/change_log.h"
#include "common/mutex.h"
#include "store/log_tables.h"
#include "store/row_batch.h"
#include "store/sqlite_database.h"
#include "store/statement.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

class StoredChangeLog : public ChangeLog, private SqliteDatabase::Observer {
public:
    // A changeLog of the log of tableName on database, which it holds. With
    // owner set the log tables are created now (kept when they exist).
    StoredChangeLog(std::shared_ptr<SqliteDatabase> database, const QString& tableName, bool owner);
    ~StoredChangeLog() override;

    void deleteRow(qint64 rowid) override;
    bool isRowDeleted(qint64 rowid) override;
    void updateRow(qint64 oldRowid, qint64 newRowid, int argc, sqlite3_value** argv) override;
    void insertRow(qint64 rowid, int argc, sqlite3_value** argv) override;
    bool isStored(qint64 rowid) override;
    RowState rowState(qint64 rowid) override;
    bool readRow(qint64 rowid, RowSnapshot& row, Reading* reading) override;
    void undo(qint64 steps) override;
    void redo(qint64 steps) override;
    void commit() override;
    void commit(const QString& label) override;
    void label(const std::optional<QString>& label) override;
    void markClean() override;
    std::optional<qint64> firstNewRowid() const override;
    // Also written to the log's kept mark, if it has one, for the process
    // that takes the log up later.
    void setFirstNewRowid(qint64 rowid) override;
    // The first new rowid a kept log was left with, taken up again.
    void restoreFirstNewRowid(qint64 rowid);
    Summary summary() override;
    std::vector<StepSummary> steps() override;
    std::unique_ptr<ChangeListing> listChanges() override;
    std::optional<RowChange> changeOf(qint64 rowid) override;
    std::optional<qint64> firstModifiedRowidFrom(qint64 rowid) override;
    std::optional<qint64> firstUnmodifiedRowidFrom(qint64 rowid) override;
    std::optional<std::vector<qint64>> modifiedRowidsWithValue(int column, const QVariant& value) override;
    std::vector<qint64> modifiedRowidsHolding(int column, const QVariant& value) override;
    quint64 changeCount() const override { return changes.load(std::memory_order_acquire); }

    // The history position: the step new changes join; -1 without a registry row.
    int position();

    // Drops the log tables and the table's registry rows; throws ErrorPair.
    // The log reads as empty afterwards.
    void dropLog();
    // Renames the log tables and registry rows after the table; throws ErrorPair.
    void renameLog(const QString& newName);
    // Names the log after name again without touching the file: after a
    // rename whose transaction did not commit.
    void takeName(const QString& name);
    // The log was made now, in the open transaction: a rollback that takes
    // that back takes the log back too, whatever the rollback brings back
    // under its name (the leftovers it removed first).
    void madeNow();
    // Whether a rollback took the making of the log back; it reads as empty.
    bool takenBack() const { return undone.load(std::memory_order_acquire); }
    QString name() const;
    // The connection the log is kept on, which the changeLog holds.
    SqliteDatabase& file() const { return database; }

private:
    enum ActionTag { Deletion = 1, Insertion = 2, Update = 3 };

    // The log's lock, held by every operation from its start to its end;
    // with Work, the connection's too, taken after it: an operation that
    // writes holds it throughout rather than for each of its statements.
    enum class Hold { Log, Work };
    class SCOPED_CAPABILITY Access {
    public:
        explicit Access(const StoredChangeLog& changeLog, Hold hold = Hold::Log) ACQUIRE(changeLog.mutex)
            : log(changeLog.mutex), file(changeLog.database, hold == Hold::Work)
        {
        }
        ~Access() RELEASE() = default;

    private:
        Holding<RecursiveMutex> log;
        SqliteDatabase::Lock file;
    };

    // The stored row of rowid, valid until the log changes or the next call;
    // null when rowid is not modified. Under Access.
    const RowSnapshot* modifiedRow(qint64 rowid) REQUIRES(mutex);
    // The log changes in the open transaction: until that ends, its rows are
    // read there. Under Access, with the connection's lock.
    void touch() REQUIRES(mutex);
    // Whether the open transaction has changed the log. Under Access.
    bool touchedNow() const REQUIRES(mutex);
    void createLogTables() REQUIRES(mutex);
    void recordChange(qint64 oldRowid, qint64 newRowid, const QByteArray& snapshot, int actionTag) REQUIRES(mutex);
    void markRowDeleted(qint64 rowid) REQUIRES(mutex);
    // One history row under the position. Without oldSnapshot its old value is
    // the stored row of oldRowid as it is now, or the empty row. Held back
    // in a batch unless carried: the row's rowid is asked for next.
    void appendHistory(int actionTag, qint64 oldRowid, std::optional<qint64> newRowid,
                       const std::optional<QByteArray>& oldSnapshot, const QByteArray* newSnapshot,
                       bool carried = false) REQUIRES(mutex);
    // Gives the history row appended last the origin that undo or redo
    // hands on through it.
    void carryOrigin(qint64 origin) REQUIRES(mutex);
    // Sets or (without label) removes the label of step, or without step the
    // one kept for the next step.
    void setStepLabel(std::optional<int> step, const std::optional<QString>& label) REQUIRES(mutex);
    void writeCleanMark(const LogIndex::CleanMark& mark) REQUIRES(mutex);
    bool hasOpenStep() REQUIRES(mutex);
    // Held back in a batch, as rows added to the log's tables are.
    void storeRow(qint64 rowid, const QByteArray& snapshot) REQUIRES(mutex);
    void removeStoredRow(qint64 rowid) REQUIRES(mutex);
    // Every stored row from first to last; no row there may have filed values.
    void removeStoredRows(qint64 first, qint64 last) REQUIRES(mutex);
    void addToDeletedSet(qint64 rowid) REQUIRES(mutex);
    void removeFromDeletedSet(qint64 rowid) REQUIRES(mutex);
    void removeHistoryAbove(int position) REQUIRES(mutex);
    void moveHistoryId(qint64 position) REQUIRES(mutex);
    void startNewChange() REQUIRES(mutex);
    void undoStep(int step) REQUIRES(mutex);
    void redoStep(int step) REQUIRES(mutex);
    // The stored snapshot of rowid, found by walking on from the last one
    // during a scan, by a lookup otherwise; empty when the file lacks it.
    QByteArray readSnapshot(qint64 rowid) REQUIRES(mutex);
    // The stored row of rowid decoded, or an empty list.
    QList<QVariant> storedValues(qint64 rowid) REQUIRES(mutex);
    // Files the stored values of column in the index, when not yet filed.
    void fileColumn(int column) REQUIRES(mutex);

    // The log as the index knows it, read again from the database after a
    // rollback took back what it held.
    LogIndex& log() REQUIRES(mutex)
    {
        if (!indexValid.load(std::memory_order_acquire))
            readIndex();
        return index;
    }
    void readIndex() REQUIRES(mutex);
    void rebuildIndex() REQUIRES(mutex);
    // The counts of each step and the origins of moved rows, from the history
    // rows in the order they were recorded.
    void replayHistory(LogIndex& fresh);
    void rolledBack(SqliteDatabase::Mark to) noexcept override;
    class Listing;
    // Hands every open listing what it has yet to show, before the log changes.
    void holdListings(const LogIndex& current) REQUIRES(mutex);
    // Runs a statement that changes the log and makes the same change to the index.
    template <typename Apply>
    void changeLog(Statement& statement, Apply&& apply) REQUIRES(mutex);
    // The same with a row added to a batch.
    template <typename Apply>
    void changeLog(RowBatch& batch, const RowBatch::Value* row, Apply&& apply) REQUIRES(mutex);
    // What both do around write, which changes the log's tables.
    template <typename Write, typename Apply>
    void changeLogBy(Write&& write, Apply&& apply) REQUIRES(mutex);

    mutable RecursiveMutex mutex;
    std::shared_ptr<SqliteDatabase> connection;
    SqliteDatabase& database;
    // The log's tables, named after the table, with the statements run per row.
    LogTables logTables;
    LogIndex index GUARDED_BY(mutex);
    // The listings of changes open on the log.
    std::vector<Listing*> listings GUARDED_BY(mutex);
    // Cleared by a rollback, on the thread that rolls back.
    std::atomic<bool> indexValid{false};
    // Written under the log's lock and the connection's, read under the
    // connection's by the rollback observer.
    std::optional<SqliteDatabase::Mark> made;
    std::atomic<bool> undone{false};
    std::optional<qint64> newRowsFrom GUARDED_BY(mutex);
    std::atomic<quint64> changes{0};
    // The transaction that changed the log last (SqliteDatabase::openTransaction).
    std::atomic<SqliteDatabase::Mark> touchedIn{0};
    // Where walkRows stands, while it walks and the log stays as it was.
    qint64 walkedRowid GUARDED_BY(mutex) = 0;
    quint64 walkedChanges GUARDED_BY(mutex) = 0;
    // The stored row read last, while the log stays as it was.
    struct CachedRow {
        qint64 rowid = 0;
        quint64 changes = 0;
        bool valid = false;
        RowSnapshot row;
    } cached GUARDED_BY(mutex);
};

template <typename Write, typename Apply>
inline void StoredChangeLog::changeLogBy(Write&& write, Apply&& apply)
{
    LogIndex& current = log();
    if (!listings.empty())
        holdListings(current);
    database.observe(this);
    touch();
    write();
    apply(current);
    changes.fetch_add(1, std::memory_order_acq_rel);
}

template <typename Apply>
inline void StoredChangeLog::changeLog(Statement& statement, Apply&& apply)
{
    changeLogBy([&statement] { statement.run(); }, std::forward<Apply>(apply));
}

template <typename Apply>
inline void StoredChangeLog::changeLog(RowBatch& batch, const RowBatch::Value* row, Apply&& apply)
{
    changeLogBy([&batch, row] { batch.add(row); }, std::forward<Apply>(apply));
}
