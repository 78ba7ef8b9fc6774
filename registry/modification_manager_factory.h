// The process-wide composition root of the history store: the one connection
// to transactions.sqlite in the home directory, the locks that show other
// processes which logs are ours, and the one registry of the overlay tables
// open in this process, by name, with their change logs.
#pragma once

#include "changelog/sqlite_modification_manager.h"
#include "common/inner_files.h"
#include "store/owner_locks.h"
#include "store/sqlite_database.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// Everything this process knows of one table name. Overlay tables of that name
// (on any connection) share it, and with it one change log.
struct OpenLog {
    struct Table {
        const void* connection;
        QByteArray schema;
        QString filePath;
    };

    QString name;
    // The file path of the table whose writes made the log.
    QString uri;
    // The files that path named when the log began, as they stood then.
    std::vector<FileStamp> stamps;
    // The log; empty until the first write, and again after DROP TABLE.
    std::shared_ptr<SqliteModificationManager> manager;
    // A label given before there was a log, for the first step it records.
    std::optional<QString> firstLabel;
    // The overlay tables of this name open now.
    QList<Table> tables;
    // The module registrations under which a table of this name was opened:
    // the log lives until the last of them ends, or DROP TABLE.
    QSet<const void*> holders;
};

// A log kept beyond its tables' life, as the history file marks it.
struct KeptLog {
    QString name;
    QString uri;
    // The history position; none when the registry lacks the log.
    std::optional<qint64> position;
    std::optional<qint64> firstNewRowid;
};

class ModificationManagerFactory {
public:
    // The one factory, made on first use without touching the history database.
    static ModificationManagerFactory& instance();
    // False once the factory has been destroyed at process exit or unload:
    // callbacks that still arrive then find nothing to do.
    static bool alive();
    // Where the history database lives: transactions.sqlite in the home
    // folder. Throws ErrorPair (SQLITE_CANTOPEN) saying what is wrong with HOME.
    static QString historyPath();
    // The history file's full path when path (a database file) is that file,
    // else an empty string.
    static QString historyFileAt(const char* path);
    ~ModificationManagerFactory();

    // The history database, opened on first use. Throws ErrorPair when it cannot be opened (HOME
    // missing or not a folder, file not writable, not a database); the next
    // call tries again.
    SqliteDatabase& database();
    // The history database when it is open, without opening it.
    SqliteDatabase* openedDatabase() const { return history.get(); }
    // After a rollback of the host's transaction: logs whose creation it took
    // back are forgotten, and made again by the next write.
    void verifyLogs() noexcept;

    // Registry. A table of name opened on connection/schema under holder, over
    // filePath (canonical). A kept log of that name is taken up at once.
    // Throws ErrorPair when a kept log of the name cannot be taken up: another
    // process has it, it was made over another path, or its files changed.
    std::shared_ptr<OpenLog> openTable(const QString& name, const void* holder, const void* connection,
                                       const QByteArray& schema, const QString& filePath);
    void closeTable(const std::shared_ptr<OpenLog>& log, const void* connection, const QByteArray& schema) noexcept;
    // A registration ended: logs that no registration keeps any more end too.
    void releaseHolder(const void* holder) noexcept;
    // The entry of name, or null.
    std::shared_ptr<OpenLog> find(const QString& name) const;
    // Every entry, by name.
    std::vector<std::shared_ptr<OpenLog>> entries() const;
    // The file path a table of entry's is shown with: the log's, or the first open table's.
    static QString filePathOf(const OpenLog& entry);

    // The log of entry, made for the table at uri when there is none yet: the
    // kept log of the name taken up, or a new one (this process's lock on the
    // name, the log tables and a registry row at position 1; leftovers of the
    // name go first). Throws ErrorPair: another process owns a log of that
    // name, another table holds the file path, a kept log of the name cannot
    // be taken up, or the history database fails.
    ModificationManager& logFor(OpenLog& entry, const QString& uri);
    // DROP TABLE: the log's tables and registry rows go. Throws ErrorPair.
    void dropLog(OpenLog& entry);
    // ALTER TABLE ... RENAME: the log moves with the table. Throws ErrorPair.
    void renameLog(const std::shared_ptr<OpenLog>& entry, const QString& newName);

    // Whether a live process other than this one owns a log of name.
    bool ownedElsewhere(const QString& name);

    // Keeping. Marks entry's log kept, or takes the mark back: a kept log
    // outlives its tables and the process, until DROP TABLE or discard().
    // The log must exist. Throws ErrorPair.
    void keep(OpenLog& entry, bool kept);
    // The kept mark of name, or none. Throws ErrorPair.
    std::optional<KeptLog> keptLog(const QString& name);
    // Every kept mark in the history file, by name; none when there is no
    // history file yet. Throws ErrorPair.
    std::vector<KeptLog> keptLogs();
    // Drops the kept log of name, which no table may hold. Throws ErrorPair.
    void discard(const QString& name);

private:
    ModificationManagerFactory();

    void openDatabase();
    // The history database when its file exists, opened; null when it does not
    // exist or cannot be opened now.
    SqliteDatabase* existingDatabase() noexcept;
    // Makes entry's log for uri: the kept log of the name, taken up, or with
    // create a new one; without create and a kept log, nothing.
    void takeUpLog(OpenLog& entry, const QString& uri, bool create);
    // The kept log of name taken up for a table over uri, whose files are now
    // as stamped; throws ErrorPair when it must not be.
    std::shared_ptr<SqliteModificationManager> resumeKeptLog(const QString& name, const QString& uri,
                                                             const KeptLog& kept, const std::vector<FileStamp>& now);
    // Refuses when another name's log, live or kept, uses uri; clears what a
    // dead process left there.
    void claimUri(const QString& name, const QString& uri);
    bool isKept(const QString& name);
    void removeLeftovers(const QString& name);
    void removeAllLeftovers();
    void endLog(OpenLog& entry) noexcept;
    // Closes the history database while this process has no log in it, so
    // that nothing holds the file between uses, and the next use opens it
    // afresh where HOME points then; leftovers of processes that died are
    // removed first.
    void closeIfIdle() noexcept;

    std::unique_ptr<SqliteDatabase> history;
    std::unique_ptr<OwnerLocks> locks;
    QHash<QString, std::shared_ptr<OpenLog>> logs;
};
