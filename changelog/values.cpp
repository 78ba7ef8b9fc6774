// Text crosses as UTF-8 in both directions: UTF-16 would let SQLite take a
// leading U+FEFF for a byte-order mark and drop it. SQLite keeps whatever
// bytes text holds, so text that is not valid UTF-8 is kept too: each byte
// outside a valid sequence becomes a lone low surrogate U+DC80..U+DCFF in the
// QString, which no valid UTF-8 gives, and turns back into that byte.
#include "changelog/values.h"

#include "changelog/row_snapshot.h"

#include <QByteArray>
#include <QString>
#include <QVarLengthArray>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace {

constexpr char16_t escapeBase = 0xDC00;

// The length of the valid UTF-8 sequence at bytes[at] and its code point, or
// 0 where none starts there (a stray, overlong, truncated or surrogate form).
int sequenceAt(const unsigned char* bytes, int size, int at, char32_t& point)
{
    const unsigned char lead = bytes[at];
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > size)
        return 0;
    point = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((bytes[at + i] & 0xC0) != 0x80)
            return 0;
        point = (point << 6) | (bytes[at + i] & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0;
    return length;
}

bool isEscape(const QString& text, int at)
{
    const char16_t unit = text.at(at).unicode();
    return unit >= escapeBase + 0x80 && unit <= escapeBase + 0xFF && (at == 0 || !text.at(at - 1).isHighSurrogate());
}

// The UTF-16 code units of text, each handed to unit(char16_t).
template <typename Unit>
void decodeUtf8(const char* utf8, int size, Unit&& unit)
{
    const auto bytes = reinterpret_cast<const unsigned char*>(utf8);
    char32_t point;
    for (int at = 0; at < size;) {
        const int length = sequenceAt(bytes, size, at, point);
        if (length == 0) {
            unit(static_cast<char16_t>(escapeBase + bytes[at++]));
        } else if (point >= 0x10000) {
            unit(QChar::highSurrogate(point));
            unit(QChar::lowSurrogate(point));
        } else {
            unit(static_cast<char16_t>(point));
        }
        at += length;
    }
}

} // namespace

// Decoded here rather than by QString::fromUtf8, which would drop a leading
// byte-order mark: a leading U+FEFF is text like any other.
QString textFromUtf8(const char* utf8, int size)
{
    // Empty, not null: a null QString stands for SQL NULL.
    QString text = QStringLiteral("");
    text.reserve(size);
    decodeUtf8(utf8, size, [&text](char16_t unit) { text.append(QChar(unit)); });
    return text;
}

// An escape never stands inside a surrogate pair, so the pieces between
// escapes are whole text for Qt to encode.
QByteArray utf8FromText(const QString& text)
{
    QByteArray utf8;
    for (int at = 0; at < text.size();) {
        int end = at;
        while (end < text.size() && !isEscape(text, end))
            ++end;
        utf8 += text.mid(at, end - at).toUtf8();
        if (end < text.size())
            utf8 += static_cast<char>(text.at(end).unicode() - escapeBase);
        at = end + 1;
    }
    return utf8;
}

