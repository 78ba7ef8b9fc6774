// Snapshot codec. Decoding reads the count and each variant by hand so that
// a corrupt count or a nested container cannot ask for huge allocations.
#include "changelog/row_snapshot.h"

#include <QDataStream>
#include <QIODevice>

#include <algorithm>
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

// A variant record as QDataStream writes it: type id, null flag, value.
// False for the types a row of SQL values never holds.
bool appendVariant(SnapshotWriter& writer, const QVariant& value)
{
    // The variant's own null flag, which QDataStream writes as it finds it.
    const bool null = value.data_ptr().is_null;
    switch (value.userType()) {
    case QMetaType::LongLong:
        writer.appendInteger(value.toLongLong(), null);
        return true;
    case QMetaType::Int:
        writer.appendInt(value.toInt(), null);
        return true;
    case QMetaType::Double:
        writer.appendReal(value.toDouble(), null);
        return true;
    case QMetaType::QString: {
        const QString text = value.toString();
        if (text.isNull()) {
            writer.appendNull(null);
            return true;
        }
        writer.beginText(null);
        for (QChar c : text)
            writer.appendUnit(c.unicode());
        writer.endText();
        return true;
    }
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        writer.appendBlob(data.isNull() ? nullptr : data.constData(), data.size(), null);
        return true;
    }
    default:
        return false;
    }
}

} // namespace

SnapshotWriter::SnapshotWriter(int count, int sizeHint)
{
    bytes_.resize(std::max(sizeHint, 4));
    data = bytes_.data();
    appendBigEndian(quint32(count), 4);
}

void SnapshotWriter::grow(int size)
{
    bytes_.resize(std::max(used + size, 2 * bytes_.size()));
    data = bytes_.data();
}

QByteArray SnapshotWriter::bytes()
{
    bytes_.resize(used);
    data = bytes_.data();
    return bytes_;
}

void SnapshotWriter::appendBigEndian(quint64 value, int size)
{
    char* at = room(size);
    for (int i = 0; i < size; ++i)
        at[i] = static_cast<char>((value >> (8 * (size - 1 - i))) & 0xff);
}

void SnapshotWriter::appendHead(int type, bool null)
{
    appendBigEndian(quint32(type), 4);
    *room(1) = null ? '\1' : '\0';
}

void SnapshotWriter::appendNull(bool null)
{
    appendHead(QMetaType::QString, null);
    appendBigEndian(0xffffffffu, 4);
}

void SnapshotWriter::appendInteger(qint64 value, bool null)
{
    appendHead(QMetaType::LongLong, null);
    appendBigEndian(quint64(value), 8);
}

void SnapshotWriter::appendInt(int value, bool null)
{
    appendHead(QMetaType::Int, null);
    appendBigEndian(quint32(value), 4);
}

void SnapshotWriter::appendReal(double value, bool null)
{
    appendHead(QMetaType::Double, null);
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    appendBigEndian(bits, 8);
}

void SnapshotWriter::beginText(bool null)
{
    appendHead(QMetaType::QString, null);
    textStart = used;
    appendBigEndian(0, 4);
}

void SnapshotWriter::endText()
{
    const quint32 size = quint32(used - textStart - 4);
    for (int i = 0; i < 4; ++i)
        data[textStart + i] = static_cast<char>((size >> (24 - 8 * i)) & 0xff);
}

void SnapshotWriter::appendBlob(const char* blob, int size, bool null)
{
    appendHead(QMetaType::QByteArray, null);
    appendBigEndian(blob ? quint32(size) : 0xffffffffu, 4);
    if (blob && size > 0)
        std::memcpy(room(size), blob, size_t(size));
}

// Rows of SQL values are written by hand, byte for byte as QDataStream would,
// which is several times faster; anything else goes through QDataStream.
QByteArray rowToBlob(const QList<QVariant>& row)
{
    SnapshotWriter writer(row.size());
    for (const QVariant& value : row) {
        if (!appendVariant(writer, value)) {
            QByteArray bytes;
            QDataStream stream(&bytes, QIODevice::ReadWrite);
            stream.setVersion(streamVersion);
            stream << row;
            return bytes;
        }
    }
    return writer.bytes();
}

