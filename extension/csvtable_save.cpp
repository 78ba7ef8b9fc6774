// The rules of a csvtable save: what it refuses, the file written beside its
// target and read back by csvtable itself before it takes the target's name,
// and, saved over its own file, the table then reading that file.
#include "extension/csvtable_save.h"

#include "extension/csvtable_rows.h"
#include "extension/file_save.h"
#include "extension/save_failure.h"

#include <utility>

SQLITE_EXTENSION_INIT3

namespace {

sqlite3_int64 rowsOf(sqlite3_vtab* inner)
{
    const sqlite3_module* module = inner->pModule;
    sqlite3_vtab_cursor* cursor = nullptr;
    int rc = module->xOpen(inner, &cursor);
    sqlite3_int64 rows = 0;
    if (rc == SQLITE_OK) {
        cursor->pVtab = inner;
        rc = module->xFilter(cursor, 0, nullptr, 0, nullptr);
        for (; rc == SQLITE_OK && !module->xEof(cursor); ++rows)
            rc = module->xNext(cursor);
        module->xClose(cursor);
    }
    if (rc != SQLITE_OK)
        throw Failure{rc, "csvtable cannot read the saved file"};
    return rows;
}

class CsvtableSave : public FileSave {
public:
    using FileSave::FileSave;

    sqlite3_int64 save(const char* path)
    {
        const bool ownFile = checkTarget(path);
        const std::string file = readWholeFile(own);
        const csvtable::Format format = csvtable::formatOf(table.arguments, file);
        const CsvtableFile saved = composeCsvtableFile(db, table, named, format, file);
        if (format.guessed && csvtable::guess(saved.bytes) != std::pair(format.separators, format.quotes))
            throw Failure{SQLITE_MISMATCH, "cannot save " + named.name +
                                               ": csvtable would guess other separators or quotes for the saved file; "
                                               "give them to CREATE VIRTUAL TABLE"};
        check(out.open(ownFile ? own : std::string(path), error));
        check(out.write(saved.bytes, error));
        check(out.sync(error));
        InnerTable reading = readBack(saved.rows);
        if (!ownFile) {
            check(out.replace(error));
            return saved.rows;
        }
        refuseReading();
        endHistory(true, std::move(reading));
        return saved.rows;
    }

private:
    // The written file as csvtable reads it, with the table's arguments: the
    // same columns as the table's own file, and every row.
    InnerTable readBack(sqlite3_int64 rows)
    {
        std::string before, after;
        openInnerOver(table, own, "csvtable", before);
        InnerTable reading = openInnerOver(table, out.temporaryPath(), "csvtable", after);
        if (before != after || rowsOf(reading.get()) != rows)
            throw Failure{SQLITE_MISMATCH,
                          "cannot save " + named.name + ": csvtable would not read the saved file back as its rows (" +
                              (before != after ? "its first line would give other columns" : "another count of rows") +
                              ")"};
        return reading;
    }
};

} // namespace

void saveCsvtableTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                       const HistoryLink& link)
{
    runFileSave(ctx, argc, argv, function, link, "csvtable",
                [](History& history, sqlite3* db, OverlayTable& table, const NamedTable& named, const char* path) {
                    return CsvtableSave(history, db, table, named).save(path);
                });
}

bool isCsvtableModule(const std::string& name, const sqlite3_module* module)
{
    return sqlite3_stricmp(name.c_str(), "csvtable") == 0 && !module->xUpdate && module->xOpen && module->xFilter;
}
