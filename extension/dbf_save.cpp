// The rules of a VirtualDbf save: records no edit touched copied as bytes,
// edited and inserted ones formatted by shapelib at the file's own field
// widths, the whole read back by VirtualDbf before it takes the target's name.
#include "extension/dbf_save.h"

#include "extension/file_save.h"
#include "extension/save_failure.h"
#include "extension/save_plan.h"
#include "extension/table_scan.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>

#include <shapefil.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

SQLITE_EXTENSION_INIT3

namespace {

constexpr const char* dbfModule = "VirtualDbf";

unsigned byteAt(std::string_view bytes, std::size_t at)
{
    return static_cast<unsigned char>(bytes[at]);
}

} // namespace

DbfHeader dbfHeaderOf(std::string_view file, const std::string& path)
{
    DbfHeader header;
    if (file.size() >= 32) {
        header.records = byteAt(file, 4) | byteAt(file, 5) << 8 | byteAt(file, 6) << 16 |
                         static_cast<sqlite3_int64>(byteAt(file, 7)) << 24;
        header.length = byteAt(file, 8) | byteAt(file, 9) << 8;
        header.recordLength = byteAt(file, 10) | byteAt(file, 11) << 8;
    }
    const std::size_t end = header.length + static_cast<std::size_t>(header.records) * header.recordLength;
    if (file.size() < 32 || header.length < 33 || header.recordLength < 1 || file.size() < end)
        throw Failure{SQLITE_CORRUPT, "cannot save " + path + ": its header does not describe its records"};
    header.endMark = file.size() > end && file[end] == '\x1a';
    return header;
}

namespace {

std::string dequoted(const QByteArray& argument)
{
    std::string text = argument.trimmed().toStdString();
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front())
        text = text.substr(1, text.size() - 2);
    return text;
}

} // namespace

std::string withExtension(const std::string& path, const char* extension)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (has ? path.substr(0, dot) : path) + extension;
}

namespace {

// The civil date of a Julian day number at midnight, as YYYYMMDD.
std::string dateOfJulianDay(double day)
{
    const long z = static_cast<long>(std::floor(day + 0.5));
    const long a = z + 32044;
    const long b = (4 * a + 3) / 146097;
    const long c = a - 146097 * b / 4;
    const long d = (4 * c + 3) / 1461;
    const long e = c - 1461 * d / 4;
    const long m = (5 * e + 2) / 153;
    char text[80];
    std::snprintf(text, sizeof text, "%04ld%02ld%02ld", 100 * b + d - 4800 + m / 10, m + 3 - 12 * (m / 10),
                  e - (153 * m + 2) / 5 + 1);
    return text;
}

struct DbfCloser {
    void operator()(DBFInfo* dbf) const { DBFClose(dbf); }
};
using Dbf = std::unique_ptr<DBFInfo, DbfCloser>;

std::string quoted(sqlite3_value* value)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    if (!text)
        return "NULL";
    if (sqlite3_value_type(value) != SQLITE_TEXT)
        return text;
    char* quotedText = sqlite3_mprintf("%Q", text);
    std::string shown = quotedText ? quotedText : "";
    sqlite3_free(quotedText);
    return shown;
}

// Whether VirtualDbf reading back read gives value: a number as the same
// number, a text or a number in a text field as the same text.
bool readsAs(sqlite3_value* value, sqlite3_value* read)
{
    const int type = sqlite3_value_type(value), readType = sqlite3_value_type(read);
    if (type == SQLITE_NULL || readType == SQLITE_NULL)
        return type == readType;
    const bool number = type == SQLITE_INTEGER || type == SQLITE_FLOAT;
    const bool readNumber = readType == SQLITE_INTEGER || readType == SQLITE_FLOAT;
    if (number && readNumber)
        return type == SQLITE_INTEGER && readType == SQLITE_INTEGER
                   ? sqlite3_value_int64(value) == sqlite3_value_int64(read)
                   : sqlite3_value_double(value) == sqlite3_value_double(read);
    if (readType != SQLITE_TEXT || type == SQLITE_BLOB)
        return false;
    const int bytes = sqlite3_value_bytes(value);
    return bytes == sqlite3_value_bytes(read) &&
           std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                            static_cast<std::size_t>(bytes)) ==
               std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(read)),
                                static_cast<std::size_t>(bytes));
}

} // namespace

WrittenRows::~WrittenRows()
{
    for (WrittenRow& row : rows)
        for (sqlite3_value* value : row.values)
            sqlite3_value_free(value);
}

