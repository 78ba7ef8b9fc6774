// The kept logs' policy: when one may be kept, discarded, taken up, read or
// vouched for, and what each refusal says; the rows themselves are LogRecords'.
#include "history/kept_logs.h"

#include "common/identifiers.h"
#include "history/host_transaction.h"
#include "history/refusals.h"

#include <sqlite3.h>

namespace {

QString sqlLiteral(QString text)
{
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
}

} // namespace

std::optional<KeptLog> KeptLogs::find(SqliteDatabase& database, const QString& name)
{
    return LogRecords::keptLog(database, name);
}

bool KeptLogs::markedIn(HistoryFile::Open* file, const QString& name) noexcept
{
    try {
        return file && LogRecords::keptLog(file->database, name);
    } catch (...) {
        return false;
    }
}

std::shared_ptr<StoredChangeLog> KeptLogs::takeUp(const std::shared_ptr<HistoryFile::Open>& file, const QString& name,
                                                  const QByteArray& filePath, const KeptLog& kept,
                                                  const std::vector<FileStamp>& now)
{
    if (kept.filePath != filePath)
        throw ErrorPair(SQLITE_ERROR,
                        QStringLiteral("table %1: its kept change log was made over file path %2, not "
                                       "%3; open the table over %2")
                                .arg(name, QString::fromUtf8(kept.filePath), QString::fromUtf8(filePath)) +
                            acceptHint(name, filePath));
    if (!LogRecords::hasLogTables(file->database, name) || !kept.position)
        throw ErrorPair(SQLITE_CORRUPT, QStringLiteral("table %1: its kept change log is incomplete in the history "
                                                       "database")
                                                .arg(name) +
                                            discardHint(name));
    claimFilePath(*file, name, filePath);
    const std::vector<FileStamp> then = LogRecords::keptFiles(file->database, name, qint64(now.size()) + 1);
    if (const std::optional<QString> difference = firstDifference(then, now))
        throw filesChanged(name, *difference, QStringLiteral("kept change log"), acceptHint(name));
    auto changeLog = std::make_shared<StoredChangeLog>(connectionOf(file), kept.name, true);
    if (kept.name != name)
        changeLog->renameLog(name);
    if (kept.firstNewRowid)
        changeLog->restoreFirstNewRowid(*kept.firstNewRowid);
    return changeLog;
}

void KeptLogs::claimFilePath(HistoryFile::Open& file, const QString& name, const QByteArray& filePath)
{
    for (const QString& other : LogRecords::namesOn(file.database, filePath)) {
        if (sameIdentifier(other, name))
            continue;
        const ErrorPair used(SQLITE_CONSTRAINT,
                             QStringLiteral("table %1: its file path %2 is already used by the change log of table %3")
                                 .arg(name, QString::fromUtf8(filePath), other));
        if (file.owners.holds(other))
            throw used;
        const OwnerLocks::Claim claim(file.owners, other);
        if (!claim.taken())
            throw used;
        if (LogRecords::keptLog(file.database, other))
            throw ErrorPair(SQLITE_CONSTRAINT, QStringLiteral("table %1: its file path %2 is already used by the kept "
                                                              "change log of table %3; open the table as %3")
                                                       .arg(name, QString::fromUtf8(filePath), other) +
                                                   discardHint(other));
        LogRecords::removeLog(file.database, other);
    }
}

std::vector<KeptLog> KeptLogs::all()
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.existing();
    return file ? LogRecords::keptLogs(file->database) : std::vector<KeptLog>();
}

void KeptLogs::keep(OpenName& entry, bool kept)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.open();
    const LogState log = tables.state(entry);
    if (kept)
        LogRecords::markKept(file->database, log.changeLog->name(), log.filePath, log.changeLog->firstNewRowid(),
                             log.stamps);
    else
        LogRecords::unmarkKept(file->database, log.changeLog->name());
}

void KeptLogs::discard(const QString& name, sqlite3* owner)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.open();
    onUnheld(*file, name, owner,
             QStringLiteral("only a kept log that no table has open can be discarded (DROP TABLE drops an open one)"),
             [&](const KeptLog&) { LogRecords::removeLog(file->database, name); });
    file->database.giveSpaceBack();
}

