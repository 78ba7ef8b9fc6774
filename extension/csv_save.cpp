// csv_save: the header and the rows no edit touched are copied byte for byte
// from the file the table opened; an edited row keeps the text of each cell
// whose value is unchanged; deleted rows are left out; inserted rows follow in
// rowid order. The file is written beside the target and renamed over it.
// Saved over the table's own file, the table reads the saved file and its
// change log ends.
#include <sqlite3ext.h>

#include "extension/csv_save.h"

#include "common/error_pair.h"
#include "csv/csv_module.h"
#include "csv/csv_writer.h"
#include "registry/modification_manager_factory.h"

#include <algorithm>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

SQLITE_EXTENSION_INIT3

namespace {

constexpr std::size_t flushSize = 1 << 20;
constexpr sqlite3_int64 deletedRow = -1;

struct Failure {
    int code;
    std::string message;
};

// Finalizes however the save ends.
struct Statement {
    sqlite3_stmt* handle = nullptr;
    ~Statement() { sqlite3_finalize(handle); }
};

// What the log holds as changed: the inner rows replaced (by the rowid that
// now shows them) or deleted, and the rowids of inserted rows, ascending.
struct Changes {
    std::map<sqlite3_int64, sqlite3_int64> inner;
    std::vector<sqlite3_int64> inserted;
};

Changes changesOf(sqlite3* db, const std::string& table)
{
    Changes changes;
    Statement listing;
    int rc =
        sqlite3_prepare_v2(db, "SELECT rowid, original_rowid FROM ombrix_changes(?1)", -1, &listing.handle, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(listing.handle, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (rc == SQLITE_OK && (rc = sqlite3_step(listing.handle)) == SQLITE_ROW) {
        const bool shown = sqlite3_column_type(listing.handle, 0) != SQLITE_NULL;
        const sqlite3_int64 rowid = sqlite3_column_int64(listing.handle, 0);
        if (sqlite3_column_type(listing.handle, 1) == SQLITE_NULL)
            changes.inserted.push_back(rowid);
        else
            changes.inner[sqlite3_column_int64(listing.handle, 1)] = shown ? rowid : deletedRow;
        rc = SQLITE_OK;
    }
    // A readonly_csv table has no log, and so no changes.
    if (rc != SQLITE_DONE && std::string(sqlite3_errmsg(db)).rfind("No such table", 0) != 0)
        throw Failure{rc, sqlite3_errmsg(db)};
    std::sort(changes.inserted.begin(), changes.inserted.end());
    return changes;
}

// Writes the table's rows to the target, in the order above.
class Saver {
public:
    Saver(sqlite3* db, const std::string& table, const csvfile::CsvFile& file) : db(db), table(table), file(file) {}

    // Writes and syncs the file beside target; returns the rows written.
    sqlite3_int64 write(const std::string& target)
    {
        const Changes changes = changesOf(db, table);
        check(out.open(target, error));
        const std::uint64_t firstRow = file.rows.size() ? file.rows[0] : file.size;
        copyBytes(0, firstRow);
        lineBreak = lineBreakOf();
        // Only a header without a line break, the file's last line, leaves one open.
        openLine = !buffer.empty() && !endsLine(buffer) && buffer != "\xEF\xBB\xBF";
        prepareRowQuery();
        sqlite3_int64 written = 0;
        std::size_t copyFrom = 0; // the first inner row not written yet
        for (const auto& [innerRowid, shownAs] : changes.inner) {
            const auto row = static_cast<std::size_t>(innerRowid - 1);
            if (innerRowid < 1 || row >= file.rows.size())
                continue;
            copyRows(copyFrom, row);
            written += static_cast<sqlite3_int64>(row - copyFrom);
            if (shownAs != deletedRow) {
                writeEditedRow(row, shownAs);
                ++written;
            }
            copyFrom = row + 1;
        }
        copyRows(copyFrom, file.rows.size());
        written += static_cast<sqlite3_int64>(file.rows.size() - copyFrom);
        for (sqlite3_int64 rowid : changes.inserted) {
            writeRow(rowid, nullptr, lineBreak);
            ++written;
        }
        flush();
        sqlite3_finalize(std::exchange(rowQuery.handle, nullptr));
        if (!file.unchanged())
            throw Failure{SQLITE_ERROR, file.name + " changed after the table was created"};
        check(out.sync(error));
        return written;
    }

    // The written file, readable until replace().
    const std::string& temporaryPath() const { return out.temporaryPath(); }

    // Renames the written file over the target.
    void replace() { check(out.replace(error)); }

private:
    void check(bool done)
    {
        if (!done)
            throw Failure{errno == ENOSPC ? SQLITE_FULL : SQLITE_CANTOPEN, error};
    }

    // The line break of the file's first record, for rows written anew.
    std::string lineBreakOf()
    {
        const std::string head = readBytes(0, std::min<std::uint64_t>(file.size, 1 << 16));
        const std::size_t at = head.find_first_of("\r\n");
        if (at == std::string::npos)
            return "\n";
        return head.compare(at, 2, "\r\n") == 0 ? "\r\n" : head.substr(at, 1);
    }

    void prepareRowQuery()
    {
        const std::string sql = "SELECT * FROM " + quotedIdentifier(table) + " WHERE rowid = ?1";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &rowQuery.handle, nullptr) != SQLITE_OK)
            throw Failure{sqlite3_errcode(db), sqlite3_errmsg(db)};
    }

    std::string readBytes(std::uint64_t start, std::uint64_t end)
    {
        std::string bytes(static_cast<std::size_t>(end - start), '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::pread(file.fd, &bytes[got], bytes.size() - got, static_cast<off_t>(start + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw Failure{SQLITE_IOERR, "cannot read " + file.name};
            got += static_cast<std::size_t>(n);
        }
        return bytes;
    }

    void copyBytes(std::uint64_t start, std::uint64_t end)
    {
        for (std::uint64_t at = start; at < end;) {
            const std::uint64_t next = std::min<std::uint64_t>(end, at + flushSize);
            buffer += readBytes(at, next);
            at = next;
            if (buffer.size() >= flushSize)
                flush();
        }
    }

    void copyRows(std::size_t from, std::size_t to)
    {
        if (from >= to)
            return;
        startRecord();
        copyBytes(file.rows[from], file.rowEnd(to - 1));
        openLine = to == file.rows.size() && !endsLine(readBytes(file.size - 1, file.size));
    }

    void writeEditedRow(std::size_t row, sqlite3_int64 rowid)
    {
        const std::string bytes = readBytes(file.rows[row], file.rowEnd(row));
        const csvfile::RawRecord record = csvfile::splitRecord(bytes, file.options.delimiter);
        writeRow(rowid, &record, std::string(record.ending));
    }

    // A row as the table shows it: cells of raw whose value is unchanged keep
    // their text.
    void writeRow(sqlite3_int64 rowid, const csvfile::RawRecord* raw, const std::string& ending)
    {
        sqlite3_reset(rowQuery.handle);
        sqlite3_bind_int64(rowQuery.handle, 1, rowid);
        const int rc = sqlite3_step(rowQuery.handle);
        if (rc != SQLITE_ROW)
            throw Failure{rc == SQLITE_DONE ? SQLITE_ERROR : sqlite3_errcode(db),
                          rc == SQLITE_DONE ? "row " + std::to_string(rowid) + " vanished while it was saved"
                                            : std::string(sqlite3_errmsg(db))};
        startRecord();
        std::string scratch;
        const int columns = sqlite3_column_count(rowQuery.handle);
        for (int column = 0; column < columns; ++column) {
            if (column > 0)
                buffer += file.options.delimiter;
            sqlite3_value* value = sqlite3_column_value(rowQuery.handle, column);
            const auto index = static_cast<std::size_t>(column);
            if (raw && index < raw->fields.size() &&
                csvfile::sameValue(csvfile::cellOfRaw(raw->fields[index], file.options, scratch), value)) {
                buffer += raw->fields[index];
            } else if (!csvfile::appendField(value, file.options, buffer, error)) {
                throw Failure{SQLITE_MISMATCH, "row " + std::to_string(rowid) + ", column " +
                                                   sqlite3_column_name(rowQuery.handle, column) + ", holds " + error};
            }
        }
        buffer += ending;
        openLine = !endsLine(ending);
        // Run to its end, the query leaves no cursor of the table open.
        const int end = sqlite3_step(rowQuery.handle);
        if (end != SQLITE_DONE)
            throw Failure{end == SQLITE_ROW ? SQLITE_ERROR : sqlite3_errcode(db),
                          end == SQLITE_ROW ? "row " + std::to_string(rowid) + " is shown twice"
                                            : std::string(sqlite3_errmsg(db))};
        if (buffer.size() >= flushSize)
            flush();
    }

    static bool endsLine(std::string_view bytes)
    {
        return !bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r');
    }

    // A record after a last line without a line break starts on a line of its own.
    void startRecord()
    {
        if (openLine)
            buffer += lineBreak;
        openLine = false;
    }

    void flush()
    {
        check(out.write(buffer, error));
        buffer.clear();
    }

    sqlite3* db;
    const std::string table;
    const csvfile::CsvFile& file;
    csvfile::ReplacingFile out;
    Statement rowQuery;
    std::string buffer;
    std::string lineBreak = "\n";
    std::string error;
    bool openLine = false;
};

// What an exception thrown while saving tells the caller.
Failure failureOf(const std::exception_ptr& thrown)
{
    try {
        std::rethrow_exception(thrown);
    } catch (const Failure& failure) {
        return failure;
    } catch (const ErrorPair& error) {
        return Failure{error.code(), error.message().toStdString()};
    } catch (const std::bad_alloc&) {
        return Failure{SQLITE_NOMEM, "out of memory"};
    } catch (const std::exception& error) {
        return Failure{SQLITE_INTERNAL, error.what()};
    } catch (...) {
        return Failure{SQLITE_INTERNAL, "unknown error"};
    }
}

// Whether target names the file the table opened.
bool isOwnFile(const csvfile::CsvFile& file, const std::string& target)
{
    struct stat opened {
    }, named{};
    return ::fstat(file.fd, &opened) == 0 && ::stat(target.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// The registry entry of the editable table over path on db, or null (a
// readonly_csv table).
std::shared_ptr<OpenLog> entryOver(sqlite3* db, const std::string& table, const QByteArray& path)
{
    if (!ModificationManagerFactory::alive())
        return nullptr;
    OpenTables& registry = ModificationManagerFactory::instance().registry();
    std::shared_ptr<OpenLog> entry = registry.find(QString::fromStdString(table));
    if (!entry)
        return nullptr;
    const std::vector<OpenLog::Table> open = registry.state(*entry).tables;
    if (std::none_of(open.begin(), open.end(), [&](const auto& t) { return t.connection == db && t.filePath == path; }))
        return nullptr;
    return entry;
}

// Refuses while a table of the entry is open on another connection or in
// another schema: it would go on reading the file as it was, without the log.
void requireAlone(sqlite3* db, const std::string& table, const OpenLog& entry)
{
    const std::vector<OpenLog::Table> open = ModificationManagerFactory::instance().registry().state(entry).tables;
    if (std::any_of(open.begin(), open.end(),
                    [&](const auto& t) { return t.connection != db || t.schema != open.front().schema; }))
        throw Failure{SQLITE_ERROR, "cannot save " + table +
                                        " over its own file while another table of that name "
                                        "is open, on another connection or in another schema: close it first"};
}

// Saves the table over the file it reads, as an editor saves: afterwards the
// table reads the saved file (rowids 1..n in file order) and its history is
// gone, since the log's rowids and rows describe the file as it was.
sqlite3_int64 saveOwnFile(sqlite3* db, const std::string& table, const csvfile::CsvFile& file)
{
    if (!sqlite3_get_autocommit(db))
        throw Failure{SQLITE_ERROR, "cannot save " + table +
                                        " over its own file inside a transaction: its history "
                                        "ends at once, which a rollback could not bring back"};
    if (!isOwnFile(file, file.path))
        throw Failure{SQLITE_ERROR, file.path + " is no longer the file " + table +
                                        " opened (it was moved or replaced since): save to another path"};
    const auto refuseReading = [&] {
        if (csvCursorsOf(db, table) > 0)
            throw Failure{SQLITE_LOCKED, "cannot save " + table + " over its own file while a statement reads it"};
    };
    refuseReading();
    const QByteArray uri = QByteArray::fromStdString(file.path);
    const std::shared_ptr<OpenLog> entry = entryOver(db, table, uri);
    if (entry)
        requireAlone(db, table, *entry);
    Saver saver(db, table, file);
    const sqlite3_int64 written = saver.write(file.path);
    csvfile::CsvFile saved;
    std::string error;
    if (!saved.open(saver.temporaryPath(), file.options, error))
        throw Failure{SQLITE_IOERR, error};
    if (saved.columns != file.columns || static_cast<sqlite3_int64>(saved.rows.size()) != written)
        throw Failure{SQLITE_ERROR, "cannot save " + table +
                                        " over its own file: the file written does not read back "
                                        "as its rows (a row of one empty field reads as a blank line); save to another "
                                        "path"};
    saved.name = file.name;
    saved.path = file.path;
    refuseReading();
    bool replaced = false;
    const auto replace = [&] {
        if (entry)
            requireAlone(db, table, *entry);
        saver.replace();
        replaced = true;
    };
    try {
        if (entry)
            ModificationManagerFactory::instance().endLogWith(*entry, uri, db, replace);
        else
            replace();
    } catch (...) {
        if (!replaced)
            throw;
        // The file is saved: the table reads it unless its log could not end.
        const bool ended = !entry || !ModificationManagerFactory::instance().registry().logOver(*entry, uri);
        if (ended)
            csvSwapFile(db, table, saved);
        const Failure failure = failureOf(std::current_exception());
        throw Failure{failure.code,
                      file.path + " is saved, but " +
                          (ended ? "then " + failure.message
                                 : "the history of " + table + " could not be cleared (" + failure.message +
                                       "): the table goes on showing its edits over the file as it was")};
    }
    // Unreachable while refuseReading holds: nothing since has opened a cursor.
    if (!csvSwapFile(db, table, saved))
        throw Failure{SQLITE_LOCKED, file.path + " is saved, but a statement that reads " + table +
                                         " keeps it on the file as it was until it is opened again"};
    return written;
}

void csvSave(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    const auto* table = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const auto* path = argc == 2 ? reinterpret_cast<const char*>(sqlite3_value_text(argv[1])) : nullptr;
    if (!table || (argc == 2 && (!path || !*path))) {
        sqlite3_result_error(ctx, "Usage: csv_save('table' [, 'path'])", -1);
        return;
    }
    sqlite3* db = sqlite3_context_db_handle(ctx);
    const csvfile::CsvFile* file = csvFileOf(db, table);
    if (!file) {
        const std::string message = std::string("csv_save: ") + table + " is not a table of editable_csv";
        sqlite3_result_error(ctx, message.c_str(), -1);
        return;
    }
    try {
        if (!path || isOwnFile(*file, path)) {
            sqlite3_result_int64(ctx, saveOwnFile(db, table, *file));
        } else {
            Saver saver(db, table, *file);
            const sqlite3_int64 written = saver.write(path);
            saver.replace();
            sqlite3_result_int64(ctx, written);
        }
    } catch (...) {
        try {
            const Failure failure = failureOf(std::current_exception());
            if (failure.code != SQLITE_NOMEM) {
                sqlite3_result_error(ctx, ("csv_save: " + failure.message).c_str(), -1);
                sqlite3_result_error_code(ctx, failure.code);
                return;
            }
        } catch (...) {
        }
        sqlite3_result_error_nomem(ctx);
    }
}

} // namespace

int registerCsvSave(sqlite3* db)
{
    for (int arguments : {1, 2}) {
        const int rc = sqlite3_create_function(db, "csv_save", arguments, SQLITE_UTF8 | SQLITE_DIRECTONLY, nullptr,
                                               csvSave, nullptr, nullptr);
        if (rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}
