// Snapshot codec. Decoding reads the count and each variant by hand so that
// a corrupt count or a nested container cannot ask for huge allocations.
#include "changelog/row_snapshot.h"

#include <QDataStream>
#include <QIODevice>

#include <cstring>

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

void appendBigEndian(QByteArray& bytes, quint64 value, int size)
{
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        bytes.append(static_cast<char>((value >> shift) & 0xff));
}

// A variant record as QDataStream writes it: type id, null flag, value.
// False for the types a row of SQL values never holds.
bool appendVariant(QByteArray& bytes, const QVariant& value)
{
    const int type = value.userType();
    switch (type) {
    case QMetaType::LongLong:
    case QMetaType::Int:
    case QMetaType::Double:
    case QMetaType::QString:
    case QMetaType::QByteArray:
        break;
    default:
        return false;
    }
    appendBigEndian(bytes, quint32(type), 4);
    // The variant's own null flag, which QDataStream writes as it finds it.
    bytes.append(static_cast<char>(value.data_ptr().is_null ? 1 : 0));
    switch (type) {
    case QMetaType::LongLong:
        appendBigEndian(bytes, quint64(value.toLongLong()), 8);
        break;
    case QMetaType::Int:
        appendBigEndian(bytes, quint32(value.toInt()), 4);
        break;
    case QMetaType::Double: {
        const double real = value.toDouble();
        quint64 bits;
        std::memcpy(&bits, &real, sizeof bits);
        appendBigEndian(bytes, bits, 8);
        break;
    }
    case QMetaType::QString: {
        const QString text = value.toString();
        appendBigEndian(bytes, text.isNull() ? 0xffffffffu : quint32(text.size()) * 2, 4);
        for (QChar c : text)
            appendBigEndian(bytes, c.unicode(), 2);
        break;
    }
    default: {
        const QByteArray data = value.toByteArray();
        appendBigEndian(bytes, data.isNull() ? 0xffffffffu : quint32(data.size()), 4);
        bytes.append(data);
        break;
    }
    }
    return true;
}

} // namespace

// Rows of SQL values are written by hand, byte for byte as QDataStream would,
// which is several times faster; anything else goes through QDataStream.
QByteArray rowToBlob(const QList<QVariant>& row)
{
    QByteArray bytes;
    appendBigEndian(bytes, quint32(row.size()), 4);
    for (const QVariant& value : row) {
        if (!appendVariant(bytes, value)) {
            bytes.clear();
            QDataStream stream(&bytes, QIODevice::ReadWrite);
            stream.setVersion(streamVersion);
            stream << row;
            return bytes;
        }
    }
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
