// The overlay's xBestIndex: the inner module's plan asked without what the
// merge decides, and the equalities that narrow down the stored rows to visit.
#include "common/guard.h"
#include "overlay/callbacks.h"
#include "overlay/column_types.h"
#include "overlay/inner_rows.h"
#include "overlay/plan.h"
#include "overlay/records.h"

#include <QVarLengthArray>

#include <algorithm>

namespace {

bool isLimitOrOffset(const sqlite3_index_info::sqlite3_index_constraint& constraint)
{
    return constraint.op == SQLITE_INDEX_CONSTRAINT_LIMIT || constraint.op == SQLITE_INDEX_CONSTRAINT_OFFSET;
}

bool constrainsRowid(const sqlite3_index_info* info)
{
    for (int i = 0; i < info->nConstraint; ++i) {
        const sqlite3_index_info::sqlite3_index_constraint& constraint = info->aConstraint[i];
        if (constraint.usable && constraint.iColumn < 0 && !isLimitOrOffset(constraint))
            return true;
    }
    return false;
}

// Asks the inner module for its plan without LIMIT, OFFSET or ORDER BY:
// deleted and changed rows would use up a limit, and the merge decides the
// order. A module that finds no row by its rowid gets no constraint on it:
// the overlay scans its rows and matches the rowid itself.
int askInnerPlan(OverlayTable* table, sqlite3_index_info* info)
{
    bool withholdRowid = false;
    const int asked = guardTableCallback(&table->base, [&] {
        withholdRowid = constrainsRowid(info) && !findsRowsByRowid(*table);
        return SQLITE_OK;
    });
    if (asked != SQLITE_OK)
        return asked;
    QVarLengthArray<unsigned char, 16> usable(info->nConstraint);
    for (int i = 0; i < info->nConstraint; ++i) {
        usable[i] = info->aConstraint[i].usable;
        if (isLimitOrOffset(info->aConstraint[i]) || (withholdRowid && info->aConstraint[i].iColumn < 0))
            info->aConstraint[i].usable = 0;
    }
    const int orderBy = info->nOrderBy;
    info->nOrderBy = 0;
    int rc = table->inner->pModule->xBestIndex(table->inner, info);
    info->nOrderBy = orderBy;
    for (int i = 0; i < info->nConstraint; ++i)
        info->aConstraint[i].usable = usable[i];
    return carryInnerError(table, rc);
}

bool isBinaryCollation(sqlite3_index_info* info, int constraint)
{
    const char* collation = sqlite3_vtab_collation(info, constraint);
    return !collation || sqlite3_stricmp(collation, "BINARY") == 0;
}

} // namespace

int overlayBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    OverlayTable* table = overlayTable(vtab);
    int rc = askInnerPlan(table, info);
    if (rc != SQLITE_OK)
        return rc;
    Plan plan;
    QVarLengthArray<bool, 16> innerOmits(info->nConstraint);
    for (int i = 0; i < info->nConstraint; ++i) {
        plan.innerArgc = std::max(plan.innerArgc, info->aConstraintUsage[i].argvIndex);
        innerOmits[i] = info->aConstraintUsage[i].omit && info->aConstraintUsage[i].argvIndex > 0;
        // SQLite checks the constraints itself again: the log may hold rows
        // the inner plan knows nothing of.
        info->aConstraintUsage[i].omit = 0;
    }
    int nextArgument = plan.innerArgc;
    bool oneRow = false;
    for (int i = 0; i < info->nConstraint; ++i) {
        const sqlite3_index_info::sqlite3_index_constraint& constraint = info->aConstraint[i];
        if (!constraint.usable || constraint.op != SQLITE_INDEX_CONSTRAINT_EQ)
            continue;
        int& argvIndex = info->aConstraintUsage[i].argvIndex;
        if (argvIndex == 0)
            argvIndex = ++nextArgument;
        const bool binary = isBinaryCollation(info, i);
        // An IN list may come whole (sqlite3_vtab_in) where the inner module asks.
        const bool list = sqlite3_vtab_in(info, i, -1) != 0;
        // An equality the inner module answers itself, SQLite need not check
        // again where the overlay can match the stored rows just as SQLite
        // would: byte for byte, in a column whose values SQLite compares
        // unconverted with a bound value.
        const bool exact = !list && innerOmits[i] && binary && comparesWithoutConversion(table, constraint.iColumn);
        info->aConstraintUsage[i].omit = exact;
        plan.filters.append({constraint.iColumn, argvIndex, binary, exact});
        oneRow = oneRow || (constraint.iColumn < 0 && !list);
    }
    if (info->idxStr)
        plan.innerIdxStr = QByteArray(info->idxStr);
    char* encoded = encodePlan(plan);
    if (info->needToFreeIdxStr)
        sqlite3_free(info->idxStr);
    info->idxStr = encoded;
    info->needToFreeIdxStr = 1;
    info->orderByConsumed = 0;
    // The cursor shows at most the one row an equality on the rowid names,
    // which spares single-row writes SQLite's statement savepoint.
    if (oneRow)
        info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
    else
        info->idxFlags &= ~SQLITE_INDEX_SCAN_UNIQUE;
    return encoded ? SQLITE_OK : SQLITE_NOMEM;
}
