// Records handed over to SQLite (tables, cursors), placed in the host's
// sqlite3_malloc memory so that SQLite may hold them across the library's calls.
#pragma once

#include "common/routines.h"

#include <new>

// Allocates a zeroed record with sqlite3_malloc and constructs it; null when
// memory runs out.
template <typename Record>
Record* newRecord() noexcept
{
    void* block = sqlite3_malloc(sizeof(Record));
    if (!block)
        return nullptr;
    return new (block) Record{};
}

template <typename Record>
void deleteRecord(Record* record) noexcept
{
    record->~Record();
    sqlite3_free(record);
}
