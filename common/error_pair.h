// The one error value thrown inside the library: a SQLite result code and its
// message. A value type: the message is turned into SQLite memory only at the
// boundary, by whoever hands it to the host.
#pragma once

#include <QByteArray>
#include <QString>

class ErrorPair {
public:
    ErrorPair(int code, QByteArray message) : code_(code), message_(std::move(message)) {}
    ErrorPair(int code, const QString& message) : code_(code), message_(message.toUtf8()) {}

    int code() const noexcept { return code_; }
    // UTF-8, without a terminating zero of its own beyond QByteArray's.
    const QByteArray& message() const noexcept { return message_; }

private:
    int code_;
    QByteArray message_;
};
