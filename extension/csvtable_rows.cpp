// Which lines change, from ombrix_changes by the rowids it lists (the byte
// offsets where csvtable's rows start), then one scan of the table that writes
// the lines of the rows the log changed, and the file put together.
#include "extension/csvtable_rows.h"

#include "extension/save_failure.h"
#include "overlay/inner_rows.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

SQLITE_EXTENSION_INIT3

namespace {

struct Changes {
    // The file's rows the log changed, by where they start: the row written
    // in the place of each, none for a row left out.
    std::map<sqlite3_int64, std::optional<sqlite3_int64>> replaced;
    // The rows written after the file's, ascending.
    std::vector<sqlite3_int64> appended;
};

Changes changesOf(sqlite3* db, const NamedTable& named, const csvtable::Layout& layout)
{
    std::vector<sqlite3_int64> starts;
    for (const auto& row : layout.rows)
        starts.push_back(static_cast<sqlite3_int64>(row.first));
    const auto isStart = [&](sqlite3_int64 rowid) { return std::binary_search(starts.begin(), starts.end(), rowid); };
    Changes changes;
    std::vector<sqlite3_int64> inserted;
    sqlite3_stmt* listing = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT rowid, original_rowid FROM ombrix_changes(?1)", -1, &listing, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(listing, 1, named.name.c_str(), -1, SQLITE_TRANSIENT);
    while (rc == SQLITE_OK && (rc = sqlite3_step(listing)) == SQLITE_ROW) {
        rc = SQLITE_OK;
        std::optional<sqlite3_int64> shown;
        if (sqlite3_column_type(listing, 0) != SQLITE_NULL)
            shown = sqlite3_column_int64(listing, 0);
        const bool fromFile = sqlite3_column_type(listing, 1) != SQLITE_NULL;
        if (fromFile && isStart(sqlite3_column_int64(listing, 1)))
            changes.replaced[sqlite3_column_int64(listing, 1)] = shown;
        else if (shown) // inserted, or standing for a row the file no longer has
            inserted.push_back(*shown);
    }
    const std::string message = sqlite3_errmsg(db);
    sqlite3_finalize(listing);
    if (rc != SQLITE_DONE)
        throw Failure{rc, message};
    // A row inserted at a rowid where a row of the file starts hides it.
    std::sort(inserted.begin(), inserted.end());
    for (sqlite3_int64 rowid : inserted) {
        if (!isStart(rowid) || !changes.replaced.emplace(rowid, rowid).second)
            changes.appended.push_back(rowid);
    }
    return changes;
}

std::string_view endingOf(std::string_view line)
{
    if (line.size() >= 2 && line.substr(line.size() - 2) == "\r\n")
        return line.substr(line.size() - 2);
    return line.empty() ? line : line.substr(line.size() - 1);
}

// The line of the scan's row, without its line break: trailing NULLs left
// out, as csvtable reads a missing field. In place of a line of the file,
// a field that reads as the row's value keeps its text, and fields past the
// table's columns stay when every column is written.
std::string lineOf(sqlite3_stmt* row, const csvtable::Format& format, std::string_view original)
{
    const std::vector<std::string_view> fields =
        csvtable::fieldsOf(original.substr(0, original.size() - endingOf(original).size()), format);
    const int columns = sqlite3_column_count(row) - 1;
    int last = columns;
    while (last >= 1 && sqlite3_column_type(row, last) == SQLITE_NULL)
        --last;
    std::string line, why;
    for (int column = 1; column <= std::max(last, 1); ++column) {
        if (column > 1)
            line += format.separator();
        sqlite3_value* value = sqlite3_column_value(row, column);
        const auto index = static_cast<std::size_t>(column - 1);
        if (index < fields.size() && csvtable::readsAs(fields[index], value, format, column - 1))
            line += fields[index];
        else if (!csvtable::appendValue(value, format, column - 1, line, why))
            throw Failure{SQLITE_MISMATCH, "row " + std::to_string(sqlite3_column_int64(row, 0)) + ", column " +
                                               sqlite3_column_name(row, column) + ", holds " +
                                               (last < 1 ? "NULL in every column (an empty line reads as one "
                                                           "empty text)"
                                                         : why)};
    }
    for (auto extra = static_cast<std::size_t>(columns); last == columns && extra < fields.size(); ++extra)
        line.append(1, format.separator()).append(fields[extra]);
    return line;
}

} // namespace

CsvtableFile composeCsvtableFile(sqlite3* db, OverlayTable& table, const NamedTable& named,
                                 const csvtable::Format& format, std::string_view file)
{
    const csvtable::Layout layout = csvtable::layoutOf(file, format);
    const Changes changes = changesOf(db, named, layout);
    std::unordered_map<sqlite3_int64, std::string> lines;
    std::unordered_map<sqlite3_int64, std::string_view> originals;
    for (std::size_t row = 0; row < layout.rows.size(); ++row) {
        const auto& [start, end] = layout.rows[row];
        const auto change = changes.replaced.find(static_cast<sqlite3_int64>(start));
        if (change != changes.replaced.end() && change->second) {
            lines.emplace(*change->second, std::string());
            originals.emplace(*change->second, file.substr(start, end - start));
        }
    }
    for (sqlite3_int64 rowid : changes.appended)
        lines.emplace(rowid, std::string());

    CsvtableFile saved;
    const std::string sql = "SELECT " + rowidNameOf(table).toStdString() + ", * FROM " + qualifiedName(named);
    sqlite3_stmt* scan = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &scan, nullptr);
    std::size_t met = 0;
    try {
        while (rc == SQLITE_OK && (rc = sqlite3_step(scan)) == SQLITE_ROW) {
            rc = SQLITE_OK;
            ++saved.rows;
            const auto line = lines.find(sqlite3_column_int64(scan, 0));
            if (line != lines.end()) {
                const auto original = originals.find(line->first);
                line->second =
                    lineOf(scan, format, original == originals.end() ? std::string_view() : original->second);
                ++met;
            }
        }
    } catch (...) {
        sqlite3_finalize(scan);
        throw;
    }
    const std::string message = sqlite3_errmsg(db);
    sqlite3_finalize(scan);
    if (rc != SQLITE_DONE)
        throw Failure{rc, message};
    if (met != lines.size() ||
        saved.rows != static_cast<sqlite3_int64>(layout.rows.size() + lines.size() - changes.replaced.size()))
        throw Failure{SQLITE_ERROR, "the rows of " + named.name + " changed while it was saved"};

    std::string& out = saved.bytes;
    out.reserve(file.size());
    out.append(file.substr(0, layout.rowsStart));
    std::string_view lineBreak = layout.rows.empty() ? endingOf(out) : endingOf(file.substr(0, layout.rows[0].second));
    if (lineBreak != "\r\n" && lineBreak != "\n" && lineBreak != "\r")
        lineBreak = "\n";
    // A header that no line break ends, followed by rows now.
    if (!changes.appended.empty() && !out.empty() && layout.rows.empty() && endingOf(out) != lineBreak)
        out.append(lineBreak);
    for (const auto& [start, end] : layout.rows) {
        const std::string_view bytes = file.substr(start, end - start);
        const auto change = changes.replaced.find(static_cast<sqlite3_int64>(start));
        if (change == changes.replaced.end())
            out.append(bytes);
        else if (change->second)
            out.append(lines[*change->second]).append(endingOf(bytes));
    }
    for (sqlite3_int64 rowid : changes.appended)
        out.append(lines[rowid]).append(lineBreak);
    out.append(file.substr(layout.tailStart));
    return saved;
}
