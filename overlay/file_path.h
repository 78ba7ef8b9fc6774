// Reads the file path of an overlay table from its first module argument.
#pragma once

#include <QByteArray>

// The path token of argv[3], as the bytes written: a bare word, or a
// single-quoted string in which a doubled quote stands for one and a backslash
// takes the next character literally. Throws ErrorPair (21, "Missing
// filepath") when there is no module argument.
QByteArray parseFilePath(int argc, const char* const* argv);
