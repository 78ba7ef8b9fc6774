// Feeds arbitrary bytes to the row snapshot decoder: it must never crash,
// never allocate beyond the input, and a decoded row must survive another round trip.
#include "changelog/row_snapshot.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QList<QVariant> row = rowFromBytes(bytes);
    // Compared as encodings: a NaN double never equals itself as a variant.
    const QByteArray encoded = rowToBlob(row);
    if (!row.isEmpty() && rowToBlob(rowFromBytes(encoded)) != encoded)
        std::abort();
    return 0;
}
