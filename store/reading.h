// One reader of the history file from the start of a scan to its end: a
// reader of the one connection while it lives, and, once it asks, the holder
// of a read connection of its own when one is free, for the rest of the scan.
#pragma once

#include "store/sqlite_database.h"

#include <memory>

class Reading {
public:
    explicit Reading(std::shared_ptr<SqliteDatabase> database) : database(std::move(database))
    {
        this->database->startReading();
    }
    ~Reading()
    {
        if (lent)
            database->readConnections().giveBack(std::move(lent));
        database->stopReading();
    }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    // The read connection lent to this reader, asked for at the first call;
    // null without one.
    ReadConnection* connection() noexcept
    {
        if (!asked_) {
            asked_ = true;
            lent = database->readConnections().lend();
        }
        return lent.get();
    }
    // Whether it asked for one.
    bool asked() const { return asked_; }

private:
    std::shared_ptr<SqliteDatabase> database;
    std::unique_ptr<ReadConnection> lent;
    bool asked_ = false;
};
