// The save's writing: one walk over the table's rows in rowid order beside the
// file's rows, copying the unchanged ones as bytes and writing the others from
// their values, with what the log changed telling which is which.
#include "extension/csv_saver.h"

#include "csv/csv_module.h"

#include <algorithm>

#include <cerrno>
#include <unistd.h>

SQLITE_EXTENSION_INIT3

namespace {

constexpr std::size_t flushSize = 1 << 20;

Failure cellFailure(const TableScan& scan, int column, const std::string& what)
{
    return Failure{SQLITE_MISMATCH, "row " + std::to_string(scan.rowid()) + ", column " +
                                        sqlite3_column_name(scan.row(), column) + ", holds " + what};
}

} // namespace

sqlite3_int64 Saver::write(const std::string& target)
{
    const auto rows = static_cast<sqlite3_int64>(file.rows.size());
    plan = planSave(db, table, rows);
    check(out.open(target, error));
    const std::uint64_t firstRow = file.rows.size() ? file.rows[0] : file.size;
    copyBytes(0, firstRow);
    lineBreak = lineBreakOf();
    // Only a header without a line break, the file's last line, leaves one open.
    openLine = !buffer.empty() && !endsLine(buffer) && buffer != "\xEF\xBB\xBF";
    if (plan.unchanged()) {
        copyRows(0, file.rows.size());
        written = rows;
    } else {
        writeMerged();
    }
    flush();
    // Finished, the walks leave no cursor of the table open.
    inPlace.reset();
    ahead.reset();
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

// The file's rows in file order, each copied, left out or replaced, then the
// rows after them. The walk in place shows every row it passes where the
// file's order wants it; a row it meets elsewhere is taken from the walk ahead.
void Saver::writeMerged()
{
    const auto rows = static_cast<sqlite3_int64>(file.rows.size());
    inPlace = std::make_unique<TableScan>(db, table);
    sqlite3_int64 next = 1;
    for (const auto& [rowid, shownAs] : plan.replaced) {
        copyUnchanged(next, rowid);
        if (shownAs == rowid)
            writeInPlace(rowid, rowid);
        else if (shownAs)
            writeDisplaced(*shownAs);
        next = rowid + 1;
    }
    copyUnchanged(next, rows + 1);
    for (sqlite3_int64 rowid : plan.appended) {
        if (rowid > rows)
            writeInPlace(rowid, std::nullopt);
        else
            writeDisplaced(rowid);
    }
    while (inPlace->next()) {
        if (!plan.isDisplaced(inPlace->rowid()))
            throw Failure{SQLITE_ERROR, "row " + std::to_string(inPlace->rowid()) + " appeared while it was saved"};
    }
    if (!held.empty())
        throw Failure{SQLITE_ERROR, "row " + std::to_string(held.begin()->first) + " appeared while it was saved"};
}

// Moves the walk in place on to rowid, passing the rows met elsewhere.
void Saver::reach(sqlite3_int64 rowid)
{
    while (inPlace->next()) {
        const sqlite3_int64 shown = inPlace->rowid();
        if (shown == rowid)
            return;
        if (shown > rowid)
            break;
        if (!plan.isDisplaced(shown))
            throw Failure{SQLITE_ERROR, "row " + std::to_string(shown) + " appeared while it was saved"};
    }
    throw vanished(rowid);
}

// The file rows from..to-1, which the log left as they are.
void Saver::copyUnchanged(sqlite3_int64 from, sqlite3_int64 to)
{
    for (sqlite3_int64 rowid = from; rowid < to; ++rowid)
        reach(rowid);
    copyRows(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(to - 1));
    written += std::max<sqlite3_int64>(to - from, 0);
}

void Saver::writeInPlace(sqlite3_int64 rowid, std::optional<sqlite3_int64> fileRow)
{
    reach(rowid);
    writeRow(*inPlace, fileRow);
}

// A displaced row: held since the walk ahead met it, or met now, holding the
// displaced rows it passes until their places come.
void Saver::writeDisplaced(sqlite3_int64 rowid)
{
    const auto found = held.find(rowid);
    if (found != held.end()) {
        startRecord();
        buffer += found->second.text;
        openLine = found->second.open;
        held.erase(found);
        ++written;
        if (buffer.size() >= flushSize)
            flush();
        return;
    }
    if (!ahead)
        ahead = std::make_unique<TableScan>(db, table);
    while (ahead->next()) {
        const auto displaced = plan.displaced.find(ahead->rowid());
        if (displaced == plan.displaced.end())
            continue;
        if (ahead->rowid() == rowid) {
            writeRow(*ahead, displaced->second);
            return;
        }
        Held row;
        row.open = appendRow(*ahead, displaced->second, row.text);
        held.emplace(ahead->rowid(), std::move(row));
    }
    throw vanished(rowid);
}

// Appends the scan's row as the table shows it: cells whose value the file
// row it replaces holds unchanged keep their text, and so does that row's
// line ending. A row of one empty field would be a blank line, which reads
// as no row: refused. Returns whether the row leaves its line open.
bool Saver::appendRow(const TableScan& scan, std::optional<sqlite3_int64> fileRow, std::string& into)
{
    std::string bytes;
    csvfile::RawRecord raw;
    if (fileRow) {
        const auto row = static_cast<std::size_t>(*fileRow - 1);
        bytes = readBytes(file.rows[row], file.rowEnd(row));
        raw = csvfile::splitRecord(bytes, file.options.delimiter);
    }
    const std::size_t start = into.size();
    std::string scratch;
    const int columns = sqlite3_column_count(scan.row());
    for (int column = 1; column < columns; ++column) {
        if (column > 1)
            into += file.options.delimiter;
        sqlite3_value* value = sqlite3_column_value(scan.row(), column);
        const auto index = static_cast<std::size_t>(column - 1);
        if (index < raw.fields.size() &&
            csvfile::sameValue(csvfile::cellOfRaw(raw.fields[index], file.options, scratch), value)) {
            into += raw.fields[index];
        } else if (!csvfile::appendField(value, file.options, into, error)) {
            throw cellFailure(scan, column, error);
        }
    }
    if (into.size() == start)
        throw cellFailure(scan, 1, "NULL, which a file of one column cannot hold (an empty line is passed over)");
    const std::string_view ending = fileRow ? raw.ending : std::string_view(lineBreak);
    into += ending;
    return !endsLine(ending);
}

void Saver::writeRow(const TableScan& scan, std::optional<sqlite3_int64> fileRow)
{
    startRecord();
    openLine = appendRow(scan, fileRow, buffer);
    ++written;
    if (buffer.size() >= flushSize)
        flush();
}

Failure Saver::vanished(sqlite3_int64 rowid)
{
    return Failure{SQLITE_ERROR, "row " + std::to_string(rowid) + " vanished while it was saved"};
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
