// What every save that rewrites an inner module's file shares: the refusals
// before it writes, the inner table opened again, the end of its history.
#pragma once

#include "common/named_table.h"
#include "csv/csv_writer.h"
#include "history/history_link.h"
#include "overlay/records.h"

#include <sqlite3ext.h>

#include <functional>
#include <memory>
#include <string>

struct InnerTableCloser {
    void operator()(sqlite3_vtab* inner) const;
};
using InnerTable = std::unique_ptr<sqlite3_vtab, InnerTableCloser>;

// The table's inner module opened over path with the table's other
// arguments, with the schema it declares; what names the module in errors.
// Throws Failure.
InnerTable openInnerOver(const OverlayTable& table, const std::string& path, const std::string& what,
                         std::string& schema);

// Throws Failure.
std::string readWholeFile(const std::string& path);

class FileSave {
public:
    FileSave(History& history, sqlite3* db, OverlayTable& table, const NamedTable& named);
    virtual ~FileSave() = default;

protected:
    // Puts what a save over the table's own files wrote in their place.
    virtual void replaceWritten();
    // Refuses what no save may do (see README) and tells whether path (the
    // table's own file when null) is the table's own file.
    bool checkTarget(const char* path);
    void refuseReading();
    void check(bool done);
    // Ends the history of a save over the table's own file, renaming out
    // over it first when written; the table then reads through reading,
    // when given.
    void endHistory(bool written, InnerTable reading);

    History& history;
    sqlite3* db;
    OverlayTable& table;
    const NamedTable& named;
    const std::string own;
    csvfile::ReplacingFile out;
    std::string error;
};

using TableSaver = std::function<sqlite3_int64(History& history, sqlite3* db, OverlayTable& table,
                                               const NamedTable& named, const char* path)>;

// Runs saver for ombrix_save's arguments on a table of module, setting ctx's
// result: its count, or the error it threw.
void runFileSave(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function, const HistoryLink& link,
                 const char* module, const TableSaver& saver);
