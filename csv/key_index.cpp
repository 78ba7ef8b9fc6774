// Files rows by the class of their key's value, and finds the rows of a class.
#include "key_index.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>
#include <system_error>

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

// Where a number written out of a double's range lies: below the smallest
// double (0) or above the largest (infinity), by the power of ten of its first
// digit that is not 0.
double outOfRange(std::string_view text)
{
    const bool negative = text.front() == '-';
    const std::size_t exponentAt = std::min(text.find_first_of("eE"), text.size());
    const std::string_view mantissa = text.substr(negative ? 1 : 0, exponentAt - (negative ? 1 : 0));
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_not_of("0.");
    long power =
        first < point ? static_cast<long>(point - first - 1) : static_cast<long>(point) - static_cast<long>(first);
    if (exponentAt < text.size()) {
        std::string_view exponent = text.substr(exponentAt + 1);
        exponent.remove_prefix(!exponent.empty() && exponent.front() == '+' ? 1 : 0);
        long value = 0;
        const bool fits = std::from_chars(exponent.data(), exponent.data() + exponent.size(), value).ec == std::errc();
        power += fits ? std::clamp(value, -100000L, 100000L) : (exponent.front() == '-' ? -100000L : 100000L);
    }
    const double magnitude = power < 0 ? 0.0 : HUGE_VAL;
    return negative ? -magnitude : magnitude;
}

// Whether SQLite's numeric affinity may read text as a number, and the number.
// It reads more than SQLite does ("inf"), never less: a text taken for a
// number that is none finds rows that SQLite's own check then refuses.
// Independent of the process's locale.
bool readsAsNumber(std::string_view text, double& value)
{
    while (!text.empty() && isSqliteSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSqliteSpace(text.back()))
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || !mayStartNumber(text.front()))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size())
        return false;
    if (error == std::errc::result_out_of_range)
        value = outOfRange(text);
    return (error == std::errc() || error == std::errc::result_out_of_range) && !std::isnan(value);
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