QVariant variantFromValue(sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return QVariant(static_cast<qlonglong>(sqlite3_value_int64(value)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_value_double(value));
    case SQLITE_TEXT: {
        auto text = reinterpret_cast<const char*>(sqlite3_value_text(value));
        return QVariant(textFromUtf8(text ? text : "", sqlite3_value_bytes(value)));
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

namespace {

// The snapshot's size at most, as room to reserve: a value's record takes 13
// bytes, or 9 and its bytes, twice over for text, whose UTF-16 has no more
// units than its UTF-8 has bytes. Huge values grow the snapshot as they go.
int snapshotSizeBound(int argc, sqlite3_value** argv)
{
    qint64 size = 4;
    for (int i = 2; i < argc; ++i) {
        switch (sqlite3_value_type(argv[i])) {
        case SQLITE_TEXT:
            size += 9 + 2 * sqlite3_value_bytes(argv[i]);
            break;
        case SQLITE_BLOB:
            size += 9 + sqlite3_value_bytes(argv[i]);
            break;
        default:
            size += 13;
            break;
        }
    }
    return static_cast<int>(std::min<qint64>(size, qint64(1) << 24));
}

} // namespace

QByteArray snapshotFromArguments(int argc, sqlite3_value** argv)
{
    SnapshotWriter writer(std::max(argc - 2, 0), snapshotSizeBound(argc, argv));
    for (int i = 2; i < argc; ++i) {
        sqlite3_value* value = argv[i];
        switch (sqlite3_value_type(value)) {
        case SQLITE_INTEGER:
            writer.appendInteger(sqlite3_value_int64(value));
            break;
        case SQLITE_FLOAT:
            writer.appendReal(sqlite3_value_double(value));
            break;
        case SQLITE_TEXT: {
            auto text = reinterpret_cast<const char*>(sqlite3_value_text(value));
            writer.beginText();
            decodeUtf8(text ? text : "", sqlite3_value_bytes(value),
                       [&writer](char16_t unit) { writer.appendUnit(unit); });
            writer.endText();
            break;
        }
        case SQLITE_BLOB: {
            auto bytes = static_cast<const char*>(sqlite3_value_blob(value));
            writer.appendBlob(bytes, sqlite3_value_bytes(value));
            break;
        }
        default:
            writer.appendNull();
            break;
        }
    }
    return writer.bytes();
}

namespace {

// Text handed over with its terminating zero where it holds no zero byte of
// its own: SQLite keeps the terminator then, and need not copy the text again
// to add one when a function reads it (length(), upper(), ...).
template <typename Bytes>
void resultText(sqlite3_context* ctx, Bytes& utf8)
{
    const int size = utf8.size();
    const bool zeroFree = std::memchr(utf8.constData(), 0, static_cast<size_t>(size)) == nullptr;
    utf8.append('\0');
    sqlite3_result_text(ctx, utf8.constData(), zeroFree ? -1 : size, SQLITE_TRANSIENT);
}

} // namespace

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
        QByteArray utf8 = utf8FromText(text);
        resultText(ctx, utf8);
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

namespace {

// UTF-16 code units in big-endian order, as a snapshot holds text, to UTF-8
// as utf8FromText gives it; false for surrogates outside pairs other than
// escapes, which are left to Qt's encoder by way of utf8FromText.
template <typename Bytes>
bool utf8FromUnits(const char* units, int count, Bytes& utf8)
{
    utf8.resize(3 * count);
    auto out = reinterpret_cast<unsigned char*>(utf8.data());
    int size = 0;
    auto unitAt = [units](int i) {
        return static_cast<char32_t>(static_cast<unsigned char>(units[2 * i]) << 8 |
                                     static_cast<unsigned char>(units[2 * i + 1]));
    };
    for (int i = 0; i < count; ++i) {
        char32_t point = unitAt(i);
        if (point >= 0xD800 && point <= 0xDBFF) {
            const char32_t low = i + 1 < count ? unitAt(i + 1) : 0;
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (point >= 0xDC00 && point <= 0xDFFF) {
            if (point < escapeBase + 0x80 || point > escapeBase + 0xFF)
                return false;
            out[size++] = static_cast<unsigned char>(point - escapeBase);
            continue;
        }
        if (point < 0x80) {
            out[size++] = static_cast<unsigned char>(point);
        } else if (point < 0x800) {
            out[size++] = static_cast<unsigned char>(0xC0 | point >> 6);
            out[size++] = static_cast<unsigned char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            out[size++] = static_cast<unsigned char>(0xE0 | point >> 12);
            out[size++] = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
            out[size++] = static_cast<unsigned char>(0x80 | (point & 0x3F));
        } else {
            out[size++] = static_cast<unsigned char>(0xF0 | point >> 18);
            out[size++] = static_cast<unsigned char>(0x80 | ((point >> 12) & 0x3F));
            out[size++] = static_cast<unsigned char>(0x80 | ((point >> 6) & 0x3F));
            out[size++] = static_cast<unsigned char>(0x80 | (point & 0x3F));
        }
    }
    utf8.resize(size);
    return true;
}

} // namespace

void resultFromSnapshot(sqlite3_context* ctx, const RowSnapshot& row, int column)
{
    const RowSnapshot::Field* field = row.field(column);
    if (!field) {
        resultFromVariant(ctx, row.value(column));
        return;
    }
    const char* at = row.data() + field->offset;
    switch (field->kind) {
    case RowSnapshot::Kind::Integer:
        sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(snapshotNumber(at, 8)));
        return;
    case RowSnapshot::Kind::Int:
        sqlite3_result_int64(ctx, static_cast<qint32>(static_cast<quint32>(snapshotNumber(at, 4))));
        return;
    case RowSnapshot::Kind::Real: {
        const quint64 bits = snapshotNumber(at, 8);
        double real;
        std::memcpy(&real, &bits, sizeof real);
        sqlite3_result_double(ctx, real);
        return;
    }
    case RowSnapshot::Kind::Text: {
        QVarLengthArray<char, 512> utf8;
        if (!utf8FromUnits(at, field->size / 2, utf8))
            return resultFromVariant(ctx, row.value(column));
        resultText(ctx, utf8);
        return;
    }
    case RowSnapshot::Kind::Blob:
        sqlite3_result_blob(ctx, field->size == 0 ? "" : at, field->size, SQLITE_TRANSIENT);
        return;
    case RowSnapshot::Kind::NullBlob:
        sqlite3_result_blob(ctx, "", 0, SQLITE_TRANSIENT);
        return;
    case RowSnapshot::Kind::Null:
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
        return QByteArray("t") + utf8FromText(value.toString());
    case ValueKind::Blob:
        return QByteArray("b") + value.toByteArray();
    default:
        return QByteArray();
    }
}

namespace {

void appendJsonHex(QByteArray& json, unsigned value, int digits)
{
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        json += "0123456789abcdef"[(value >> shift) & 0xF];
}

// RFC 8259: the quote, the backslash and control characters escaped, every
// other character as UTF-8; a surrogate outside a pair (a stray byte's
// escape) as \uXXXX.
void appendJsonText(QByteArray& json, const QString& text)
{
    json += '"';
    const int size = text.size();
    for (int at = 0; at < size; ++at) {
        char32_t point = text.at(at).unicode();
        if (QChar::isHighSurrogate(point) && at + 1 < size && text.at(at + 1).isLowSurrogate())
            point = QChar::surrogateToUcs4(char16_t(point), text.at(++at).unicode());
        if (point == '"' || point == '\\') {
            json += '\\';
            json += char(point);
        } else if (point < 0x20 || QChar::isSurrogate(point)) {
            const char* named = point == '\n' ? "\\n" : point == '\r' ? "\\r" : point == '\t' ? "\\t" : nullptr;
            if (named) {
                json += named;
            } else {
                json += "\\u";
                appendJsonHex(json, unsigned(point), 4);
            }
        } else if (point < 0x80) {
            json += char(point);
        } else if (point < 0x800) {
            json += char(0xC0 | (point >> 6));
            json += char(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            json += char(0xE0 | (point >> 12));
            json += char(0x80 | ((point >> 6) & 0x3F));
            json += char(0x80 | (point & 0x3F));
        } else {
            json += char(0xF0 | (point >> 18));
            json += char(0x80 | ((point >> 12) & 0x3F));
            json += char(0x80 | ((point >> 6) & 0x3F));
            json += char(0x80 | (point & 0x3F));
        }
    }
    json += '"';
}

void appendJsonReal(QByteArray& json, double real)
{
    if (std::isnan(real)) {
        json += "null";
        return;
    }
    if (std::isinf(real)) {
        json += real < 0 ? "-1e999" : "1e999";
        return;
    }
    // Fixed notation where it spells no digit that does not count, as SQLite
    // prints reals (100000.0, 0.0001); an exponent beyond.
    const double size = std::fabs(real);
    const auto format =
        size == 0 || (size >= 1e-5 && size < 1e16) ? std::chars_format::fixed : std::chars_format::scientific;
    char digits[32];
    const char* end = std::to_chars(digits, digits + sizeof digits, real, format).ptr;
    json.append(digits, int(end - digits));
    const char* begin = digits;
    if (std::find_if(begin, end, [](char c) { return c == '.' || c == 'e'; }) == end)
        json += ".0";
}

} // namespace

QByteArray jsonFromRow(const QList<QVariant>& row)
{
    QByteArray json("[");
    for (int column = 0; column < row.size(); ++column) {
        if (column > 0)
            json += ',';
        const QVariant& value = row.at(column);
        switch (value.type()) {
        case QVariant::Int:
        case QVariant::LongLong:
            json += QByteArray::number(value.toLongLong());
            break;
        case QVariant::Double:
            appendJsonReal(json, value.toDouble());
            break;
        case QVariant::String:
            if (value.toString().isNull())
                json += "null";
            else
                appendJsonText(json, value.toString());
            break;
        case QVariant::ByteArray:
            json += "{\"blob\":\"" + value.toByteArray().toHex() + "\"}";
            break;
        default:
            json += "null";
            break;
        }
    }
    json += ']';
    return json;
}
