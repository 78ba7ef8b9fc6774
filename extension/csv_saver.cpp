// The save's writing: what the log changed, read from ombrix_changes, decides
// which rows are copied as bytes and which are written from the table's values.
#include "extension/csv_saver.h"

#include "csv/csv_module.h"
#include "extension/save_failure.h"

#include <algorithm>
#include <map>
#include <vector>

#include <cerrno>
#include <unistd.h>

SQLITE_EXTENSION_INIT3

namespace {

constexpr std::size_t flushSize = 1 << 20;
constexpr sqlite3_int64 deletedRow = -1;

// What the log holds as changed: the inner rows replaced (by the rowid that
// now shows them) or deleted, and the rowids of inserted rows, ascending.
struct Changes {
    std::map<sqlite3_int64, sqlite3_int64> inner;
    std::vector<sqlite3_int64> inserted;
};

// The changes of the table's log over a file of rows rowids 1..rows. A row
// inserted at the rowid of an inner row (a file that grew under a kept log
// whose files were accepted) hides that row, and is written in its place.
Changes changesOf(sqlite3* db, const SavedTable& table, sqlite3_int64 rows)
{
    Changes changes;
    if (!table.log)
        return changes;
    sqlite3_stmt* listing = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT rowid, original_rowid FROM ombrix_changes(?1)", -1, &listing, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(listing, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
    while (rc == SQLITE_OK && (rc = sqlite3_step(listing)) == SQLITE_ROW) {
        const bool shown = sqlite3_column_type(listing, 0) != SQLITE_NULL;
        const sqlite3_int64 rowid = sqlite3_column_int64(listing, 0);
        if (sqlite3_column_type(listing, 1) == SQLITE_NULL)
            changes.inserted.push_back(rowid);
        else
            changes.inner[sqlite3_column_int64(listing, 1)] = shown ? rowid : deletedRow;
        rc = SQLITE_OK;
    }
    sqlite3_finalize(listing);
    if (rc != SQLITE_DONE)
        throw Failure{rc, sqlite3_errmsg(db)};
    std::sort(changes.inserted.begin(), changes.inserted.end());
    const auto inFile = [&](sqlite3_int64 rowid) {
        return rowid >= 1 && rowid <= rows && changes.inner.emplace(rowid, rowid).second;
    };
    changes.inserted.erase(std::remove_if(changes.inserted.begin(), changes.inserted.end(), inFile),
                           changes.inserted.end());
    return changes;
}

} // namespace

Saver::Statement::~Statement()
{
    sqlite3_finalize(handle);
}

sqlite3_int64 Saver::write(const std::string& target)
{
    const Changes changes = changesOf(db, table, static_cast<sqlite3_int64>(file.rows.size()));
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

void Saver::check(bool done)
{
    if (!done)
        throw Failure{errno == ENOSPC ? SQLITE_FULL : SQLITE_CANTOPEN, error};
}

// The line break of the file's first record, for rows written anew.
std::string Saver::lineBreakOf()
{
    const std::string head = readBytes(0, std::min<std::uint64_t>(file.size, 1 << 16));
    const std::size_t at = head.find_first_of("\r\n");
    if (at == std::string::npos)
        return "\n";
    return head.compare(at, 2, "\r\n") == 0 ? "\r\n" : head.substr(at, 1);
}

void Saver::prepareRowQuery()
{
    const std::string sql = "SELECT * FROM " + qualifiedName(table) + " WHERE rowid = ?1";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &rowQuery.handle, nullptr) != SQLITE_OK)
        throw Failure{sqlite3_errcode(db), sqlite3_errmsg(db)};
}

std::string Saver::readBytes(std::uint64_t start, std::uint64_t end)
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

void Saver::copyBytes(std::uint64_t start, std::uint64_t end)
{
    for (std::uint64_t at = start; at < end;) {
        const std::uint64_t next = std::min<std::uint64_t>(end, at + flushSize);
        buffer += readBytes(at, next);
        at = next;
        if (buffer.size() >= flushSize)
            flush();
    }
}

void Saver::copyRows(std::size_t from, std::size_t to)
{
    if (from >= to)
        return;
    startRecord();
    copyBytes(file.rows[from], file.rowEnd(to - 1));
    openLine = to == file.rows.size() && !endsLine(readBytes(file.size - 1, file.size));
}

Failure Saver::cellFailure(sqlite3_int64 rowid, int column, const std::string& what) const
{
    return Failure{SQLITE_MISMATCH, "row " + std::to_string(rowid) + ", column " +
                                        sqlite3_column_name(rowQuery.handle, column) + ", holds " + what};
}

void Saver::writeEditedRow(std::size_t row, sqlite3_int64 rowid)
{
    const std::string bytes = readBytes(file.rows[row], file.rowEnd(row));
    const csvfile::RawRecord record = csvfile::splitRecord(bytes, file.options.delimiter);
    writeRow(rowid, &record, std::string(record.ending));
}

// A row as the table shows it: cells of raw whose value is unchanged keep
// their text. A row of one empty field would be a blank line, which reads as
// no row: refused.
void Saver::writeRow(sqlite3_int64 rowid, const csvfile::RawRecord* raw, const std::string& ending)
{
    sqlite3_reset(rowQuery.handle);
    sqlite3_bind_int64(rowQuery.handle, 1, rowid);
    const int rc = sqlite3_step(rowQuery.handle);
    if (rc != SQLITE_ROW)
        throw Failure{rc == SQLITE_DONE ? SQLITE_ERROR : sqlite3_errcode(db),
                      rc == SQLITE_DONE ? "row " + std::to_string(rowid) + " vanished while it was saved"
                                        : std::string(sqlite3_errmsg(db))};
    startRecord();
    const std::size_t start = buffer.size();
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
            throw cellFailure(rowid, column, error);
        }
    }
    if (buffer.size() == start)
        throw cellFailure(rowid, 0, "NULL, which a file of one column cannot hold (an empty line is passed over)");
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

bool Saver::endsLine(std::string_view bytes)
{
    return !bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r');
}

// A record after a last line without a line break starts on a line of its own.
void Saver::startRecord()
{
    if (openLine)
        buffer += lineBreak;
    openLine = false;
}

void Saver::flush()
{
    check(out.write(buffer, error));
    buffer.clear();
}
