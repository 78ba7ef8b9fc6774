// Table names as they enter SQL text, and the one rule by which two names are
// the same table: SQLite's, which ignores the case of ASCII letters only.
#pragma once

#include <QString>

// name as a double-quoted SQL identifier, embedded double quotes doubled.
inline QString quotedIdentifier(const QString& name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The key under which a name is kept: ASCII letters folded to lower case.
inline QString identifierKey(const QString& name)
{
    QString key = name;
    for (QChar& c : key) {
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return key;
}

inline bool sameIdentifier(const QString& a, const QString& b)
{
    return identifierKey(a) == identifierKey(b);
}
