// Tokenizer for the first module argument, which SQLite hands over with its quotes.
#include "overlay/file_path.h"

#include "common/error_pair.h"

#include <sqlite3.h>

#include <QByteArray>

#include <cctype>

namespace {

bool isBlank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// SQL hands the argument over as written, so a quote inside it is doubled
// (''); a backslash also takes the next character literally.
QByteArray readQuoted(const char* p)
{
    QByteArray token;
    for (; *p; ++p) {
        if (*p == '\'') {
            if (p[1] != '\'')
                break;
            ++p;
        } else if (*p == '\\') {
            ++p;
            if (!*p)
                break;
        }
        token.append(*p);
    }
    return token;
}

QByteArray readToken(const char* argument)
{
    const char* p = argument;
    while (*p && isBlank(*p))
        ++p;
    if (!*p)
        return QByteArray(argument);
    if (*p == '\'')
        return readQuoted(p + 1);
    const char* end = p;
    while (*end && !isBlank(*end))
        ++end;
    return QByteArray(p, static_cast<int>(end - p));
}

} // namespace

QByteArray parseFilePath(int argc, const char* const* argv)
{
    if (argc < 4)
        throw ErrorPair(SQLITE_MISUSE, QByteArray("Missing filepath"));
    return readToken(argv[3] ? argv[3] : "");
}
