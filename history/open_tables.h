// The registry of the overlay tables open in this process, by name, with
// their change logs: what every connection and thread of the process shares,
// in memory only, read and changed under one lock.
#pragma once

#include "common/inner_files.h"
#include "common/mutex.h"
#include "history/inner_rows.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class StoredChangeLog;
struct sqlite3;

// Everything this process knows of one table name. Overlay tables of that
// name, on any connection, share it, and with it one change log. Its fields
// are read and changed through OpenTables only, under its lock.
class OpenName {
public:
    struct Table {
        // The overlay table's own record: SQLite may hold several tables of
        // one name on a connection, those of statements prepared before a
        // schema change beside the one it connected since.
        const void* overlay;
        sqlite3* connection;
        QByteArray schema;
        QByteArray filePath;
        // The files filePath named when the table opened them.
        std::vector<FileStamp> stamps;
        // The table's inner rows, for the history views.
        const InnerRows* innerRows = nullptr;
    };

    // Grows whenever the log or the name changes: what a reader took from
    // the entry still holds while the version stays. Read without the lock.
    quint64 version() const { return version_.load(std::memory_order_acquire); }

private:
    friend class OpenTables;
    void changed() { version_.fetch_add(1, std::memory_order_release); }

    QString name;
    // The file path of the table whose writes made the log.
    QByteArray logFilePath;
    // The files that path named when the log began, as they stood then.
    std::vector<FileStamp> stamps;
    // The log; empty until the first write, and again after DROP TABLE.
    std::shared_ptr<StoredChangeLog> changeLog;
    // A label given before there was a log, for the first step it records.
    std::optional<QString> firstLabel;
    // The overlay tables of this name open now. A standard container: Qt's
    // share their data between copies, which threads must not.
    std::vector<Table> tables;
    // The module registrations under which a table of this name was opened:
    // the log lives until the last of them ends, or DROP TABLE.
    QSet<const void*> holders;
    std::atomic<quint64> version_{0};
};

// An entry as it stood at one moment.
struct LogState {
    QString name;
    // The log's file path, or without a log the first open table's.
    QByteArray filePath;
    std::shared_ptr<StoredChangeLog> changeLog;
    std::vector<FileStamp> stamps;
    std::vector<OpenName::Table> tables;
};

class OpenTables {
public:
    // A table of name opened: its entry, made when there is none.
    std::shared_ptr<OpenName> open(const QString& name, const void* holder, const OpenName::Table& table);
    // A table closed; an entry without a table or a log goes.
    void close(const std::shared_ptr<OpenName>& entry, const void* overlay);
    // DROP TABLE on connection/schema: every table of the entry there is
    // closed, those that statements prepared before a schema change still
    // hold included, so that the name is free at once.
    void drop(const std::shared_ptr<OpenName>& entry, const void* connection, const QByteArray& schema);
    // A registration ended: the entries that no registration keeps leave the
    // registry, handed back so that their logs end.
    std::vector<std::shared_ptr<OpenName>> releaseHolder(const void* holder);
    // Every entry leaves the registry, handed back (the process ends).
    std::vector<std::shared_ptr<OpenName>> takeAll();

    // The entry of name, or null; names compare as SQLite compares them.
    std::shared_ptr<OpenName> find(const QString& name) const;
    // Every entry, by name.
    std::vector<std::shared_ptr<OpenName>> entries() const;
    LogState state(const OpenName& entry) const;
    QString name(const OpenName& entry) const;
    std::shared_ptr<StoredChangeLog> changeLog(const OpenName& entry) const;
    // The log a table over filePath reads through: the entry's, when made
    // over that file; null otherwise. With the entry's version then.
    std::shared_ptr<StoredChangeLog> logOver(const OpenName& entry, const QByteArray& filePath,
                                             quint64* version = nullptr) const;
    // Whether any entry has a log.
    bool anyLog() const;
    // The entries with a log.
    std::vector<std::shared_ptr<OpenName>> withLogs() const;

    // The entry's log comes, made over filePath whose files were as stamped.
    void setLog(OpenName& entry, std::shared_ptr<StoredChangeLog> changeLog, const QByteArray& filePath,
                std::vector<FileStamp> stamps);
    // The files filePath named when a table over it opened them: the table on
    // connection, else the first; none when no table is over filePath.
    std::optional<std::vector<FileStamp>> stampsAtOpen(const OpenName& entry, const QByteArray& filePath,
                                                       const void* connection) const;
    // The files the entry's log began over, when it has a log made over filePath.
    std::optional<std::vector<FileStamp>> logStamps(const OpenName& entry, const QByteArray& filePath) const;
    // The tables over filePath on connection (null: on every one) now find their
    // files as stamped.
    void restamp(OpenName& entry, const void* connection, const QByteArray& filePath,
                 const std::vector<FileStamp>& stamps);
    // The entry's log goes; the log is handed back, null when there was none.
    std::shared_ptr<StoredChangeLog> takeLog(OpenName& entry);
    // Only when the entry's log is still changeLog.
    std::shared_ptr<StoredChangeLog> takeLog(OpenName& entry, const StoredChangeLog* changeLog);
    void setFirstLabel(OpenName& entry, const std::optional<QString>& label);
    std::optional<QString> takeFirstLabel(OpenName& entry);
    // The entry takes newName; false when another entry has it.
    bool rename(const std::shared_ptr<OpenName>& entry, const QString& newName);

private:
    // Under the lock: the entry's tables that which picks are closed.
    template <typename Which>
    void closeWhere(const std::shared_ptr<OpenName>& entry, Which&& which) REQUIRES(mutex);

    // Guards the entries' fields too.
    mutable Mutex mutex;
    QHash<QString, std::shared_ptr<OpenName>> logs GUARDED_BY(mutex);
};
