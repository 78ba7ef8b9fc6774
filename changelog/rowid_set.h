// A set of rowids that costs a few bits to two bytes per member: rowids split
// into chunks of 65,536, each a sorted array while sparse, a bitmap once dense.
#pragma once

#include <QtGlobal>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

class RowidSet {
public:
    bool contains(qint64 rowid) const;
    // Whether the set changed.
    bool insert(qint64 rowid);
    bool erase(qint64 rowid);
    qint64 size() const { return count; }
    // The smallest member at or above rowid.
    std::optional<qint64> lowerBound(qint64 rowid) const;
    // The smallest rowid at or above rowid that is not a member; none when
    // every rowid from there up to the largest is.
    std::optional<qint64> firstAbsentFrom(qint64 rowid) const;

    // Calls visit(rowid) for every member, ascending.
    template <typename Visit>
    void forEach(Visit&& visit) const;

private:
    // Members high * 65536 + low, for one value of high.
    class Chunk {
    public:
        bool contains(quint16 low) const;
        bool insert(quint16 low);
        bool erase(quint16 low);
        bool empty() const { return members == 0; }
        std::optional<quint16> lowerBound(quint16 low) const;
        std::optional<quint16> firstAbsentFrom(quint16 low) const;
        template <typename Visit>
        void forEach(Visit&& visit) const;

    private:
        void toBitmap();
        void toArray();
        bool isBitmap() const { return !bits.empty(); }

        std::vector<quint16> sorted;
        std::vector<quint64> bits;
        int members = 0;
    };

    std::map<qint64, Chunk> chunks;
    qint64 count = 0;
};

template <typename Visit>
void RowidSet::Chunk::forEach(Visit&& visit) const
{
    if (!isBitmap()) {
        for (quint16 low : sorted)
            visit(low);
        return;
    }
    for (size_t word = 0; word < bits.size(); ++word) {
        for (quint64 rest = bits[word]; rest; rest &= rest - 1)
            visit(static_cast<quint16>(word * 64 + static_cast<size_t>(__builtin_ctzll(rest))));
    }
}

template <typename Visit>
void RowidSet::forEach(Visit&& visit) const
{
    for (const auto& [high, chunk] : chunks)
        chunk.forEach([&, high = high](quint16 low) { visit(static_cast<qint64>(quint64(high) << 16 | low)); });
}