DbfSave::DbfSave(History& history, sqlite3* db, OverlayTable& table, const NamedTable& named, const char* module,
                 int firstField)
    : FileSave(history, db, table, named), module(module), firstField(firstField)
{
}

void DbfSave::onRow(sqlite3_stmt*, bool, sqlite3_int64) {}

sqlite3_int64 DbfSave::save(const char* path)
{
    const bool ownFile = checkTarget(path);
    const std::string target = ownFile ? own : std::string(path);
    const std::string file = readWholeFile(own);
    const DbfHeader header = dbfHeaderOf(file, own);
    SavedTable planned;
    static_cast<NamedTable&>(planned) = named;
    planned.log = logOf(&table);
    const SavePlan plan = planSave(db, planned, header.records);
    if (plan.unchanged()) {
        sqlite3_int64 rows = 0;
        for (sqlite3_int64 record = 0; record < header.records; ++record)
            rows += file[header.length + static_cast<std::size_t>(record) * header.recordLength] != '*';
        if (ownFile) {
            endHistory(false, nullptr);
            return rows;
        }
        writeOut(target, file);
        replaceBoth(target);
        return rows;
    }
    const std::string saved = compose(planned, plan, own, file, header);
    writeOut(target, saved);
    const sqlite3_int64 rows = readBack(out.temporaryPath());
    if (!ownFile) {
        replaceBoth(target);
        return rows;
    }
    std::string before, after;
    openInnerOver(table, own, module, before);
    InnerTable reading = openInnerOver(table, out.temporaryPath(), module, after);
    if (before != after)
        throw Failure{SQLITE_MISMATCH,
                      "cannot save " + named.name + ": " + module + " would read other columns from the saved file"};
    refuseReading();
    endHistory(true, std::move(reading));
    return rows;
}

void DbfSave::writeOut(const std::string& target, std::string_view bytes)
{
    check(out.open(target, error));
    check(out.write(bytes, error));
    check(out.sync(error));
}

// The written file and a copy of the code page file beside the table's
// own, both made in full before either takes its target's name.
void DbfSave::replaceBoth(const std::string& target)
{
    const std::string from = withExtension(own, ".cpg"), to = withExtension(target, ".cpg");
    csvfile::ReplacingFile page;
    const bool copied = from != to && QFile::exists(QFile::decodeName(from.c_str()));
    if (copied) {
        const std::string bytes = readWholeFile(from);
        check(page.open(to, error));
        check(page.write(bytes, error));
        check(page.sync(error));
    }
    check(out.replace(error));
    if (copied)
        check(page.replace(error));
}

