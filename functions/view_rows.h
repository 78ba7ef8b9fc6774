// The rows the history views show: the tables and kept logs, one log's steps
// and its changes, and the log a view of one table reads.
#pragma once

#include "history/history.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <variant>

// A value a view shows: NULL, an integer or text.
using ViewCell = std::variant<std::monostate, qint64, QByteArray>;

// The rows of one scan.
class ViewRows {
public:
    virtual ~ViewRows() = default;
    // Moves to the next row: false past the last. Throws ErrorPair.
    virtual bool next() = 0;
    virtual ViewCell cell(int column) const = 0;
};

// The log a view of one table reads: the log of its entry, or one kept that
// no process holds, read without taking it up; neither for an open table
// nobody has written to yet. With oneRowid, the scan shows the row of rowid
// alone, and none when the value given names no rowid.
struct ViewSubject {
    HistoryLink history;
    sqlite3* db;
    QString name;
    std::shared_ptr<OpenName> entry;
    std::shared_ptr<StoredChangeLog> kept;
    bool oneRowid = false;
    std::optional<qint64> rowid;
};

// Tables of this process, then kept logs that no table of it has open.
std::unique_ptr<ViewRows> listTables(const ViewSubject& named);
// The steps of the named log that hold changes.
std::unique_ptr<ViewRows> listSteps(const ViewSubject& named);
// The rows of the named log changed from its inner table.
std::unique_ptr<ViewRows> listChanges(const ViewSubject& named);

// The table a view names: its entry when it has a log, else its kept log
// when one waits that no table holds, even where connecting the table was
// refused (its files changed); else its entry, without a log.
// viewName is the view's, for the usage a call without the name is told.
ViewSubject namedLog(const HistoryLink& link, sqlite3* db, const char* viewName, int argc, sqlite3_value** argv);
