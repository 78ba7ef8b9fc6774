// Table names as they enter SQL text on the history database, and the letter
// case rule SQLite applies to them.
#pragma once

#include <QString>

// name as a double-quoted SQL identifier, embedded double quotes doubled.
inline QString quotedIdentifier(const QString& name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// SQLite compares identifiers ignoring the case of ASCII letters only.
inline QString identifierKey(const QString& name)
{
    QString key = name;
    for (QChar& c : key) {
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return key;
}
