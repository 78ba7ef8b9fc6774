// The table that csv_save's first argument names, found as SQLite finds a
// table that a statement names, with the file it reads and its change log.
#pragma once

#include "common/named_table.h"
#include "csv/csv_reader.h"
#include "history/history.h"

#include <sqlite3ext.h>

#include <memory>
#include <string>

struct SavedTable : NamedTable {
    const csvfile::CsvFile* file = nullptr;
    // The history its log is kept in; null once the process's end closed it.
    std::shared_ptr<History> history;
    // An editable_csv table's registry entry (the name's), null for readonly_csv.
    std::shared_ptr<OpenName> entry;
    // The log the table reads through: the name's, when it was made over this
    // table's file; else null.
    std::shared_ptr<StoredChangeLog> log;
};

// The table given names (see findNamedTable), its log found in history.
// Throws Failure or ErrorPair: no such table, or one that is not the CSV
// module's.
SavedTable findSavedTable(sqlite3* db, const std::string& given, const HistoryLink& history);
