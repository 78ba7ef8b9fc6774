// Row snapshots (a row's column values as variants) as they are stored in the
// history database: what QDataStream version 16 writes for a QList<QVariant>.
#pragma once

#include <QByteArray>
#include <QList>
#include <QVariant>
#include <QtGlobal>

QByteArray rowToBlob(const QList<QVariant>& row);

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
        const char pair[2] = {static_cast<char>(unit >> 8), static_cast<char>(unit & 0xff)};
        bytes_.append(pair, 2);
    }
    void endText();
    // A null data pointer writes a null byte array, as SQLite's empty blob gives.
    void appendBlob(const char* data, int size, bool null = false);
    const QByteArray& bytes() const { return bytes_; }

private:
    void appendBigEndian(quint64 value, int size);
    void appendHead(int type, bool null);

    QByteArray bytes_;
    int textStart = 0;
};

// Decodes bytes; anything that is not a complete snapshot of scalar values
// gives an empty list. Never throws, never allocates beyond what bytes can hold.
QList<QVariant> rowFromBytes(const QByteArray& bytes);
