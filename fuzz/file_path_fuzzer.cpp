// Feeds arbitrary module-argument text to the file-path parser: it must never
// crash or read past the argument, and a token quoted as a host would quote it
// (each quote and backslash escaped) must come back unchanged.
#include "overlay/file_path.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' || c == '\\' ? std::string{'\\', c} : std::string(1, c);
    quoted += "'";
    const char* argv[] = {"overlay", "main", "t", text.c_str()};
    const char* quotedArgv[] = {"overlay", "main", "t", quoted.c_str()};
    parseFilePath(4, argv);
    if (parseFilePath(4, quotedArgv) != QByteArray(text.c_str()))
        std::abort();
    return 0;
}
