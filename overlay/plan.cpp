// "innerArgc;column:argv:binary,...;" then '+' and the inner idxStr, or '-'.
#include "overlay/plan.h"

char* encodePlan(const Plan& plan)
{
    QByteArray text = QByteArray::number(plan.innerArgc) + ';';
    for (const PlanFilter& filter : plan.filters)
        text += QByteArray::number(filter.column) + ':' + QByteArray::number(filter.argvIndex) + ':' +
                (filter.binary ? '1' : '0') + ',';
    text += ';';
    text += plan.innerIdxStr ? '+' + *plan.innerIdxStr : QByteArray("-");
    return sqlite3_mprintf("%s", text.constData());
}

Plan decodePlan(const char* idxStr)
{
    Plan plan;
    if (!idxStr)
        return plan;
    const QByteArray text(idxStr);
    const int first = text.indexOf(';');
    const int second = text.indexOf(';', first + 1);
    if (first < 0 || second < 0)
        return plan;
    plan.innerArgc = text.left(first).toInt();
    for (const QByteArray& part : text.mid(first + 1, second - first - 1).split(',')) {
        const QList<QByteArray> fields = part.split(':');
        if (fields.size() == 3)
            plan.filters.append({fields[0].toInt(), fields[1].toInt(), fields[2] == "1"});
    }
    if (text.size() > second + 1 && text.at(second + 1) == '+')
        plan.innerIdxStr = text.mid(second + 2);
    return plan;
}
