// Which files a save may write: the path given, checked against the files
// it must never replace, and told apart from the table's own file.
#pragma once

#include "extension/saved_table.h"
#include "history/history.h"

#include <string>

// Whether path (the table's own file when null) is the file the table
// opened, by that file's path or through a symbolic link: a save over its own
// file. Throws Failure for a path the save must not write: another name of
// the table's file (a hard link), the history database or one of its files,
// a database of the connection or any SQLite database, a file that a change
// log other than the table's own lies over.
bool isOwnFileTarget(sqlite3* db, const SavedTable& table, const char* path);

// The same for a table of name, with a log of its own when hasLog, over the
// file ownFile (canonical) that it opened by that path: path names ownFile
// only by that path or through a symbolic link to it.
bool isOwnPathTarget(sqlite3* db, History* history, const std::string& name, bool hasLog, const std::string& ownFile,
                     const char* path);
