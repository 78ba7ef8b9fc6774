// A table-valued module: range(first, last) lists the integers first..last,
// each its own rowid; its arguments are HIDDEN columns that every plan needs.
#include "memory_module.h"

namespace memory_module {
namespace {

enum Column { Value, First, Last };

struct Cursor {
    sqlite3_vtab_cursor base;
    sqlite3_int64 first;
    sqlite3_int64 value;
    sqlite3_int64 last;
};

int xConnect(sqlite3* db, void*, int, const char* const*, sqlite3_vtab** out, char**)
{
    int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(value, first HIDDEN, last HIDDEN)");
    if (rc != SQLITE_OK)
        return rc;
    *out = static_cast<sqlite3_vtab*>(sqlite3_malloc(sizeof(sqlite3_vtab)));
    if (!*out)
        return SQLITE_NOMEM;
    **out = sqlite3_vtab{};
    return SQLITE_OK;
}

int xDisconnect(sqlite3_vtab* vtab)
{
    sqlite3_free(vtab);
    return SQLITE_OK;
}

// Both arguments, or no plan at all.
int xBestIndex(sqlite3_vtab*, sqlite3_index_info* info)
{
    int found = 0;
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& c = info->aConstraint[i];
        if (c.iColumn != First && c.iColumn != Last)
            continue;
        if (!c.usable || c.op != SQLITE_INDEX_CONSTRAINT_EQ)
            return SQLITE_CONSTRAINT;
        info->aConstraintUsage[i].argvIndex = c.iColumn;
        info->aConstraintUsage[i].omit = 1;
        found |= c.iColumn;
    }
    if (found != (First | Last))
        return SQLITE_CONSTRAINT;
    info->estimatedCost = 10;
    return SQLITE_OK;
}

int xOpen(sqlite3_vtab*, sqlite3_vtab_cursor** out)
{
    auto* cursor = static_cast<Cursor*>(sqlite3_malloc(sizeof(Cursor)));
    if (!cursor)
        return SQLITE_NOMEM;
    *cursor = Cursor{};
    *out = &cursor->base;
    return SQLITE_OK;
}

int xClose(sqlite3_vtab_cursor* cursor)
{
    sqlite3_free(cursor);
    return SQLITE_OK;
}

int xFilter(sqlite3_vtab_cursor* base, int, const char*, int argc, sqlite3_value** argv)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    cursor->first = argc == 2 ? sqlite3_value_int64(argv[0]) : 1;
    cursor->value = cursor->first;
    cursor->last = argc == 2 ? sqlite3_value_int64(argv[1]) : 0;
    return SQLITE_OK;
}

int xNext(sqlite3_vtab_cursor* base)
{
    reinterpret_cast<Cursor*>(base)->value++;
    return SQLITE_OK;
}

int xEof(sqlite3_vtab_cursor* base)
{
    const Cursor* cursor = reinterpret_cast<Cursor*>(base);
    return cursor->value > cursor->last ? 1 : 0;
}

int xColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    const Cursor* cursor = reinterpret_cast<Cursor*>(base);
    sqlite3_result_int64(ctx, column == Value ? cursor->value : column == First ? cursor->first : cursor->last);
    return SQLITE_OK;
}

int xRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid)
{
    *rowid = reinterpret_cast<Cursor*>(base)->value;
    return SQLITE_OK;
}

const sqlite3_module range = {
    1,       xConnect, xConnect, xBestIndex, xDisconnect, xDisconnect, xOpen,   xClose,
    xFilter, xNext,    xEof,     xColumn,    xRowid,      nullptr,     nullptr, nullptr,
    nullptr, nullptr,  nullptr,  nullptr,    nullptr,     nullptr,     nullptr, nullptr,
};

} // namespace

const sqlite3_module* rangeModule()
{
    return &range;
}

} // namespace memory_module
