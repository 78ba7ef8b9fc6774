// The rows the history views show: the tables and kept logs, one log's steps
// and its changes, and the log a view of one table reads.
#include "functions/view_rows.h"

#include "changelog/values.h"
#include "common/identifiers.h"
#include "functions/history_views.h"

#include <QSet>

#include <limits>
#include <utility>
#include <vector>

namespace {

class ListedRows : public ViewRows {
public:
    explicit ListedRows(std::vector<std::vector<ViewCell>> rows) : rows(std::move(rows)) {}
    bool next() override { return ++at < rows.size(); }
    ViewCell cell(int column) const override { return rows[at][static_cast<size_t>(column)]; }

private:
    std::vector<std::vector<ViewCell>> rows;
    size_t at = std::numeric_limits<size_t>::max();
};

ViewCell text(const QString& value)
{
    return value.isNull() ? ViewCell() : ViewCell(value.toUtf8());
}

// A file path, as the bytes it is.
ViewCell path(const QByteArray& value)
{
    return value.isNull() ? ViewCell() : ViewCell(value);
}

ViewCell optional(const std::optional<qint64>& value)
{
    return value ? ViewCell(*value) : ViewCell();
}

const char* const stepStates[] = {"applied", "open", "undone"};
const char* const changeKinds[] = {"insert", "update", "delete"};

// The changes as the log stood when the scan began (see
// ChangeLog::listChanges), or the one change of a rowid asked for,
// with the row's values before and after as JSON, read when asked for. A held
// log's listing ends with the log; a kept one's fails once a process takes
// the log up.
class ChangeRows : public ViewRows {
public:
    explicit ChangeRows(const ViewSubject& named)
        : named(named),
          changeLog(named.entry ? History::require(named.history)->registry().changeLog(*named.entry) : named.kept),
          listing(changeLog && !named.oneRowid ? changeLog->listChanges() : nullptr)
    {
        if (changeLog && named.rowid)
            only = changeLog->changeOf(*named.rowid);
        // Rows are read in one snapshot of the file while no write comes between.
        if (changeLog)
            changeLog->file().startReading();
    }

    ~ChangeRows() override
    {
        if (changeLog)
            changeLog->file().stopReading();
    }

    bool next() override
    {
        if (!listing && !only)
            return false;
        const std::shared_ptr<History> history = History::require(named.history);
        if (named.kept)
            history->keptLogs().stillUnheld(named.name);
        else if (history->registry().changeLog(*named.entry) != changeLog)
            return false;
        const std::optional<ChangeLog::RowChange> found = listing ? listing->next() : std::exchange(only, std::nullopt);
        if (found)
            change = *found;
        return found.has_value();
    }

    ViewCell cell(int column) const override
    {
        switch (column) {
        case 0:
            return optional(change.rowid);
        case 1:
            return optional(change.originalRowid);
        case 2:
            return QByteArray(changeKinds[int(change.kind)]);
        case 3:
            return change.originalRowid ? innerRow(*change.originalRowid) : ViewCell();
        default:
            return change.rowid ? storedRow(*change.rowid) : ViewCell();
        }
    }

private:
    ViewCell storedRow(qint64 rowid) const
    {
        RowSnapshot row;
        if (!changeLog->readRow(rowid, row, nullptr))
            return ViewCell();
        QList<QVariant> values;
        for (int column = 0; column < row.count(); ++column)
            values.append(row.value(column));
        return jsonFromRow(values);
    }

    // The log holds no values of the inner rows: they are read from the
    // inner table, through a table over the log's files open on the
    // connection that reads the view; without one they are unknown.
    ViewCell innerRow(qint64 rowid) const
    {
        const std::shared_ptr<History> history = named.history.lock();
        if (!named.entry || !history)
            return ViewCell();
        const LogState log = history->registry().state(*named.entry);
        // The table opened last: one that statements prepared before a
        // schema change still hold is not the one a query reaches now.
        for (auto at = log.tables.rbegin(); at != log.tables.rend(); ++at) {
            const OpenName::Table& table = *at;
            if (table.connection != named.db || table.filePath != log.filePath || !table.innerRows)
                continue;
            const std::optional<QList<QVariant>> values = table.innerRows->innerRow(rowid);
            return values ? ViewCell(jsonFromRow(*values)) : ViewCell();
        }
        return ViewCell();
    }

