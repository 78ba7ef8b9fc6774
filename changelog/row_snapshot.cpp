// Snapshot codec. Decoding reads the count and each variant by hand so that
// a corrupt count or a nested container cannot ask for huge allocations.
#include "changelog/row_snapshot.h"

#include <QDataStream>
#include <QIODevice>

namespace {

constexpr int streamVersion = QDataStream::Qt_5_4;
// A variant record holds at least its 4-byte type id and its 1-byte null flag.
constexpr int smallestVariantRecord = 5;

// Scalar types, the only ones a snapshot of SQL values can hold. Containers
// and user types are refused: their decoding could reserve without bound.
bool isScalarType(quint32 type)
{
    switch (type) {
    case QMetaType::UnknownType:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::QChar:
    case QMetaType::QString:
    case QMetaType::QByteArray:
        return true;
    default:
        return false;
    }
}

quint32 peekType(QIODevice* device)
{
    const QByteArray head = device->peek(4);
    if (head.size() < 4)
        return quint32(-1);
    auto byte = [&head](int i) { return quint32(static_cast<unsigned char>(head.at(i))); };
    return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
}

} // namespace

QByteArray rowToBlob(const QList<QVariant>& row)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::ReadWrite);
    stream.setVersion(streamVersion);
    stream << row;
    return bytes;
}

QList<QVariant> rowFromBytes(const QByteArray& bytes)
{
    QDataStream stream(bytes);
    stream.setVersion(streamVersion);
    quint32 count = 0;
    stream >> count;
    if (stream.status() != QDataStream::Ok)
        return {};
    if (count > quint32(bytes.size() - 4) / smallestVariantRecord)
        return {};
    QList<QVariant> row;
    row.reserve(static_cast<int>(count));
    try {
        for (quint32 i = 0; i < count; ++i) {
            if (!isScalarType(peekType(stream.device())))
                return {};
            QVariant value;
            stream >> value;
            if (stream.status() != QDataStream::Ok)
                return {};
            row.append(value);
        }
    } catch (...) {
        return {};
    }
    return row;
}

QList<QVariant> rowFromBlob(QSqlQuery query, int column)
{
    return rowFromBytes(query.value(column).toByteArray());
}
