// The edits a Save writes into a module that writes its own rows: each row's
// values read from the table first, then every write made in one transaction
// of the inner module, so that a failure midway leaves the inner rows as they
// were and the log in place.
#include "overlay/inner_apply.h"

#include "common/identifiers.h"
#include "overlay/inner_rows.h"

#include <optional>
#include <utility>

namespace {

// A query of the host connection, finalized however reading ends.
struct HostQuery {
    sqlite3_stmt* handle = nullptr;
    HostQuery(sqlite3* db, const QByteArray& sql)
    {
        if (sqlite3_prepare_v2(db, sql.constData(), -1, &handle, nullptr) != SQLITE_OK)
            throw ErrorPair(sqlite3_errcode(db), QByteArray(sqlite3_errmsg(db)));
    }
    ~HostQuery() { sqlite3_finalize(handle); }
};

void exec(sqlite3* db, const char* sql)
{
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw ErrorPair(sqlite3_errcode(db), QByteArray(sqlite3_errmsg(db)));
}

QByteArray rowText(sqlite3_int64 rowid)
{
    return "row " + QByteArray::number(rowid);
}

} // namespace

InnerChanges::InnerChanges(OverlayTable& table, ChangeLog& log) : table(table)
{
    try {
        read(log);
    } catch (...) {
        for (Call& call : calls)
            for (sqlite3_value* value : call)
                sqlite3_value_free(value);
        throw;
    }
}

InnerChanges::~InnerChanges()
{
    for (Call& call : calls)
        for (sqlite3_value* value : call)
            sqlite3_value_free(value);
}

// Removals come first in calls, then writes; a row moved to another rowid is
// both, as the inner module may not move a row onto a rowid still taken.
void InnerChanges::read(ChangeLog& log)
{
    struct Write {
        sqlite3_int64 rowid;
        bool inPlace;
    };
    std::vector<sqlite3_int64> removed;
    std::vector<Write> updates, inserts;
    const std::unique_ptr<ChangeLog::ChangeListing> listing = log.listChanges();
    while (const std::optional<ChangeLog::RowChange> change = listing->next()) {
        ++changed;
        if (change->kind == ChangeLog::ChangeKind::Delete) {
            removed.push_back(*change->originalRowid);
        } else if (change->kind == ChangeLog::ChangeKind::Insert) {
            inserts.push_back({*change->rowid, false});
        } else if (*change->originalRowid == *change->rowid) {
            updates.push_back({*change->rowid, true});
        } else {
            removed.push_back(*change->originalRowid);
            inserts.push_back({*change->rowid, false});
        }
    }
    const QByteArray& rowid = rowidNameOf(table);
    HostQuery single(table.db, "SELECT ?1");
    for (sqlite3_int64 row : removed) {
        sqlite3_bind_int64(single.handle, 1, row);
        if (sqlite3_step(single.handle) != SQLITE_ROW)
            throw ErrorPair(sqlite3_errcode(table.db), QByteArray(sqlite3_errmsg(table.db)));
        calls.push_back({sqlite3_value_dup(sqlite3_column_value(single.handle, 0))});
        sqlite3_reset(single.handle);
        if (!calls.back()[0])
            throw ErrorPair(SQLITE_NOMEM, QByteArray("out of memory"));
    }
    // xUpdate's arguments as the table shows the row: its old rowid (NULL for
    // an insert), its rowid, then every column, hidden ones too.
    HostQuery shown(table.db, "SELECT CASE WHEN ?2 THEN " + rowid + " END, " + rowid + ", " + allColumnsOf(table) +
                                  " FROM " + quotedIdentifier(QString::fromUtf8(table.schema)).toUtf8() + '.' +
                                  quotedIdentifier(nameOf(table)).toUtf8() + " WHERE " + rowid + " = ?1");
    for (const std::vector<Write>* writes : {&updates, &inserts}) {
        for (const Write& write : *writes) {
            sqlite3_bind_int64(shown.handle, 1, write.rowid);
            sqlite3_bind_int(shown.handle, 2, write.inPlace);
            const int rc = sqlite3_step(shown.handle);
            if (rc != SQLITE_ROW) {
                const QByteArray message(sqlite3_errmsg(table.db));
                throw rc == SQLITE_DONE ? ErrorPair(SQLITE_ERROR, rowText(write.rowid) + " vanished while it was saved")
                                        : ErrorPair(rc, message);
            }
            Call& call = calls.emplace_back();
            for (int column = 0; column < sqlite3_column_count(shown.handle); ++column) {
                call.push_back(sqlite3_value_dup(sqlite3_column_value(shown.handle, column)));
                if (!call.back())
                    throw ErrorPair(SQLITE_NOMEM, QByteArray("out of memory"));
            }
            sqlite3_reset(shown.handle);
        }
    }
}

