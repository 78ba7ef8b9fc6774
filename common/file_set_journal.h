// Files replaced together: each written beside its target first, then a
// journal of the renames made durable, the renames, the journal removed.
#pragma once

#include <string>
#include <utility>
#include <vector>

// The journal of the set whose files share stem (a path without extension):
// a hidden file beside them.
std::string fileSetJournal(const std::string& stem);

// Renames each written file (first) over its target (second), through the
// journal of stem; false with error set when it could not. Files already
// renamed stay renamed, and the journal stays for finishFileSet.
bool replaceFileSet(const std::string& stem, const std::vector<std::pair<std::string, std::string>>& renames,
                    std::string& error);

// Completes the renames a journal left behind by stem lists, or, when the
// journal was never finished, removes it with the files it names; false with
// error set when it could not.
bool finishFileSet(const std::string& stem, std::string& error);
