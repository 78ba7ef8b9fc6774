// Plans of the CSV module. Rowids are 1..n in file order, so a rowid or a range
// of them is found in constant time from the rows' offsets; the key column's
// index gives the rows whose value may equal a value. idxStr holds a letter per
// argument: e (rowid =), g (rowid >), G (>=), l (<), L (<=), k (key =) and K
// (key IN, the whole list in one argument).
#include "csv_plan.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace csvfile {
namespace {

sqlite3_int64 rowCount(const CsvFile& file)
{
    return static_cast<sqlite3_int64>(file.rows.size());
}

bool isBinary(sqlite3_index_info* info, int constraint)
{
    const char* collation = sqlite3_vtab_collation(info, constraint);
    return !collation || sqlite3_stricmp(collation, "BINARY") == 0;
}

char rowidLetter(unsigned char op)
{
    switch (op) {
    case SQLITE_INDEX_CONSTRAINT_EQ:
        return 'e';
    case SQLITE_INDEX_CONSTRAINT_GT:
        return 'g';
    case SQLITE_INDEX_CONSTRAINT_GE:
        return 'G';
    case SQLITE_INDEX_CONSTRAINT_LT:
        return 'l';
    case SQLITE_INDEX_CONSTRAINT_LE:
        return 'L';
    default:
        return 0;
    }
}

// A value as the rowid's integer affinity compares it: a number (an integer
// as a double, exact for every rowid of a file), or none for text that reads
// as no number and for a blob, which sort above every number. NULL meets nothing.
enum class Kind { Null, Number, AboveNumbers };

Kind numberOf(sqlite3_value* value, double& number)
{
    int type = sqlite3_value_type(value);
    sqlite3_value* converted = nullptr;
    if (type == SQLITE_TEXT) {
        // Converted on a copy: SQLite checks the constraint with the value as it came.
        converted = sqlite3_value_dup(value);
        if (!converted)
            throw std::bad_alloc();
        type = sqlite3_value_numeric_type(converted);
        value = converted;
    }
    Kind kind = Kind::AboveNumbers;
    if (type == SQLITE_NULL) {
        kind = Kind::Null;
    } else if (type == SQLITE_INTEGER) {
        // Clamped to where no rowid of a file lies, where a double is exact.
        constexpr sqlite3_int64 far = sqlite3_int64{1} << 52;
        number = static_cast<double>(std::clamp(sqlite3_value_int64(value), -far, far));
        kind = Kind::Number;
    } else if (type == SQLITE_FLOAT) {
        number = sqlite3_value_double(value);
        kind = Kind::Number;
    }
    sqlite3_value_free(converted);
    return kind;
}

// Narrows first..last to the rowids that meet "rowid <op> value".
void narrowRowids(char letter, sqlite3_value* value, sqlite3_int64& first, sqlite3_int64& last)
{
    double number = 0;
    const Kind kind = numberOf(value, number);
    const bool below = letter == 'l' || letter == 'L';
    if (kind == Kind::Null || (kind == Kind::AboveNumbers && !below)) {
        first = 1;
        last = 0;
    }
    if (kind != Kind::Number)
        return;
    // Out here the comparison goes the same for every rowid of the file.
    number = std::clamp(number, -1.0, static_cast<double>(last) + 1);
    double low = static_cast<double>(first), high = static_cast<double>(last);
    if (letter == 'e' && number != std::floor(number))
        high = low - 1;
    if (letter == 'e' || letter == 'G')
        low = std::max(low, std::ceil(number));
    if (letter == 'g')
        low = std::max(low, std::floor(number) + 1);
    if (letter == 'e' || letter == 'L')
        high = std::min(high, std::floor(number));
    if (letter == 'l')
        high = std::min(high, std::ceil(number) - 1);
    first = static_cast<sqlite3_int64>(low);
    last = static_cast<sqlite3_int64>(high);
}

// value as the key index reads it; none for a blob, which no field equals.
bool cellOf(sqlite3_value* value, Cell& cell)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        cell = sqlite3_value_int64(value);
        return true;
    case SQLITE_FLOAT:
        cell = sqlite3_value_double(value);
        return true;
    case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
        if (!text)
            throw std::bad_alloc();
        cell = std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(value)));
        return true;
    }
    case SQLITE_NULL:
        cell = Cell();
        return true;
    default:
        return false;
    }
}

void addKeyRows(const CsvFile& file, sqlite3_value* value, std::vector<std::uint64_t>& rows)
{
    Cell cell;
    if (cellOf(value, cell))
        file.keys.addCandidates(cell, rows);
}