    ViewSubject named;
    std::shared_ptr<StoredChangeLog> changeLog;
    std::unique_ptr<ChangeLog::ChangeListing> listing;
    std::optional<ChangeLog::RowChange> only;
    ChangeLog::RowChange change{};
};

} // namespace

// Tables of this process, then kept logs that no table of it has open; such
// a log shows its position only: its counts are read when a table takes it up.
std::unique_ptr<ViewRows> listTables(const ViewSubject& named)
{
    std::vector<std::vector<ViewCell>> rows;
    const std::shared_ptr<History> held = named.history.lock();
    if (!held)
        return std::make_unique<ListedRows>(std::move(rows));
    History& history = *held;
    const std::vector<KeptLog> kept = history.keptLogs().all();
    QSet<QString> keptNames, listed;
    for (const KeptLog& log : kept)
        keptNames.insert(identifierKey(log.name));
    const auto holder = [&history](const QString& name) {
        const bool elsewhere = history.file().opened() && history.ownedElsewhere(name);
        return elsewhere ? ViewCell(QByteArray("elsewhere")) : ViewCell();
    };
    for (const std::shared_ptr<OpenName>& entry : history.registry().entries()) {
        const LogState state = history.registry().state(*entry);
        ChangeLog::Summary log{std::nullopt, 0, 0, 0, 0, 0, true};
        if (state.changeLog)
            log = state.changeLog->summary();
        const bool modified = log.inserted + log.updated + log.deleted > 0;
        const QString key = identifierKey(state.name);
        listed.insert(key);
        rows.push_back({text(state.name), path(state.filePath), optional(log.position), log.undoSteps, log.redoSteps,
                        log.inserted, log.updated, log.deleted, qint64(modified), qint64(log.clean),
                        qint64(keptNames.contains(key)),
                        state.changeLog ? ViewCell(QByteArray("here")) : holder(state.name)});
    }
    for (const KeptLog& log : kept) {
        if (listed.contains(identifierKey(log.name)))
            continue;
        rows.push_back({text(log.name), path(log.filePath), optional(log.position), ViewCell(), ViewCell(), ViewCell(),
                        ViewCell(), ViewCell(), ViewCell(), ViewCell(), qint64(1), holder(log.name)});
    }
    return std::make_unique<ListedRows>(std::move(rows));
}

std::unique_ptr<ViewRows> listSteps(const ViewSubject& named)
{
    std::vector<std::vector<ViewCell>> rows;
    std::shared_ptr<StoredChangeLog> changeLog = named.kept;
    if (named.entry)
        changeLog = History::require(named.history)->registry().changeLog(*named.entry);
    if (changeLog) {
        for (const ChangeLog::StepSummary& step : changeLog->steps())
            rows.push_back({qint64(step.step), QByteArray(stepStates[int(step.state)]), step.inserted, step.updated,
                            step.deleted, step.label ? text(*step.label) : ViewCell()});
    }
    return std::make_unique<ListedRows>(std::move(rows));
}
std::unique_ptr<ViewRows> listChanges(const ViewSubject& named)
{
    return std::make_unique<ChangeRows>(named);
}

// The table a view names: its entry when it has a log, else its kept log
// when one waits that no table holds, even where connecting the table was
// refused (its files changed); else its entry, without a log.
ViewSubject namedLog(const HistoryLink& link, sqlite3* db, const char* viewName, int argc, sqlite3_value** argv)
{
    if (argc < 1)
        throw ErrorPair(SQLITE_ERROR,
                        QStringLiteral("Usage: SELECT * FROM %1('Table_Name')").arg(QString::fromUtf8(viewName)));
    auto text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::shared_ptr<History> held = link.lock();
    if (!text || !held)
        throw noSuchTable();
    ViewSubject named{link,  db,          QString::fromUtf8(text, sqlite3_value_bytes(argv[0])), nullptr, nullptr,
                      false, std::nullopt};
    History& history = *held;
    std::optional<ErrorPair> refused;
    try {
        named.entry = findTable(history, db, named.name);
    } catch (const ErrorPair& error) {
        refused = error;
    }
    if (named.entry && history.registry().changeLog(*named.entry))
        return named;
    named.kept = history.keptLogs().read(named.name);
    if (named.kept) {
        named.entry = nullptr;
        return named;
    }
    // A table of this process took the log up meanwhile.
    if (history.keptLogs().heldHere(named.name)) {
        named.entry = history.registry().find(named.name);
        return named;
    }
    if (refused)
        throw *refused;
    if (!named.entry)
        throw noSuchTable();
    return named;
}
