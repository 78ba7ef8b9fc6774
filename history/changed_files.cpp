// Change logs whose files changed under their open tables: refused as a
// table reconnects or a statement touches one, and ended where no table or
// transaction needs them, as at the end of the process.
#include "history/history.h"

#include "history/refusals.h"

#include <sqlite3.h>

#include <algorithm>

void History::refuseChangedFiles(const std::shared_ptr<OpenName>& entry, const OpenName::Table& opened)
{
    const QByteArray& filePath = opened.filePath;
    const std::vector<FileStamp>& now = opened.stamps;
    const void* connection = opened.connection;
    const QByteArray& schema = opened.schema;
    const LogState log = tables.state(*entry);
    if (!log.changeLog || log.filePath != filePath)
        return;
    const std::optional<QString> difference = firstDifference(log.stamps, now);
    if (!difference)
        return;
    closeTable(entry, opened.overlay);
    const std::shared_ptr<HistoryFile::Open> file = historyFile.opened();
    const bool kept = KeptLogs::markedIn(file.get(), log.name);
    // With no table left to hold it but the one this reconnect replaces, the
    // log ends as at the end of the process: a kept one waits in the file to
    // be discarded, or taken up once the files are back. Not while a history
    // transaction may hold its rows.
    const std::vector<OpenName::Table> left = tables.state(*entry).tables;
    const bool ends = file && !file->database.inTransaction() &&
                      std::all_of(left.begin(), left.end(), [&](const OpenName::Table& table) {
                          return table.connection == connection && table.schema == schema;
                      });
    if (ends) {
        endLog(tables.takeLog(*entry, log.changeLog.get()), TransactionGate::Wait::Never);
        dropTables(entry, connection, schema);
        closeIfIdle();
    }
    throw filesChanged(log.name, *difference, kept ? QStringLiteral("kept change log") : QStringLiteral("change log"),
                       kept   ? KeptLogs::acceptHint(log.name)
                       : ends ? QStringLiteral("; the log was not kept, and ended with its edits")
                              : QString());
}

void History::requireUnchangedFiles(const std::shared_ptr<OpenName>& entry, const QByteArray& filePath)
{
    const std::optional<std::vector<FileStamp>> then = tables.logStamps(*entry, filePath);
    if (!then || stillAsStamped(*then))
        return;
    const std::vector<FileStamp> now = stampFiles(filePath);
    const std::optional<QString> difference = firstDifference(*then, now);
    const LogState log = tables.state(*entry);
    const std::shared_ptr<HistoryFile::Open> file = historyFile.opened();
    if (!difference || !log.changeLog || !file)
        return;
    const bool kept = KeptLogs::markedIn(file.get(), log.name);
    // Rows a transaction holds would go with a log dropped under it.
    if (file->database.inTransaction())
        throw filesChangedUnder(log.name, *difference,
                                QStringLiteral("; its log ends once the history database's transaction has ended, and "
                                               "until then every statement on the table fails"));
    endLog(tables.takeLog(*entry, log.changeLog.get()), TransactionGate::Wait::UpToTimeout);
    tables.restamp(*entry, nullptr, filePath, now);
    closeIfIdle();
    throw filesChangedUnder(
        log.name, *difference,
        kept ? QStringLiteral("; the table shows the files as they are, and its kept log waits in the history "
                              "database") +
                   KeptLogs::acceptHint(log.name)
             : QStringLiteral("; the log was not kept, and ended with its edits: the table shows the files as they "
                              "are"));
}
