// Feeds arbitrary module-argument text to the file-path parser: it must never
// crash or read past the argument, and a quoted token must round-trip.
#include "common/error_pair.h"
#include "overlay/file_path.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Quotes text as a host would write it: each quote and backslash escaped.
std::string quoted(const std::string& text)
{
    std::string result = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            result += '\\';
        result += c;
    }
    return result + "'";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string argument(reinterpret_cast<const char*>(data), size);
    const std::string text = argument.substr(0, argument.find('\0'));
    const char* argv[] = {"overlay", "main", "t", text.c_str()};
    parseFilePath(4, argv);

    const std::string wrapped = quoted(text);
    const char* quotedArgv[] = {"overlay", "main", "t", wrapped.c_str()};
    if (parseFilePath(4, quotedArgv).toUtf8() != QString::fromUtf8(text.c_str()).toUtf8())
        std::abort();
    return 0;
}