// The rows whose key may equal the value, or any value of an IN list, ascending.
int keyRows(const CsvFile& file, char letter, sqlite3_value* value, std::vector<std::uint64_t>& rows)
{
    rows.clear();
    sqlite3_value* item = nullptr;
    int rc = letter == 'K' ? sqlite3_vtab_in_first(value, &item) : SQLITE_MISUSE;
    if (rc == SQLITE_MISUSE) // not a list: SQLite hands its values one at a time
        addKeyRows(file, value, rows);
    for (; rc == SQLITE_OK && item; rc = sqlite3_vtab_in_next(value, &item))
        addKeyRows(file, item, rows);
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_MISUSE)
        return rc;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return SQLITE_OK;
}

} // namespace

int planQuery(const CsvFile& file, sqlite3_index_info* info)
{
    const double rows = static_cast<double>(rowCount(file));
    std::string letters;
    sqlite3_int64 first = 1, last = rowCount(file);
    double share = 1; // of the range, by bounds not known yet
    bool byRowid = false, byKey = false, keyList = false;
    for (int i = 0; i < info->nConstraint; ++i) {
        const sqlite3_index_info::sqlite3_index_constraint& constraint = info->aConstraint[i];
        if (!constraint.usable)
            continue;
        char letter = 0;
        if (constraint.iColumn < 0) {
            letter = rowidLetter(constraint.op);
            if (letter == 'e' && std::exchange(byRowid, true))
                letter = 0;
            sqlite3_value* known = nullptr;
            if (letter && sqlite3_vtab_rhs_value(info, i, &known) == SQLITE_OK && known)
                narrowRowids(letter, known, first, last);
            else if (letter && letter != 'e')
                share /= 4;
        } else if (static_cast<std::size_t>(constraint.iColumn) == file.keyColumn &&
                   constraint.op == SQLITE_INDEX_CONSTRAINT_EQ && !byKey && isBinary(info, i)) {
            // A list is taken whole, so that a row that two of its values may
            // equal comes once; a list that cannot be is left to SQLite.
            keyList = sqlite3_vtab_in(info, i, -1) != 0;
            if (keyList)
                sqlite3_vtab_in(info, i, 1);
            letter = keyList ? 'K' : 'k';
            byKey = true;
        }
        if (letter) {
            letters += letter;
            info->aConstraintUsage[i].argvIndex = static_cast<int>(letters.size());
        }
    }
    double visited = byRowid ? 1 : std::max(0.0, static_cast<double>(last - first + 1)) * share;
    if (byKey)
        visited = std::min(visited, file.keys.rowsPerValue() * (keyList ? 10 : 1));
    // A lookup costs about a row read; a scan a row read per row.
    info->estimatedCost = std::max(visited, 1.0) + (visited < rows ? 1 : 0);
    info->estimatedRows = static_cast<sqlite3_int64>(std::ceil(visited));
    if (byRowid)
        info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
    if (info->nOrderBy >= 1 && info->aOrderBy[0].iColumn < 0 && !info->aOrderBy[0].desc)
        info->orderByConsumed = 1;
    info->idxNum = 0;
    if (!letters.empty()) {
        info->idxStr = sqlite3_mprintf("%s", letters.c_str());
        if (!info->idxStr)
            return SQLITE_NOMEM;
        info->needToFreeIdxStr = 1;
    }
    return SQLITE_OK;
}

int visitFor(const CsvFile& file, const char* idxStr, int argc, sqlite3_value** argv, Visit& visit)
{
    visit = Visit{1, rowCount(file), false, {}};
    const std::size_t letters = idxStr ? std::strlen(idxStr) : 0;
    std::vector<std::uint64_t> keyed;
    for (std::size_t i = 0; i < letters && i < static_cast<std::size_t>(argc); ++i) {
        if (idxStr[i] == 'k' || idxStr[i] == 'K') {
            const int rc = keyRows(file, idxStr[i], argv[i], keyed);
            if (rc != SQLITE_OK)
                return rc;
            visit.listed = true;
        } else {
            narrowRowids(idxStr[i], argv[i], visit.first, visit.last);
        }
    }
    for (const std::uint64_t row : keyed) {
        const auto rowid = static_cast<sqlite3_int64>(row) + 1;
        if (rowid >= visit.first && rowid <= visit.last)
            visit.rowids.push_back(rowid);
    }
    return SQLITE_OK;
}

} // namespace csvfile