// The file's header with today's date and the new count, the records no
// edit touched as they are, the others as shapelib formats them.
std::string DbfSave::compose(const SavedTable& planned, const SavePlan& plan, const std::string& dbf,
                             const std::string& file, const DbfHeader& header)
{
    if (!scratch.isValid())
        throw Failure{SQLITE_CANTOPEN, "cannot make a temporary folder: " + scratch.errorString().toStdString()};
    const std::string scratchPath = QFile::encodeName(scratch.filePath(QStringLiteral("rows.dbf"))).toStdString();
    Dbf old(DBFOpen(dbf.c_str(), "rb"));
    if (!old)
        throw Failure{SQLITE_CANTOPEN, "shapelib cannot open " + dbf};
    charset = table.arguments.size() > 4 ? dequoted(table.arguments[4]) : std::string();
    codec = charset.empty() ? nullptr : QTextCodec::codecForName(QByteArray::fromStdString(charset));
    Dbf rows(DBFCloneEmpty(old.get(), scratchPath.c_str()));
    if (!rows)
        throw Failure{SQLITE_CANTOPEN, "shapelib cannot write " + scratchPath};
    fields = DBFGetFieldCount(old.get());
    std::vector<std::pair<bool, sqlite3_int64>> pieces; // from the old file, and which record
    TableScan scan(db, planned);
    if (sqlite3_column_count(scan.row()) != fields + firstField)
        throw Failure{SQLITE_ERROR, "cannot save " + named.name + ": it shows other columns than the fields of " + dbf};
    while (scan.next()) {
        const sqlite3_int64 rowid = scan.rowid();
        if (rowid <= header.records && !plan.replaced.count(rowid)) {
            pieces.emplace_back(true, rowid - 1);
            onRow(scan.row(), true, rowid - 1);
            continue;
        }
        const auto record = static_cast<int>(written.rows.size());
        written.rows.push_back({static_cast<sqlite3_int64>(pieces.size()), rowid, {}});
        for (int column = 1; column < fields + firstField; ++column) {
            sqlite3_value* value = sqlite3_value_dup(sqlite3_column_value(scan.row(), column));
            if (!value)
                throw std::bad_alloc();
            written.rows.back().values.push_back(value);
        }
        for (int field = 0; field < fields; ++field)
            writeField(rows.get(), record, field, scan.row());
        onRow(scan.row(), false, record);
        pieces.emplace_back(false, record);
    }
    count = static_cast<sqlite3_int64>(pieces.size());
    rows.reset();
    const std::string formatted = readWholeFile(scratchPath);
    const DbfHeader made = dbfHeaderOf(formatted, scratchPath);
    if (made.length != header.length || made.recordLength != header.recordLength)
        throw Failure{SQLITE_ERROR, "cannot save " + named.name + ": shapelib lays out the fields of " + dbf +
                                        " otherwise than the file does"};

    std::string saved = file.substr(0, header.length);
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    saved[1] = static_cast<char>(today.tm_year % 256);
    saved[2] = static_cast<char>(today.tm_mon + 1);
    saved[3] = static_cast<char>(today.tm_mday);
    const auto records = static_cast<std::uint32_t>(pieces.size());
    for (int at = 0; at < 4; ++at)
        saved[static_cast<std::size_t>(4 + at)] = static_cast<char>((records >> (8 * at)) & 0xff);
    saved.reserve(header.length + pieces.size() * header.recordLength + 1);
    for (const auto& [fromFile, record] : pieces)
        saved.append(fromFile ? std::string_view(file) : std::string_view(formatted),
                     header.length + static_cast<std::size_t>(record) * header.recordLength, header.recordLength);
    if (header.endMark)
        saved += '\x1a';
    return saved;
}

void DbfSave::refuse(sqlite3_stmt* row, int column, const std::string& why)
{
    throw Failure{SQLITE_MISMATCH, "row " + std::to_string(sqlite3_column_int64(row, 0)) + ", column " +
                                       sqlite3_column_name(row, column) + ", holds " + why};
}

void DbfSave::writeField(DBFHandle rows, int record, int field, sqlite3_stmt* row)
{
    sqlite3_value* value = sqlite3_column_value(row, firstField + field);
    const int type = sqlite3_value_type(value);
    int width = 0, decimals = 0;
    char name[12] = {};
    DBFGetFieldInfo(rows, field, name, &width, &decimals);
    const char kind = DBFGetNativeFieldType(rows, field);
    const std::string shape = std::string("field ") + name + " (" + kind + ", " + std::to_string(width) +
                              (decimals ? "." + std::to_string(decimals) : std::string()) + ")";
    if (type == SQLITE_NULL) {
        DBFWriteNULLAttribute(rows, record, field);
        return;
    }
    if (type == SQLITE_BLOB)
        refuse(row, firstField + field, "a blob, which no field of a DBF file holds");
    std::string bytes;
    if (kind == 'C') {
        const QString text =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_value_text(value)), sqlite3_value_bytes(value));
        QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull | QTextCodec::IgnoreHeader);
        const QByteArray encoded = codec ? codec->fromUnicode(text.constData(), text.size(), &state) : QByteArray();
        if (!codec)
            refuse(row, firstField + field, "text, and no encoder of the charset '" + charset + "' is known");
        if (state.invalidChars > 0 || text.contains(QChar(0)))
            refuse(row, firstField + field, quoted(value) + ", which " + charset + " cannot encode");
        if (encoded.size() > width)
            refuse(row, firstField + field,
                   std::to_string(encoded.size()) + " bytes of text, more than " + shape + " holds");
        bytes = encoded.toStdString();
    } else if (kind == 'N' || kind == 'F') {
        if (type == SQLITE_TEXT)
            refuse(row, firstField + field, "text, where " + shape + " holds numbers");
        char text[400];
        if (type == SQLITE_INTEGER && decimals == 0)
            std::snprintf(text, sizeof text, "%lld", static_cast<long long>(sqlite3_value_int64(value)));
        else
            std::snprintf(text, sizeof text, "%.*f", decimals, sqlite3_value_double(value));
        const bool exact = type == SQLITE_INTEGER ? std::strtoll(text, nullptr, 10) == sqlite3_value_int64(value) ||
                                                        std::strtod(text, nullptr) == sqlite3_value_double(value)
                                                  : std::strtod(text, nullptr) == sqlite3_value_double(value);
        if (!exact)
            refuse(row, firstField + field, quoted(value) + ", more decimals than " + shape + " keeps");
        bytes = text;
        if (bytes.size() > static_cast<std::size_t>(width))
            refuse(row, firstField + field, quoted(value) + ", more digits than " + shape + " holds");
        bytes.insert(0, static_cast<std::size_t>(width) - bytes.size(), ' ');
    } else if (kind == 'L' && type == SQLITE_INTEGER && sqlite3_value_int64(value) >= 0 &&
               sqlite3_value_int64(value) <= 1) {
        bytes = sqlite3_value_int64(value) ? "T" : "F";
    } else if (kind == 'D' && width == 8) {
        bytes = type == SQLITE_TEXT ? std::string(reinterpret_cast<const char*>(sqlite3_value_text(value)))
                                    : dateOfJulianDay(sqlite3_value_double(value));
        if (bytes.size() != 8)
            refuse(row, firstField + field, quoted(value) + ", which " + shape + " cannot hold as a date");
    } else {
        refuse(row, firstField + field, quoted(value) + ", which " + shape + " cannot hold");
    }
    if (!DBFWriteAttributeDirectly(rows, record, field, bytes.data()))
        throw Failure{SQLITE_IOERR, "shapelib cannot write row " + std::to_string(sqlite3_column_int64(row, 0))};
}

