// Conversions between SQLite values and the QVariants of a row snapshot.
#pragma once

#include <sqlite3.h>

#include <QList>
#include <QVariant>

// An SQL value as a variant: qlonglong, double, QString, QByteArray; SQL NULL
// becomes a null QString.
QVariant variantFromValue(sqlite3_value* value);

// The column values argv[2] .. argv[argc - 1] of an xUpdate call.
QList<QVariant> rowValuesFromArguments(int argc, sqlite3_value** argv);

// Hands a stored variant to SQLite as the result of ctx; a null QString and
// types without an SQL counterpart become NULL.
void resultFromVariant(sqlite3_context* ctx, const QVariant& value);
