// "innerArgc;column:argv:binary,...;" then '+' and the inner idxStr, or '-'.
#include "overlay/plan.h"

#include <cstdlib>

char* encodePlan(const Plan& plan)
{
    QByteArray text = QByteArray::number(plan.innerArgc) + ';';
    for (const PlanFilter& filter : plan.filters)
        text += QByteArray::number(filter.column) + ':' + QByteArray::number(filter.argvIndex) + ':' +
                (filter.binary ? '1' : '0') + ':' + (filter.exact ? '1' : '0') + ',';
    text += ';';
    text += plan.innerIdxStr ? '+' + *plan.innerIdxStr : QByteArray("-");
    return sqlite3_mprintf("%s", text.constData());
}

// Read once per xFilter, so read in place: a number, then the character after it.
Plan decodePlan(const char* idxStr)
{
    Plan plan;
    if (!idxStr)
        return plan;
    char* at = nullptr;
    plan.innerArgc = static_cast<int>(std::strtol(idxStr, &at, 10));
    if (*at++ != ';')
        return Plan();
    while (*at && *at != ';') {
        PlanFilter filter;
        filter.column = static_cast<int>(std::strtol(at, &at, 10));
        if (*at++ != ':')
            return Plan();
        filter.argvIndex = static_cast<int>(std::strtol(at, &at, 10));
        if (*at++ != ':')
            return Plan();
        filter.binary = *at++ == '1';
        if (*at++ != ':')
            return Plan();
        filter.exact = *at++ == '1';
        if (*at++ != ',')
            return Plan();
        plan.filters.append(filter);
    }
    if (*at++ != ';')
        return Plan();
    if (*at == '+')
        plan.innerIdxStr = QByteArray(at + 1);
    return plan;
}
