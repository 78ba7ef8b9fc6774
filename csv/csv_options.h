// The arguments of the CSV module's CREATE VIRTUAL TABLE: the file's path, then
// options key=value that say how to read the file.
#pragma once

#include "csv_reader.h"

#include <string>

// The file path as the overlay reads its first argument: a bare word, or a
// single-quoted string in which a doubled quote stands for one and a backslash
// takes the next character literally.
std::string pathArgument(const char* argument);

// The options after the path (from argv[4]), each key=value at most once:
// delimiter (',' ';' '|' or tab), header (SQLite's boolean words), types (typed
// or text) and key (a column's name). Empty when they read, else what is wrong.
std::string readOptions(int argc, const char* const* argv, csvfile::Options& options);
