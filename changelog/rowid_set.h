// A set of rowids that costs a few bits to two bytes per member where rowids lie
// close together, and at most about 20 bytes per member however far apart.
#pragma once

#include <QtGlobal>

#include <cstdint>
#include <limits>
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
    // Members high * 65536 + low, for one value of high that holds many.
    class Chunk {
    public:
        int size() const { return members; }
        bool contains(quint16 low) const;
        bool insert(quint16 low);
        bool erase(quint16 low);
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

    // Members of the values of high that hold few, in blocks of sorted rowids;
    // each block holds the members from its key up to the next block's key,
    // and the first block's key is the least rowid.
    class Sparse {
    public:
        bool contains(qint64 rowid) const;
        bool insert(qint64 rowid);
        bool erase(qint64 rowid);
        std::optional<qint64> lowerBound(qint64 rowid) const;
        // How many members high holds, counted up to limit.
        int countIn(qint64 high, int limit) const;
        template <typename Visit>
        void forEach(Visit&& visit) const;

    private:
        using Block = std::vector<qint64>;
        using Blocks = std::map<qint64, Block>;
        Blocks::iterator blockOf(qint64 rowid);
        Blocks::const_iterator blockOf(qint64 rowid) const;
        void mergeSmall(Blocks::iterator block);

        Blocks blocks;
    };

    // Each value of high lives in chunks or in sparse, never in both.
    std::map<qint64, Chunk> chunks;
    Sparse sparse;
    qint64 count = 0;
};

template <typename Visit>
void RowidSet::Sparse::forEach(Visit&& visit) const
{
    for (const auto& block : blocks) {
        for (qint64 rowid : block.second)
            visit(rowid);
    }
}

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
    auto chunk = chunks.begin();
    auto visitChunksBelow = [&](qint64 high) {
        for (; chunk != chunks.end() && chunk->first < high; ++chunk)
            chunk->second.forEach(
                [&, high = chunk->first](quint16 low) { visit(static_cast<qint64>(quint64(high) << 16 | low)); });
    };
    sparse.forEach([&](qint64 rowid) {
        visitChunksBelow(rowid >> 16);
        visit(rowid);
    });
    visitChunksBelow(std::numeric_limits<qint64>::max());
}
