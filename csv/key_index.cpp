// Files rows by the class of their key's value, and finds the rows of a class.
#include "key_index.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

#include <locale.h>

namespace csvfile {
namespace {

// How many doubles on either side of a number are looked up too: SQLite may
// read a number from text a double or two away from the nearest.
constexpr std::uint64_t nearby = 64;

// A double as an unsigned integer in the order of the values, -0 as 0.
std::uint64_t orderOf(double value)
{
    if (value == 0)
        value = 0;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    return (bits & sign) ? ~bits : bits | sign;
}

bool isSqliteSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool mayStartNumber(char c)
{
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'i' || c == 'I';
}

// Whether SQLite's numeric affinity may read text as a number, and the number.
// It reads more than SQLite does (hexadecimal, "inf"), never less: a text taken
// for a number that is none finds rows that SQLite's own check then refuses.
// Independent of the process's locale.
bool readsAsNumber(std::string_view text, double& value)
{
    while (!text.empty() && isSqliteSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSqliteSpace(text.back()))
        text.remove_suffix(1);
    if (text.empty() || !mayStartNumber(text.front()))
        return false;
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const std::string copy(text);
    char* end = nullptr;
    value = cLocale ? strtod_l(copy.c_str(), &end, cLocale) : std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && !std::isnan(value);
}

std::uint64_t hashOf(std::string_view text)
{
    return std::hash<std::string_view>{}(text);
}

// A number's class, or a text's hash when it reads as none.
bool classOf(const Cell& value, std::uint64_t& key)
{
    double number = 0;
    if (const auto* integer = std::get_if<sqlite3_int64>(&value))
        number = static_cast<double>(*integer);
    else if (const auto* real = std::get_if<double>(&value))
        number = *real;
    else if (const auto* text = std::get_if<std::string_view>(&value); text && !readsAsNumber(*text, number)) {
        key = hashOf(*text);
        return false;
    }
    key = orderOf(number);
    return true;
}

} // namespace

void KeyIndex::add(const Cell& value, std::uint64_t row)
{
    if (std::holds_alternative<std::monostate>(value))
        return;
    std::uint64_t key = 0;
    (classOf(value, key) ? numbers_ : texts_).push_back({key, row});
}

void KeyIndex::finish()
{
    classes_ = 0;
    for (std::vector<Entry>* entries : {&numbers_, &texts_}) {
        std::sort(entries->begin(), entries->end());
        entries->shrink_to_fit();
        for (std::size_t i = 0; i < entries->size(); ++i)
            classes_ += i == 0 || (*entries)[i].key != (*entries)[i - 1].key;
    }
}

void KeyIndex::swap(KeyIndex& other) noexcept
{
    numbers_.swap(other.numbers_);
    texts_.swap(other.texts_);
    std::swap(classes_, other.classes_);
}

void KeyIndex::addRange(const std::vector<Entry>& entries, std::uint64_t low, std::uint64_t high,
                        std::vector<std::uint64_t>& rows)
{
    for (auto at = std::lower_bound(entries.begin(), entries.end(), Entry{low, 0});
         at != entries.end() && at->key <= high; ++at)
        rows.push_back(at->row);
}

void KeyIndex::addCandidates(const Cell& value, std::vector<std::uint64_t>& rows) const
{
    if (std::holds_alternative<std::monostate>(value))
        return;
    std::uint64_t key = 0;
    if (!classOf(value, key))
        return addRange(texts_, key, key, rows);
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    addRange(numbers_, key > nearby ? key - nearby : 0, key < top - nearby ? key + nearby : top, rows);
}

double KeyIndex::rowsPerValue() const
{
    if (classes_ == 0)
        return 1;
    return std::max(1.0, static_cast<double>(numbers_.size() + texts_.size()) / static_cast<double>(classes_));
}

} // namespace csvfile
