// Text crosses as UTF-8 in both directions: UTF-16 would let SQLite take a
// leading U+FEFF for a byte-order mark and drop it.
#include "changelog/values.h"

#include <QByteArray>
#include <QString>

namespace {

// QString::fromUtf8 drops a byte-order mark at the start; here a leading
// U+FEFF is text like any other, kept as many times as it comes.
QString textOf(const char* utf8, int size)
{
    static const char mark[] = "\xEF\xBB\xBF";
    int marks = 0;
    while (size - 3 * marks >= 3 && qstrncmp(utf8 + 3 * marks, mark, 3) == 0)
        ++marks;
    return QString(marks, QChar(0xFEFF)) + QString::fromUtf8(utf8 + 3 * marks, size - 3 * marks);
}

} // namespace

QVariant variantFromValue(sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return QVariant(static_cast<qlonglong>(sqlite3_value_int64(value)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_value_double(value));
    case SQLITE_TEXT: {
        auto text = reinterpret_cast<const char*>(sqlite3_value_text(value));
        return QVariant(textOf(text ? text : "", sqlite3_value_bytes(value)));
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
    case QVariant::LongLong:
        sqlite3_result_int64(ctx, value.toLongLong());
        return;
    case QVariant::Double:
        sqlite3_result_double(ctx, value.toDouble());
        return;
    case QVariant::String: {
        const QString text = value.toString();
        if (text.isNull()) {
            sqlite3_result_null(ctx);
            return;
        }
        const QByteArray utf8 = text.toUtf8();
        sqlite3_result_text(ctx, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        return;
    }
    case QVariant::ByteArray: {
        const QByteArray bytes = value.toByteArray();
        // A null data pointer would make SQLite store NULL instead of an empty blob.
        sqlite3_result_blob(ctx, bytes.isEmpty() ? "" : bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
        return;
    }
    default:
        sqlite3_result_null(ctx);
        return;
    }
}

unsigned kindOf(const QVariant& value)
{
    switch (value.type()) {
    case QVariant::Int:
    case QVariant::LongLong:
    case QVariant::Double:
        return ValueKind::Number;
    case QVariant::String:
        return value.toString().isNull() ? ValueKind::Null : ValueKind::Text;
    case QVariant::ByteArray:
        return ValueKind::Blob;
    default:
        return ValueKind::Null;
    }
}

std::optional<qint64> integralValue(double real)
{
    const bool inRange = real >= -9223372036854775808.0 && real < 9223372036854775808.0;
    if (!inRange || static_cast<double>(static_cast<qint64>(real)) != real)
        return std::nullopt;
    return static_cast<qint64>(real);
}

QByteArray valueKey(const QVariant& value)
{
    switch (kindOf(value)) {
    case ValueKind::Number: {
        if (value.type() == QVariant::Double) {
            const double real = value.toDouble();
            const std::optional<qint64> integral = integralValue(real);
            if (!integral)
                return QByteArray("r") + QByteArray::number(real, 'g', 17);
            return QByteArray("i") + QByteArray::number(*integral);
        }
        return QByteArray("i") + QByteArray::number(value.toLongLong());
    }
    case ValueKind::Text:
        return QByteArray("t") + value.toString().toUtf8();
    case ValueKind::Blob:
        return QByteArray("b") + value.toByteArray();
    default:
        return QByteArray();
    }
}