sqlite3_int64 DbfSave::readBack(const std::string& path)
{
    sqlite3* reader = nullptr;
    int rc = sqlite3_open_v2(":memory:", &reader, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(reader, sqlite3_close);
    if (rc == SQLITE_OK)
        rc = sqlite3_create_module_v2(reader, module, table.registration->innerModule,
                                      table.registration->innerClientData, nullptr);
    std::string sql = std::string("CREATE VIRTUAL TABLE back USING ") + module + "(";
    char* quotedPath = sqlite3_mprintf("%Q", path.c_str());
    sql += quotedPath ? quotedPath : "''";
    sqlite3_free(quotedPath);
    for (std::size_t argument = 4; argument < table.arguments.size(); ++argument)
        sql += ", " + table.arguments[argument].toStdString();
    sql += ")";
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(reader, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_stmt* scan = nullptr;
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(reader, "SELECT rowid, * FROM back", -1, &scan, nullptr);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalizer(scan, sqlite3_finalize);
    if (rc != SQLITE_OK)
        throw Failure{rc, std::string(module) +
                              " cannot read the saved file: " + (reader ? sqlite3_errmsg(reader) : sqlite3_errstr(rc))};
    sqlite3_int64 rows = 0;
    auto next = written.rows.begin();
    while ((rc = sqlite3_step(scan)) == SQLITE_ROW) {
        ++rows;
        if (next == written.rows.end() || sqlite3_column_int64(scan, 0) != next->position + 1)
            continue;
        for (int field = 0; field < fields; ++field) {
            sqlite3_value* value = next->values[static_cast<std::size_t>(firstField - 1 + field)];
            sqlite3_value* read = sqlite3_column_value(scan, firstField + field);
            if (!readsAs(value, read))
                throw Failure{SQLITE_MISMATCH, "row " + std::to_string(next->rowid) + ", column " +
                                                   sqlite3_column_name(scan, firstField + field) + ", holds " +
                                                   quoted(value) + ", which " + module + " would read back as " +
                                                   quoted(read)};
        }
        ++next;
    }
    if (rc != SQLITE_DONE)
        throw Failure{rc, std::string(module) + " cannot read the saved file: " + sqlite3_errmsg(reader)};
    if (next != written.rows.end() || rows != count)
        throw Failure{SQLITE_MISMATCH,
                      "cannot save " + named.name + ": " + module + " would not read the saved file back as its rows"};
    return rows;
}

void saveDbfTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function, const HistoryLink& link)
{
    runFileSave(ctx, argc, argv, function, link, dbfModule,
                [](History& history, sqlite3* db, OverlayTable& table, const NamedTable& named, const char* path) {
                    return DbfSave(history, db, table, named).save(path);
                });
}

bool isDbfModule(const std::string& name, const sqlite3_module* innerModule)
{
    return sqlite3_stricmp(name.c_str(), dbfModule) == 0 && innerModule->xOpen && innerModule->xFilter;
}
