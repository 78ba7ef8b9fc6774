// The one error value thrown inside the library: a SQLite result code and a
// message allocated with sqlite3_mprintf, owned until someone takes it.
#pragma once

#include <sqlite3.h>

#include <utility>

class ErrorPair {
public:
    ErrorPair(int code, char* message) noexcept : code_(code), message_(message) {}
    ErrorPair(ErrorPair&& other) noexcept
        : code_(other.code_), message_(std::exchange(other.message_, nullptr)) {}
    ErrorPair& operator=(ErrorPair&& other) noexcept
    {
        std::swap(code_, other.code_);
        std::swap(message_, other.message_);
        return *this;
    }
    ErrorPair(const ErrorPair&) = delete;
    ErrorPair& operator=(const ErrorPair&) = delete;
    ~ErrorPair() { sqlite3_free(message_); }

    int code() const noexcept { return code_; }
    const char* message() const noexcept { return message_; }
    // Hands the message over to the caller, who frees it or passes it to SQLite.
    char* takeMessage() noexcept { return std::exchange(message_, nullptr); }

private:
    int code_;
    char* message_;
};

// An ErrorPair whose message is a verbatim copy of text (never a format string).
inline ErrorPair errorWithText(int code, const char* text)
{
    return ErrorPair(code, sqlite3_mprintf("%s", text));
}
