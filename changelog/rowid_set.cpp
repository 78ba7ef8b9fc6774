// The rowid set's chunks. A chunk turns into a bitmap (8 KB) past 4,096
// members, where the sorted array would take more, and back below 2,048.
#include "changelog/rowid_set.h"

#include <algorithm>
#include <limits>

namespace {

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

bool RowidSet::contains(qint64 rowid) const
{
    auto chunk = chunks.find(highOf(rowid));
    return chunk != chunks.end() && chunk->second.contains(lowOf(rowid));
}

bool RowidSet::insert(qint64 rowid)
{
    if (!chunks[highOf(rowid)].insert(lowOf(rowid)))
        return false;
    ++count;
    return true;
}

bool RowidSet::erase(qint64 rowid)
{
    auto chunk = chunks.find(highOf(rowid));
    if (chunk == chunks.end() || !chunk->second.erase(lowOf(rowid)))
        return false;
    if (chunk->second.empty())
        chunks.erase(chunk);
    --count;
    return true;
}

std::optional<qint64> RowidSet::lowerBound(qint64 rowid) const
{
    auto chunk = chunks.lower_bound(highOf(rowid));
    if (chunk != chunks.end() && chunk->first == highOf(rowid)) {
        if (const std::optional<quint16> low = chunk->second.lowerBound(lowOf(rowid)))
            return rowidOf(chunk->first, *low);
        ++chunk;
    }
    if (chunk == chunks.end())
        return std::nullopt;
    return rowidOf(chunk->first, *chunk->second.lowerBound(0));
}

std::optional<qint64> RowidSet::firstAbsentFrom(qint64 rowid) const
{
    qint64 high = highOf(rowid);
    quint16 low = lowOf(rowid);
    for (auto chunk = chunks.lower_bound(high);; ++chunk) {
        if (chunk == chunks.end() || chunk->first != high)
            return rowidOf(high, low);
        if (const std::optional<quint16> free = chunk->second.firstAbsentFrom(low))
            return rowidOf(high, *free);
        if (high == highestHigh)
            return std::nullopt;
        ++high;
        low = 0;
    }
}