sqlite3_int64 InnerChanges::callInner(const Call& call, const char* what)
{
    sqlite3_vtab* inner = table.inner;
    sqlite3_int64 rowid = 0;
    const int rc =
        inner->pModule->xUpdate(inner, static_cast<int>(call.size()), const_cast<sqlite3_value**>(call.data()), &rowid);
    if (rc == SQLITE_OK)
        return rowid;
    const QByteArray said(inner->zErrMsg ? inner->zErrMsg : sqlite3_errstr(rc));
    sqlite3_free(std::exchange(inner->zErrMsg, nullptr));
    const sqlite3_value* row = call.size() > 1 ? call[1] : call[0];
    throw ErrorPair(rc, "the module refused to " + QByteArray(what) + ' ' +
                            rowText(sqlite3_value_int64(const_cast<sqlite3_value*>(row))) + ": " + said);
}

// A module may take an insert and keep no row: then the save would lose it.
void InnerChanges::requireInserted(const std::vector<sqlite3_int64>& rowids)
{
    if (rowids.empty() || !findsRowsByRowid(table))
        return;
    for (sqlite3_int64 rowid : rowids) {
        bool found = false;
        askInnerRows(table, "SELECT 0 FROM ", rowid, [&found](sqlite3_stmt*) { found = true; });
        if (!found)
            throw ErrorPair(SQLITE_ERROR, "the module took the insert of " + rowText(rowid) +
                                              " but keeps no such row: it cannot be saved through its own writes");
    }
}

void InnerChanges::apply()
{
    sqlite3_vtab* inner = table.inner;
    const sqlite3_module& module = *inner->pModule;
    const auto step = [&](int (*callback)(sqlite3_vtab*), const char* what) {
        const int rc = callback ? callback(inner) : SQLITE_OK;
        if (rc != SQLITE_OK) {
            const QByteArray said(inner->zErrMsg ? inner->zErrMsg : sqlite3_errstr(rc));
            sqlite3_free(std::exchange(inner->zErrMsg, nullptr));
            throw ErrorPair(rc, "the module failed to " + QByteArray(what) + ": " + said);
        }
    };
    exec(table.db, "SAVEPOINT ombrix_save");
    bool begun = false;
    try {
        step(module.xBegin, "begin its transaction");
        begun = true;
        std::vector<sqlite3_int64> inserted;
        for (const Call& call : calls) {
            const bool insert = call.size() > 1 && sqlite3_value_type(call[0]) == SQLITE_NULL;
            const sqlite3_int64 rowid = callInner(call, call.size() == 1 ? "delete" : insert ? "insert" : "update");
            if (insert)
                inserted.push_back(rowid);
        }
        requireInserted(inserted);
        step(module.xSync, "sync its transaction");
        exec(table.db, "RELEASE ombrix_save");
    } catch (...) {
        if (begun && module.xRollback)
            module.xRollback(inner);
        sqlite3_free(std::exchange(inner->zErrMsg, nullptr));
        sqlite3_exec(table.db, "ROLLBACK TO ombrix_save; RELEASE ombrix_save", nullptr, nullptr, nullptr);
        throw;
    }
    step(module.xCommit, "commit its transaction");
}
