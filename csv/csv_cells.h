// What a field of a CSV file reads as: NULL, an integer, a real or text, by the
// module's typing rules.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <string_view>
#include <variant>

namespace csvfile {

// NULL, integer, real or text: what a field is read as. Text views the field.
using Cell = std::variant<std::monostate, sqlite3_int64, double, std::string_view>;

// How one field reads. An empty unquoted field (data is null) is NULL. A field
// written the way JSON writes a number is an integer when it has neither a
// fraction nor an exponent and fits 64 bits, otherwise a real; leading zeros,
// a leading '+', surrounding spaces or anything else keep it text.
Cell cellFromField(const char* data, std::size_t size);

// A field read with types (cellFromField) or without (its text, an empty
// unquoted one too).
inline Cell cellOf(const char* data, std::size_t size, bool typed)
{
    if (!typed)
        return std::string_view(data ? data : "", size);
    return cellFromField(data, size);
}

} // namespace csvfile
