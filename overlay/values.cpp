// Value conversion in both directions. Reading argument values uses the linked
// SQLite library; results go through the host's routines pointer.
#include "overlay/values.h"

#include "overlay/routines.h"

#include <QByteArray>
#include <QString>

QVariant variantFromValue(sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return QVariant(static_cast<qlonglong>(sqlite3_value_int64(value)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_value_double(value));
    case SQLITE_TEXT: {
        auto text = static_cast<const QChar*>(sqlite3_value_text16(value));
        int units = sqlite3_value_bytes16(value) / 2;
        return QVariant(QString(text, units));
    }
    case SQLITE_BLOB: {
        auto bytes = static_cast<const char*>(sqlite3_value_blob(value));
        int size = sqlite3_value_bytes(value);
        return QVariant(bytes ? QByteArray(bytes, size) : QByteArray());
    }
    default:
        return QVariant(QString());
    }
}

QList<QVariant> rowValuesFromArguments(int argc, sqlite3_value** argv)
{
    QList<QVariant> row;
    if (argc > 2)
        row.reserve(argc - 2);
    for (int i = 2; i < argc; ++i)
        row.append(variantFromValue(argv[i]));
    return row;
}

void resultFromVariant(sqlite3_context* ctx, const QVariant& value)
{
    switch (value.type()) {
    case QVariant::Int:
        api().result_int(ctx, value.toInt());
        return;
    case QVariant::LongLong:
        api().result_int64(ctx, value.toLongLong());
        return;
    case QVariant::Double:
        api().result_double(ctx, value.toDouble());
        return;
    case QVariant::String: {
        const QString text = value.toString();
        if (text.isNull()) {
            api().result_null(ctx);
            return;
        }
        api().result_text16(ctx, text.utf16(), text.size() * 2, SQLITE_TRANSIENT);
        return;
    }
    case QVariant::ByteArray: {
        const QByteArray bytes = value.toByteArray();
        // A null data pointer would make SQLite store NULL instead of an empty blob.
        const char* data = bytes.isEmpty() ? "" : bytes.constData();
        api().result_blob(ctx, data, bytes.size(), SQLITE_TRANSIENT);
        return;
    }
    default:
        api().result_null(ctx);
        return;
    }
}
