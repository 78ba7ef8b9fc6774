// Runs the body of a SQLite callback so that no exception leaves it: an
// ErrorPair becomes its code and message, anything else a code with a message.
#pragma once

#include "common/error_pair.h"
#include "common/routines.h"

#include <new>

inline constexpr const char* unknownExceptionMessage = "Unknown Unhandled exception in code ";

// Calls body(); on an exception hands its message, in the host's memory, to
// setMessage (null for an empty one, so that SQLite words the error from its
// code) and returns its code.
template <typename Body, typename SetMessage>
int runGuarded(Body&& body, SetMessage&& setMessage) noexcept
{
    try {
        return body();
    } catch (const ErrorPair& error) {
        setMessage(error.message().isEmpty() ? nullptr : hostMessage(error.message()));
        return error.code();
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    } catch (...) {
        setMessage(sqlite3_mprintf("%s", unknownExceptionMessage));
        return SQLITE_INTERNAL;
    }
}

// The common case: the message goes into the table's zErrMsg.
template <typename Body>
int guardTableCallback(sqlite3_vtab* vtab, Body&& body) noexcept
{
    return runGuarded(body, [vtab](char* message) {
        sqlite3_free(vtab->zErrMsg);
        vtab->zErrMsg = message;
    });
}