std::shared_ptr<StoredChangeLog> KeptLogs::read(const QString& name)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.existing();
    if (!file || !LogRecords::keptLog(file->database, name))
        return nullptr;
    // Claimed only while the index is read, so that no other process takes
    // the log up meanwhile; none is kept from it after. Claims of this
    // process's threads count together: only another process refuses it.
    const OwnerLocks::Claim claim(file->owners, name);
    if (!claim.taken())
        throw inUse(name);
    // The mark is made after the log is held: a log marked by now that a
    // table of this process holds is read through that table.
    if (heldHere(name))
        return nullptr;
    SqliteDatabase& database = file->database;
    const SqliteDatabase::Lock held(database);
    // Every statement below reads one snapshot of the file.
    struct Reading {
        explicit Reading(SqliteDatabase& database) : database(database) { database.startReading(); }
        ~Reading() { database.stopReading(); }
        SqliteDatabase& database;
    } reading(database);
    database.holdSnapshot();
    const std::optional<KeptLog> kept = LogRecords::keptLog(database, name);
    if (!kept)
        return nullptr;
    auto changeLog = std::make_shared<StoredChangeLog>(connectionOf(file), kept->name, false);
    if (kept->firstNewRowid)
        changeLog->restoreFirstNewRowid(*kept->firstNewRowid);
    changeLog->summary();
    return changeLog;
}

void KeptLogs::stillUnheld(const QString& name)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.opened();
    if (!file)
        return;
    const OwnerLocks::Claim claim(file->owners, name);
    if (!claim.taken())
        throw inUse(name);
    if (heldHere(name))
        throw ErrorPair(SQLITE_ABORT, QStringLiteral("table %1: its kept change log was taken up by a table of this "
                                                     "process while it was listed; list it again")
                                          .arg(name));
}

bool KeptLogs::heldHere(const QString& name) const
{
    const std::shared_ptr<OpenName> entry = tables.find(name);
    return entry && tables.changeLog(*entry);
}

void KeptLogs::acceptFiles(const QString& name, const std::optional<QByteArray>& filePath, sqlite3* owner)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.open();
    onUnheld(*file, name, owner, QStringLiteral("only the files of a kept log that no table has open can be accepted"),
             [&](const KeptLog& kept) {
                 const QByteArray path = filePath.value_or(kept.filePath);
                 if (path != kept.filePath) {
                     claimFilePath(*file, kept.name, path);
                     LogRecords::moveLog(file->database, kept.name, path);
                 }
                 LogRecords::markKept(file->database, kept.name, path, kept.firstNewRowid, stampFiles(path));
             });
}

void KeptLogs::onUnheld(HistoryFile::Open& file, const QString& name, sqlite3* owner, const QString& onlyUnheld,
                        const std::function<void(const KeptLog&)>& work)
{
    const auto refuseOpen = [&] {
        if (heldHere(name))
            throw ErrorPair(
                SQLITE_LOCKED,
                QStringLiteral("table %1: its change log is open in this process; %2").arg(name, onlyUnheld));
    };
    refuseOpen();
    HostTransaction::Scope scope = HostTransaction::work(file.database, owner);
    // Logs are taken up inside work on the transaction: a thread that took
    // this one up since did so in work that has ended, and none can now.
    refuseOpen();
    const OwnerLocks::Claim claim(file.owners, name);
    if (!claim.taken())
        throw inUse(name);
    const std::optional<KeptLog> kept = LogRecords::keptLog(file.database, name);
    if (!kept)
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1 has no kept change log").arg(name));
    work(*kept);
    scope.keep();
}

ErrorPair KeptLogs::inUse(const QString& name)
{
    return ErrorPair(SQLITE_BUSY,
                     QStringLiteral("table %1: its kept change log is in use by another process").arg(name));
}

void KeptLogs::refuseRenameOnto(SqliteDatabase& database, const QString& oldName, const QString& newName)
{
    if (LogRecords::keptLog(database, newName))
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("cannot rename table %1 to %2: a kept change log of that name "
                                                     "waits in the history database")
                                              .arg(oldName, newName) +
                                          discardHint(newName));
}

QString KeptLogs::discardHint(const QString& name)
{
    return QStringLiteral("; to drop the kept log and its edits, run SELECT ombrix_discard(%1)").arg(sqlLiteral(name));
}

QString KeptLogs::acceptHint(const QString& name, const std::optional<QByteArray>& path)
{
    const QString arguments =
        sqlLiteral(name) + (path ? QStringLiteral(", ") + sqlLiteral(QString::fromUtf8(*path)) : QString());
    return QStringLiteral("; if the files are the ones the log was made over, run SELECT ombrix_accept_files(%1) and "
                          "create the table again")
               .arg(arguments) +
           discardHint(name);
}
