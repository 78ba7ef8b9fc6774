// Save for a table of editable_VirtualDbf, the overlay of spatialite's
// VirtualDbf module: the .dbf file written again with shapelib.
#pragma once

#include "extension/file_save.h"
#include "extension/save_plan.h"
#include "history/history_link.h"

#include <QTemporaryDir>
#include <QTextCodec>

#include <shapefil.h>
#include <sqlite3ext.h>

#include <string>
#include <string_view>
#include <vector>

// ombrix_save for such a table (see TableSave); sets ctx's result.
void saveDbfTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                  const HistoryLink& history);

// Whether a module quillmere_load found, by the name it registered, is
// VirtualDbf (whose xUpdate refuses every write), its first argument the
// .dbf file.
bool isDbfModule(const std::string& name, const sqlite3_module* module);

struct DbfHeader {
    sqlite3_int64 records = 0;
    std::size_t length = 0;
    std::size_t recordLength = 0;
    bool endMark = false;
};

// Throws Failure when the header does not describe the file's records.
DbfHeader dbfHeaderOf(std::string_view file, const std::string& path);

// The path with its extension (after the last dot of its last part) replaced.
std::string withExtension(const std::string& path, const char* extension);

// A row written from its values: where it lands, the rowid the table shows it
// under, and its values.
struct WrittenRow {
    sqlite3_int64 position;
    sqlite3_int64 rowid;
    std::vector<sqlite3_value*> values;
};

class WrittenRows {
public:
    WrittenRows() = default;
    WrittenRows(const WrittenRows&) = delete;
    WrittenRows& operator=(const WrittenRows&) = delete;
    ~WrittenRows();
    std::vector<WrittenRow> rows;
};

// The records of a .dbf file written again for the rows a table shows: the
// module's fields from column firstField of the table on, each record no edit
// touched copied, the others formatted by shapelib.
class DbfSave : public FileSave {
public:
    DbfSave(History& history, sqlite3* db, OverlayTable& table, const NamedTable& named,
            const char* module = "VirtualDbf", int firstField = 2);

    sqlite3_int64 save(const char* path);

protected:
    // Called for each row the table shows, in order: a record of the file
    // copied (its index) or a row written from its values (its index among
    // those written).
    virtual void onRow(sqlite3_stmt* row, bool fromFile, sqlite3_int64 record);
    // The .dbf at dbf's bytes file written again for the table's rows.
    std::string compose(const SavedTable& planned, const SavePlan& plan, const std::string& dbf,
                        const std::string& file, const DbfHeader& header);
    // The module opened over path on a connection of its own: every row
    // written from values reads back as those values. Returns the rows.
    sqlite3_int64 readBack(const std::string& path);
    [[noreturn]] void refuse(sqlite3_stmt* row, int column, const std::string& why);

    const char* module;
    const int firstField;
    QTemporaryDir scratch;
    std::string charset;
    QTextCodec* codec = nullptr;
    int fields = 0;
    sqlite3_int64 count = 0;
    WrittenRows written;

private:
    void writeOut(const std::string& target, std::string_view bytes);
    void replaceBoth(const std::string& target);
    void writeField(DBFHandle rows, int record, int field, sqlite3_stmt* row);
};