QList<QVariant> rowFromBlob(const QByteArray& bytes)
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

quint64 snapshotNumber(const char* at, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = value << 8 | static_cast<unsigned char>(at[i]);
    return value;
}

void RowSnapshot::assign(QByteArray snapshot)
{
    bytes_ = std::move(snapshot);
    fields.clear();
    decoded.clear();
    inPlace = readInPlace();
    if (!inPlace) {
        fields.clear();
        decoded = rowFromBlob(bytes_);
    }
}

// Reads the records of the five types the writer makes, with the null flag
// clear; false for anything else, which rowFromBlob then judges.
bool RowSnapshot::readInPlace()
{
    const char* data = bytes_.constData();
    const int size = bytes_.size();
    if (size < 4)
        return false;
    const quint64 count = snapshotNumber(data, 4);
    if (count > quint64(size - 4) / smallestVariantRecord)
        return false;
    fields.reserve(static_cast<size_t>(count));
    int at = 4;
    auto fixed = [&](Kind kind, int payload) {
        if (size - at < payload)
            return false;
        fields.push_back({kind, at, payload});
        at += payload;
        return true;
    };
    // A length, then that many bytes; all ones for a null string or array.
    auto counted = [&](Kind kind, Kind nullKind, bool even) {
        if (size - at < 4)
            return false;
        const quint64 length = snapshotNumber(data + at, 4);
        at += 4;
        if (length == 0xffffffffu) {
            fields.push_back({nullKind, at, 0});
            return true;
        }
        if (length > quint64(size - at) || (even && length % 2 != 0))
            return false;
        fields.push_back({kind, at, static_cast<int>(length)});
        at += static_cast<int>(length);
        return true;
    };
    for (quint64 i = 0; i < count; ++i) {
        if (size - at < smallestVariantRecord || data[at + 4] != 0)
            return false;
        const quint64 type = snapshotNumber(data + at, 4);
        at += smallestVariantRecord;
        bool read;
        switch (type) {
        case QMetaType::LongLong:
            read = fixed(Kind::Integer, 8);
            break;
        case QMetaType::Int:
            read = fixed(Kind::Int, 4);
            break;
        case QMetaType::Double:
            read = fixed(Kind::Real, 8);
            break;
        case QMetaType::QString:
            read = counted(Kind::Text, Kind::Null, true);
            break;
        case QMetaType::QByteArray:
            read = counted(Kind::Blob, Kind::NullBlob, false);
            break;
        default:
            read = false;
            break;
        }
        if (!read)
            return false;
    }
    return true;
}

const RowSnapshot::Field* RowSnapshot::field(int column) const
{
    if (!inPlace || column < 0 || column >= static_cast<int>(fields.size()))
        return nullptr;
    return &fields[static_cast<size_t>(column)];
}

QVariant RowSnapshot::value(int column) const
{
    if (!inPlace)
        return column >= 0 && column < decoded.size() ? decoded.at(column) : QVariant();
    const Field* in = field(column);
    if (!in)
        return QVariant();
    const char* at = bytes_.constData() + in->offset;
    switch (in->kind) {
    case Kind::Null:
        return QVariant(QString());
    case Kind::Integer:
        return QVariant(static_cast<qlonglong>(snapshotNumber(at, 8)));
    case Kind::Int:
        return QVariant(static_cast<int>(static_cast<quint32>(snapshotNumber(at, 4))));
    case Kind::Real: {
        const quint64 bits = snapshotNumber(at, 8);
        double real;
        std::memcpy(&real, &bits, sizeof real);
        return QVariant(real);
    }
    case Kind::Text: {
        // Empty, not null, as QDataStream reads it.
        QString text = QStringLiteral("");
        text.resize(in->size / 2);
        for (int i = 0; i < in->size / 2; ++i)
            text[i] = QChar(static_cast<char16_t>(snapshotNumber(at + 2 * i, 2)));
        return QVariant(text);
    }
    case Kind::Blob:
        return QVariant(QByteArray(at, in->size));
    case Kind::NullBlob:
        return QVariant(QByteArray());
    }
    return QVariant();
}
