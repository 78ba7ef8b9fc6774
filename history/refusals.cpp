// Refusal messages are SQLite errors with SQLite's codes; file paths in them
// are shown as UTF-8, a byte that is not as U+FFFD.
#include "history/refusals.h"

#include <sqlite3.h>

ErrorPair busyElsewhere(const QString& name)
{
    return ErrorPair(SQLITE_BUSY, QStringLiteral("table %1: its change log is in use by another process").arg(name));
}

std::optional<QString> firstDifference(const std::vector<FileStamp>& then, const std::vector<FileStamp>& now)
{
    auto a = then.begin(), b = now.begin();
    while (a != then.end() || b != now.end()) {
        if (b == now.end() || (a != then.end() && stampBefore(*a, *b)))
            return QStringLiteral("file %1 is gone").arg(QString::fromUtf8(a->path));
        if (a == then.end() || stampBefore(*b, *a))
            return QStringLiteral("file %1 appeared").arg(QString::fromUtf8(b->path));
        const QString path = QString::fromUtf8(a->path);
        if (a->size != b->size)
            return QStringLiteral("file %1 changed size from %2 to %3 bytes").arg(path).arg(a->size).arg(b->size);
        if (a->modified != b->modified)
            return QStringLiteral("file %1 was modified").arg(path);
        ++a;
        ++b;
    }
    return std::nullopt;
}

ErrorPair filesChanged(const QString& name, const QString& difference, const QString& what, const QString& after)
{
    return ErrorPair(SQLITE_ERROR, QStringLiteral("table %1: cannot take up its %2: %3 since the log began, so its "
                                                  "edits may no longer match the rows")
                                           .arg(name, what, difference) +
                                       after);
}

ErrorPair filesChangedUnder(const QString& name, const QString& difference, const QString& after)
{
    return ErrorPair(SQLITE_ERROR, QStringLiteral("table %1: %2 since its change log began, so its edits may no "
                                                  "longer match the rows")
                                           .arg(name, difference) +
                                       after);
}

ErrorPair filesChangedSinceOpen(const QString& name, const QString& difference)
{
    return ErrorPair(SQLITE_ERROR, QStringLiteral("table %1: %2 since the table opened it; the table reads its files "
                                                  "as it opened them and cannot be edited: create it again to edit "
                                                  "them as they are")
                                       .arg(name, difference));
}
