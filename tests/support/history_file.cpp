// A second connection on the history file; WAL lets it read beside the library's.
#include "history_file.h"

#include <QDir>

HistoryFile::HistoryFile()
{
    sqlite3_open_v2(path().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db, 5000);
}

HistoryFile::~HistoryFile()
{
    sqlite3_close(db);
}

std::string HistoryFile::path()
{
    return (QDir::homePath() + QStringLiteral("/transactions.sqlite")).toStdString();
}

std::vector<ResultRow> HistoryFile::query(const std::string& sql)
{
    std::vector<ResultRow> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
        return rows;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        ResultRow row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i)
            row.push_back(describeValue(sqlite3_column_value(statement, i)));
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
}

int HistoryFile::execute(const std::string& sql)
{
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

std::vector<std::string> HistoryFile::tableNames()
{
    std::vector<std::string> names;
    for (const ResultRow& row : query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"))
        names.push_back(row[0].substr(5));
    return names;
}
