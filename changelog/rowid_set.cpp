// The rowid set. A value of high moves from the sparse blocks into a chunk at
// 32 members and back below 16; a chunk turns into a bitmap (8 KB) past 4,096
// members, where the sorted array would take more, and back below 2,048.
#include "changelog/rowid_set.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

constexpr int chunkFrom = 32;
constexpr size_t blockSize = 64;
constexpr qint64 leastRowid = std::numeric_limits<qint64>::min();
constexpr qint64 mostRowid = std::numeric_limits<qint64>::max();
constexpr int arrayLimit = 4096;
constexpr size_t bitmapWords = 65536 / 64;
constexpr qint64 highestHigh = std::numeric_limits<qint64>::max() >> 16;

qint64 highOf(qint64 rowid)
{
    return rowid >> 16;
}

quint16 lowOf(qint64 rowid)
{
    return static_cast<quint16>(rowid & 0xffff);
}

qint64 rowidOf(qint64 high, quint16 low)
{
    return static_cast<qint64>(quint64(high) << 16 | low);
}

} // namespace

bool RowidSet::Chunk::contains(quint16 low) const
{
    if (isBitmap())
        return (bits[low / 64] >> (low % 64)) & 1;
    return std::binary_search(sorted.begin(), sorted.end(), low);
}

bool RowidSet::Chunk::insert(quint16 low)
{
    if (isBitmap()) {
        quint64& word = bits[low / 64];
        const quint64 bit = quint64(1) << (low % 64);
        if (word & bit)
            return false;
        word |= bit;
    } else {
        auto at = std::lower_bound(sorted.begin(), sorted.end(), low);
        if (at != sorted.end() && *at == low)
            return false;
        sorted.insert(at, low);
    }
    if (++members > arrayLimit && !isBitmap())
        toBitmap();
    return true;
}

bool RowidSet::Chunk::erase(quint16 low)
{
    if (isBitmap()) {
        quint64& word = bits[low / 64];
        const quint64 bit = quint64(1) << (low % 64);
        if (!(word & bit))
            return false;
        word &= ~bit;
    } else {
        auto at = std::lower_bound(sorted.begin(), sorted.end(), low);
        if (at == sorted.end() || *at != low)
            return false;
        sorted.erase(at);
    }
    if (--members < arrayLimit / 2 && isBitmap())
        toArray();
    return true;
}

void RowidSet::Chunk::toBitmap()
{
    bits.assign(bitmapWords, 0);
    for (quint16 low : sorted)
        bits[low / 64] |= quint64(1) << (low % 64);
    std::vector<quint16>().swap(sorted);
}

void RowidSet::Chunk::toArray()
{
    std::vector<quint16> members;
    members.reserve(static_cast<size_t>(this->members));
    forEach([&members](quint16 low) { members.push_back(low); });
    std::vector<quint64>().swap(bits);
    sorted = std::move(members);
}

std::optional<quint16> RowidSet::Chunk::lowerBound(quint16 low) const
{
    if (!isBitmap()) {
        auto at = std::lower_bound(sorted.begin(), sorted.end(), low);
        return at == sorted.end() ? std::nullopt : std::optional<quint16>(*at);
    }
    size_t word = low / 64;
    quint64 rest = bits[word] & (~quint64(0) << (low % 64));
    while (!rest) {
        if (++word == bitmapWords)
            return std::nullopt;
        rest = bits[word];
    }
    return static_cast<quint16>(word * 64 + static_cast<size_t>(__builtin_ctzll(rest)));
}

std::optional<quint16> RowidSet::Chunk::firstAbsentFrom(quint16 low) const
{
    if (!isBitmap()) {
        // Members from low on that follow each other without a hole.
        auto at = std::lower_bound(sorted.begin(), sorted.end(), low);
        int free = low;
        for (; at != sorted.end() && *at == free; ++at)
            ++free;
        return free > 0xffff ? std::nullopt : std::optional<quint16>(static_cast<quint16>(free));
    }
    size_t word = low / 64;
    quint64 holes = ~bits[word] & (~quint64(0) << (low % 64));
    while (!holes) {
        if (++word == bitmapWords)
            return std::nullopt;
        holes = ~bits[word];
    }
    return static_cast<quint16>(word * 64 + static_cast<size_t>(__builtin_ctzll(holes)));
}

RowidSet::Sparse::Blocks::iterator RowidSet::Sparse::blockOf(qint64 rowid)
{
    return std::prev(blocks.upper_bound(rowid));
}

RowidSet::Sparse::Blocks::const_iterator RowidSet::Sparse::blockOf(qint64 rowid) const
{
    return std::prev(blocks.upper_bound(rowid));
}

bool RowidSet::Sparse::contains(qint64 rowid) const
{
    if (blocks.empty())
        return false;
    const Block& members = blockOf(rowid)->second;
    return std::binary_search(members.begin(), members.end(), rowid);
}

bool RowidSet::Sparse::insert(qint64 rowid)
{
    if (blocks.empty())
        blocks.emplace(leastRowid, Block()).first->second.reserve(blockSize);
    const auto block = blockOf(rowid);
    Block& members = block->second;
    auto at = std::lower_bound(members.begin(), members.end(), rowid);
    if (at != members.end() && *at == rowid)
        return false;
    if (members.size() < blockSize) {
        members.insert(at, rowid);
        return true;
    }
    // A full block splits in halves, or, for a rowid past its last member
    // (rowids given in order), starts a new block and stays full.
    const size_t keep = at == members.end() ? blockSize : blockSize / 2;
    Block upper;
    upper.reserve(blockSize);
    upper.assign(members.begin() + static_cast<std::ptrdiff_t>(keep), members.end());
    members.resize(keep);
    Block& into = upper.empty() || rowid >= upper.front() ? upper : members;
    into.insert(std::lower_bound(into.begin(), into.end(), rowid), rowid);
    const qint64 key = upper.front();
    blocks.emplace_hint(std::next(block), key, std::move(upper));
    return true;
}

