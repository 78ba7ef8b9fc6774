// One check and one index of a file per process: tables that open the same
// file the same way, on any connection, share what opening it found.
#pragma once

#include "csv_reader.h"

#include <memory>
#include <string>

namespace csvfile {

// The file at path, opened and checked as options say, or the one that an open
// table of the process opened so: the same file (device and inode, reached by
// the same canonical path) with the same size and modification time to the
// nanosecond, and the same delimiter, header, types and key. A file changed
// since is opened anew. Null with error set when it cannot be opened; the
// file is shared until its last holder lets go.
std::shared_ptr<const CsvFile> openShared(const std::string& path, const Options& options, std::string& error);

// Shares a file opened already, taking over everything it holds: file is left
// as a new CsvFile is.
std::shared_ptr<const CsvFile> share(CsvFile& file);

} // namespace csvfile
