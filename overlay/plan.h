// The overlay's query plans, carried to xFilter in idxStr: how many arguments
// the inner plan takes, the inner plan's own idxStr, and the equality
// constraints whose values narrow down the stored rows to visit.
#pragma once

#include "common/routines.h"

#include <QByteArray>
#include <QList>

#include <optional>

struct PlanFilter {
    int column;    // -1 for the rowid
    int argvIndex; // one-based, as in sqlite3_index_constraint_usage
    bool binary;   // text compares byte for byte (the BINARY collation)
    // The inner module answers the constraint itself and SQLite does not
    // check it again: the stored rows must meet it exactly.
    bool exact;
};

struct Plan {
    int innerArgc = 0;
    QList<PlanFilter> filters;
    std::optional<QByteArray> innerIdxStr;
};

// The idxStr of a plan, in sqlite3_malloc memory; null when memory runs out.
char* encodePlan(const Plan& plan);
// The plan behind an idxStr that encodePlan made; an empty plan for null.
Plan decodePlan(const char* idxStr);
