// Why a csv_save cannot go on: SQLite's result code and a message, thrown
// while saving and handed to the caller as the function's error.
#pragma once

#include <string>

struct Failure {
    int code;
    std::string message;
};
