// The rows of a CSV file by the value of one column, built while the file is
// checked: what answers "key = v" and "key IN (...)" without reading the file.
#pragma once

#include "csv_cells.h"

#include <cstdint>
#include <vector>

namespace csvfile {

// Every value but NULL is filed by a class that all values SQLite may find
// equal to it share, whether the comparison converts nothing (a bound value)
// or applies numeric affinity (a numeric column on the other side): numbers,
// and text that numeric affinity would read as a number, by their value as a
// double (nearby doubles are looked up too); any other text by a hash of its
// bytes. Lookups give those candidates, a few more at most, and SQLite checks
// each. Sixteen bytes a row.
class KeyIndex {
public:
    void add(const Cell& value, std::uint64_t row);
    // Sorts what was added; lookups come after.
    void finish();
    void swap(KeyIndex& other) noexcept;

    // Appends to rows the rows whose value may equal value, in no order and
    // perhaps twice; none for NULL.
    void addCandidates(const Cell& value, std::vector<std::uint64_t>& rows) const;
    // The mean number of rows that share a class, at least 1.
    double rowsPerValue() const;

private:
    struct Entry {
        std::uint64_t key;
        std::uint64_t row;
        bool operator<(const Entry& other) const { return key < other.key || (key == other.key && row < other.row); }
    };

    static void addRange(const std::vector<Entry>& entries, std::uint64_t low, std::uint64_t high,
                         std::vector<std::uint64_t>& rows);

    std::vector<Entry> numbers_; // by the order of their doubles
    std::vector<Entry> texts_;   // by hash
    std::size_t classes_ = 0;
};

} // namespace csvfile
