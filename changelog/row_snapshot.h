// Row snapshots (a row's column values as variants) as they are stored in the
// history database: what QDataStream version 16 writes for a QList<QVariant>.
#pragma once

#include <QByteArray>
#include <QList>
#include <QVariant>
#include <QtGlobal>

#include <vector>

QByteArray rowToBlob(const QList<QVariant>& row);

// The unsigned number of size bytes at at, most significant first, as a
// snapshot holds numbers, lengths and type ids.
quint64 snapshotNumber(const char* at, int size);

// Writes a snapshot value by value, byte for byte as rowToBlob writes a row
// of the variants variantFromValue (values.h) makes of the same SQL values.
class SnapshotWriter {
public:
    // A snapshot of count values, with room for sizeHint bytes.
    explicit SnapshotWriter(int count, int sizeHint = 0);
    // Each value with the null flag of its variant, which SQL values leave unset.
    void appendNull(bool null = false);
    void appendInteger(qint64 value, bool null = false);
    void appendInt(int value, bool null = false);
    void appendReal(double value, bool null = false);
    // Text as UTF-16 code units, one appendUnit each between the two calls.
    void beginText(bool null = false);
    void appendUnit(char16_t unit)
    {
        char* at = room(2);
        at[0] = static_cast<char>(unit >> 8);
        at[1] = static_cast<char>(unit & 0xff);
    }
    void endText();
    // A null data pointer writes a null byte array, as SQLite's empty blob gives.
    void appendBlob(const char* blob, int size, bool null = false);
    // The snapshot written so far.
    QByteArray bytes();

private:
    // Where the next size bytes go: written in place rather than appended,
    // which costs a call and a check per append.
    char* room(int size)
    {
        if (used + size > bytes_.size())
            grow(size);
        char* at = data + used;
        used += size;
        return at;
    }
    void grow(int size);
    void appendBigEndian(quint64 value, int size);
    void appendHead(int type, bool null);

    QByteArray bytes_;
    char* data = nullptr;
    int used = 0;
    int textStart = 0;
};

// Decodes bytes; anything that is not a complete snapshot of scalar values
// gives an empty list. Never throws, never allocates beyond what bytes can hold.
QList<QVariant> rowFromBlob(const QByteArray& bytes);

// A snapshot read in place: where each value lies is found once, and a value
// is decoded only when it is read. Snapshots of the kinds of value SQL values
// make are read so; any other, or a damaged one, is decoded by rowFromBlob.
class RowSnapshot {
public:
    enum class Kind { Null, Integer, Int, Real, Text, Blob, NullBlob };
    // A value in place: its payload's offset and size in bytes.
    struct Field {
        Kind kind;
        int offset;
        int size;
    };

    RowSnapshot() = default;
    explicit RowSnapshot(QByteArray bytes) { assign(std::move(bytes)); }
    // Reads other bytes, keeping the room found for the last ones.
    void assign(QByteArray bytes);

    int count() const { return inPlace ? static_cast<int>(fields.size()) : decoded.size(); }
    // The value of column as rowFromBlob gives it; invalid past the end.
    QVariant value(int column) const;
    // The value in place, or null where value() must answer (a snapshot read
    // by rowFromBlob, or a column past the end).
    const Field* field(int column) const;
    const char* data() const { return bytes_.constData(); }
    const QByteArray& bytes() const { return bytes_; }

private:
    bool readInPlace();

    QByteArray bytes_;
    std::vector<Field> fields;
    bool inPlace = false;
    QList<QVariant> decoded;
};
