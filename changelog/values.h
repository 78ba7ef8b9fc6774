// Conversions between the host's SQLite values and the QVariants of a row
// snapshot, through the host's routines.
#pragma once

#include "changelog/row_snapshot.h"
#include "common/routines.h"

#include <QList>
#include <QVariant>

#include <optional>

// Text as a row snapshot holds it, and back: valid UTF-8 as its characters,
// other bytes each as a lone surrogate, so that any text comes back byte for byte.
QString textFromUtf8(const char* utf8, int size);
QByteArray utf8FromText(const QString& text);

// An SQL value as a variant: qlonglong, double, QString (textFromUtf8),
// QByteArray; SQL NULL becomes a null QString.
QVariant variantFromValue(sqlite3_value* value);

// The column values argv[2] .. argv[argc - 1] of an xUpdate call, as a row
// snapshot (row_snapshot.h).
QByteArray snapshotFromArguments(int argc, sqlite3_value** argv);

// A row as a JSON array of its values in column order: NULL as null, an
// integer as a number without a point, a real as the fewest digits that read
// back as the same double, always with a point or an exponent (fixed notation
// from 1e-5 up to 1e16, infinity as 1e999), text as a string, a blob as {"blob":"<lowercase hex>"}. Text
// that is not valid UTF-8 keeps each stray byte as the escape \udc80 + (byte
// - 0x80), as a row snapshot holds it. Variants with no SQL counterpart are null.
QByteArray jsonFromRow(const QList<QVariant>& row);

// Hands a stored variant to SQLite as the result of ctx; a null QString and
// types without an SQL counterpart become NULL.
void resultFromVariant(sqlite3_context* ctx, const QVariant& value);

// Hands one value of a stored row to SQLite as the result of ctx, as
// resultFromVariant would hand its value(column), without decoding the rest.
void resultFromSnapshot(sqlite3_context* ctx, const RowSnapshot& row, int column);

// The kinds of stored value, as bits so that a set of kinds fits an unsigned.
namespace ValueKind {
enum : unsigned { Null = 1, Number = 2, Text = 4, Blob = 8 };
}
unsigned kindOf(const QVariant& value);
// The 64-bit integer a real holds exactly, if it holds one.
std::optional<qint64> integralValue(double real);
// The kind and value of a stored value as bytes, equal for equal values:
// integers and reals that hold an integer exactly share one key, so that 5
// and 5.0 meet as they do in SQLite; text is its UTF-8. Empty for NULL.
QByteArray valueKey(const QVariant& value);
