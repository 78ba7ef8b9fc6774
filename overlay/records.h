// The records SQLite holds for an overlay table and an overlay cursor, and the
// helpers that place them in sqlite3_malloc memory.
#pragma once

#include "changelog/modification_manager.h"
#include "overlay/registration.h"
#include "overlay/routines.h"

#include <QString>

#include <memory>
#include <new>

struct OverlayTable {
    sqlite3_vtab base;
    sqlite3_vtab* inner;
    std::shared_ptr<ModificationManager> manager;
    sqlite3_int64 firstNewRowid;
    QString filePath;
    QString tableName;
    // The registration the table was made under, and its key in its logs.
    OverlayRegistration* registration;
    QString logKey;
};

struct OverlayCursor {
    sqlite3_vtab_cursor base;
    OverlayTable* table;
    sqlite3_vtab_cursor* inner;
    // Past the inner end the cursor walks the stored rows by itself: rowid is
    // then its position, and atEnd tells when no stored row is left.
    bool pastInnerEnd;
    bool atEnd;
    sqlite3_int64 rowid;
    // Set while the cursor looks up the one row with rowid wanted.
    bool lookingUp;
    sqlite3_int64 wanted;
    // An error met by xEof, which cannot report one; the next callback does.
    int pendingCode;
    char* pendingMessage;
};

// Allocates a zeroed record with sqlite3_malloc and constructs it; null when
// memory runs out.
template <typename Record>
Record* newRecord() noexcept
{
    void* block = api().malloc(sizeof(Record));
    if (!block)
        return nullptr;
    return new (block) Record{};
}

template <typename Record>
void deleteRecord(Record* record) noexcept
{
    record->~Record();
    api().free(record);
}

inline OverlayTable* overlayTable(sqlite3_vtab* vtab)
{
    return reinterpret_cast<OverlayTable*>(vtab);
}

inline OverlayCursor* overlayCursor(sqlite3_vtab_cursor* cursor)
{
    return reinterpret_cast<OverlayCursor*>(cursor);
}

// Replaces the table's error message, taking ownership of message.
inline void setTableError(sqlite3_vtab* vtab, char* message) noexcept
{
    api().free(vtab->zErrMsg);
    vtab->zErrMsg = message;
}

// Moves a message the inner module left in its table's zErrMsg over to the
// overlay table, where SQLite reports it; passes rc through.
inline int carryInnerError(OverlayTable* table, int rc) noexcept
{
    if (table->inner->zErrMsg) {
        setTableError(&table->base, table->inner->zErrMsg);
        table->inner->zErrMsg = nullptr;
    }
    return rc;
}
