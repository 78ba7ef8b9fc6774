// Reads the CSV module's arguments: the path as the overlay reads it, and the
// options, each key=value at most once, keys and words in any case.
#include "csv_options.h"

#include <algorithm>
#include <cctype>
#include <vector>

std::string pathArgument(const char* argument)
{
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const char* p = argument;
    while (*p && blank(*p))
        ++p;
    std::string path;
    if (*p != '\'') {
        for (; *p && !blank(*p); ++p)
            path += *p;
        return path;
    }
    for (++p; *p; ++p) {
        if (*p == '\'' && *++p != '\'')
            break;
        if (*p == '\\' && !*++p)
            break;
        path += *p;
    }
    return path;
}

namespace {

std::string lowered(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\n\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\n\r") - first + 1);
}

// A value as written, or the text inside single or double quotes.
std::string unquoted(const std::string& value)
{
    const std::string text = trimmed(value);
    if (text.size() >= 2 && (text[0] == '\'' || text[0] == '"') && text.back() == text[0])
        return text.substr(1, text.size() - 2);
    return text;
}

bool readDelimiter(const std::string& value, char& delimiter)
{
    const std::string text = unquoted(value);
    if (text == "," || text == ";" || text == "|" || text == "\t") {
        delimiter = text[0];
        return true;
    }
    if (lowered(text) == "tab" || text == "\\t") {
        delimiter = '\t';
        return true;
    }
    return false;
}

// SQLite's words for a boolean, as PRAGMA reads them.
bool readSwitch(const std::string& value, bool& on)
{
    const std::string text = lowered(unquoted(value));
    for (const char* yes : {"yes", "true", "on", "1"}) {
        if (text == yes)
            return on = true;
    }
    for (const char* no : {"no", "false", "off", "0"}) {
        if (text == no) {
            on = false;
            return true;
        }
    }
    return false;
}

bool readTypes(const std::string& value, bool& typed)
{
    const std::string text = lowered(unquoted(value));
    typed = text == "typed";
    return typed || text == "text";
}

} // namespace

std::string readOptions(int argc, const char* const* argv, csvfile::Options& options)
{
    std::vector<std::string> given;
    for (int i = 4; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string key = lowered(trimmed(argument.substr(0, equals)));
        const std::string value = equals == std::string::npos ? std::string() : argument.substr(equals + 1);
        bool read = equals != std::string::npos;
        if (key == "delimiter")
            read = read && readDelimiter(value, options.delimiter);
        else if (key == "header")
            read = read && readSwitch(value, options.header);
        else if (key == "types")
            read = read && readTypes(value, options.typed);
        else if (key == "key")
            read = read && !(options.key = unquoted(value)).empty();
        else
            return "unknown option \"" + trimmed(argument) + "\": the options are delimiter, header, types and key";
        if (!read)
            return "option \"" + trimmed(argument) +
                   "\" takes delimiter=',' ';' '|' or tab, header=yes, no, true, false, on, off, 1 or 0, "
                   "types=typed or text, key=a column's name";
        if (std::find(given.begin(), given.end(), key) != given.end())
            return "option " + key + " is given twice";
        given.push_back(key);
    }
    return {};
}
