// Feeds arbitrary bytes to the row snapshot decoder: it must never crash, never
// allocate beyond the input; a decoded row must survive another round trip, and
// its encoding be byte for byte what QDataStream writes; reading it in place
// must give the same values.
#include "changelog/row_snapshot.h"

#include <QDataStream>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QList<QVariant> row = rowFromBlob(bytes);
    // Compared as encodings: a NaN double never equals itself as a variant.
    const QByteArray encoded = rowToBlob(row);
    if (!row.isEmpty() && rowToBlob(rowFromBlob(encoded)) != encoded)
        std::abort();
    QByteArray streamed;
    QDataStream stream(&streamed, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_4);
    stream << row;
    if (streamed != encoded)
        std::abort();
    const RowSnapshot inPlace(bytes);
    if (inPlace.count() != row.size())
        std::abort();
    for (int column = 0; column < row.size(); ++column) {
        const QVariant value = inPlace.value(column);
        if (rowToBlob({value}) != rowToBlob({row.at(column)}) || value.isNull() != row.at(column).isNull())
            std::abort();
    }
    return 0;
}