bool RowidSet::Sparse::erase(qint64 rowid)
{
    if (blocks.empty())
        return false;
    const auto block = blockOf(rowid);
    Block& members = block->second;
    auto at = std::lower_bound(members.begin(), members.end(), rowid);
    if (at == members.end() || *at != rowid)
        return false;
    members.erase(at);
    mergeSmall(block);
    return true;
}

// Keeps blocks from thinning out: a block below a quarter full joins a
// neighbour it fits into, and an empty set gives back its last block.
void RowidSet::Sparse::mergeSmall(Blocks::iterator block)
{
    if (block->second.size() >= blockSize / 4)
        return;
    const auto next = std::next(block);
    if (next != blocks.end() && block->second.size() + next->second.size() <= blockSize) {
        block->second.insert(block->second.end(), next->second.begin(), next->second.end());
        blocks.erase(next);
    } else if (block != blocks.begin()) {
        Block& before = std::prev(block)->second;
        if (before.size() + block->second.size() <= blockSize) {
            before.insert(before.end(), block->second.begin(), block->second.end());
            blocks.erase(block);
        }
    } else if (block->second.empty() && next == blocks.end()) {
        blocks.clear();
    }
}

std::optional<qint64> RowidSet::Sparse::lowerBound(qint64 rowid) const
{
    if (blocks.empty())
        return std::nullopt;
    for (auto block = blockOf(rowid); block != blocks.end(); ++block) {
        const Block& members = block->second;
        auto at = std::lower_bound(members.begin(), members.end(), rowid);
        if (at != members.end())
            return *at;
    }
    return std::nullopt;
}

int RowidSet::Sparse::countIn(qint64 high, int limit) const
{
    int found = 0;
    const qint64 first = rowidOf(high, 0);
    if (blocks.empty())
        return 0;
    for (auto block = blockOf(first); block != blocks.end() && found < limit; ++block) {
        const Block& members = block->second;
        for (auto at = std::lower_bound(members.begin(), members.end(), first); at != members.end(); ++at) {
            if (highOf(*at) != high || ++found == limit)
                return found;
        }
    }
    return found;
}

bool RowidSet::contains(qint64 rowid) const
{
    auto chunk = chunks.find(highOf(rowid));
    if (chunk != chunks.end())
        return chunk->second.contains(lowOf(rowid));
    return sparse.contains(rowid);
}

bool RowidSet::insert(qint64 rowid)
{
    const qint64 high = highOf(rowid);
    auto chunk = chunks.find(high);
    if (chunk != chunks.end()) {
        if (!chunk->second.insert(lowOf(rowid)))
            return false;
    } else {
        if (!sparse.insert(rowid))
            return false;
        if (sparse.countIn(high, chunkFrom) == chunkFrom) {
            Chunk& made = chunks[high];
            for (std::optional<qint64> at = sparse.lowerBound(rowidOf(high, 0)); at && highOf(*at) == high;
                 at = sparse.lowerBound(*at)) {
                made.insert(lowOf(*at));
                sparse.erase(*at);
            }
        }
    }
    ++count;
    return true;
}

bool RowidSet::erase(qint64 rowid)
{
    const qint64 high = highOf(rowid);
    auto chunk = chunks.find(high);
    if (chunk == chunks.end()) {
        if (!sparse.erase(rowid))
            return false;
    } else {
        if (!chunk->second.erase(lowOf(rowid)))
            return false;
        if (chunk->second.size() < chunkFrom / 2) {
            chunk->second.forEach([this, high](quint16 low) { sparse.insert(rowidOf(high, low)); });
            chunks.erase(chunk);
        }
    }
    --count;
    return true;
}

std::optional<qint64> RowidSet::lowerBound(qint64 rowid) const
{
    std::optional<qint64> found = sparse.lowerBound(rowid);
    auto chunk = chunks.lower_bound(highOf(rowid));
    if (chunk != chunks.end() && chunk->first == highOf(rowid)) {
        if (const std::optional<quint16> low = chunk->second.lowerBound(lowOf(rowid)))
            return rowidOf(chunk->first, *low);
        ++chunk;
    }
    if (chunk == chunks.end())
        return found;
    const qint64 inChunk = rowidOf(chunk->first, *chunk->second.lowerBound(0));
    return found && *found < inChunk ? *found : inChunk;
}

std::optional<qint64> RowidSet::firstAbsentFrom(qint64 rowid) const
{
    for (;;) {
        const qint64 high = highOf(rowid);
        auto chunk = chunks.find(high);
        if (chunk != chunks.end()) {
            if (const std::optional<quint16> free = chunk->second.firstAbsentFrom(lowOf(rowid)))
                return rowidOf(high, *free);
            if (high == highestHigh)
                return std::nullopt;
            rowid = rowidOf(high + 1, 0);
        } else if (!sparse.contains(rowid)) {
            return rowid;
        } else if (rowid == mostRowid) {
            return std::nullopt;
        } else {
            ++rowid;
        }
    }
}
