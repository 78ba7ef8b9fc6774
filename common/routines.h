// The host's side of SQLite, reached only through the routines pointer that the
// host's engine library defines, as a loadable extension reaches it: after this
// header every sqlite3_* call is a call through sqlite3_api. Files that work on
// the history connection's own handle include <sqlite3.h> instead, never this.
#pragma once

#include <sqlite3ext.h>

#include <QByteArray>

extern "C" {
SQLITE_EXTENSION_INIT3
}

// A copy of text in the host's SQLite memory, for a message SQLite takes over.
inline char* hostMessage(const QByteArray& text)
{
    return sqlite3_mprintf("%s", text.constData());
}
