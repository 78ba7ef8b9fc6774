// The process-wide composition root of the history store: the one connection
// to transactions.sqlite in the home directory, the locks that show other
// processes which logs are ours, and the one registry of the overlay tables
// open in this process, by name, with their change logs.
#pragma once

#include "changelog/sqlite_modification_manager.h"
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

    // Registry. A table of name opened on connection/schema under holder.
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

    // The log of entry, made for the table at uri when there is none yet.
    // Throws ErrorPair: another process owns a log of that name, another table
    // holds the file path, or the history database fails.
    ModificationManager& logFor(OpenLog& entry, const QString& uri);
    // DROP TABLE: the log's tables and registry rows go. Throws ErrorPair.
    void dropLog(OpenLog& entry);
    // ALTER TABLE ... RENAME: the log moves with the table. Throws ErrorPair.
    void renameLog(const std::shared_ptr<OpenLog>& entry, const QString& newName);

    // A new change log for the table at uri named name: this process's lock on
    // the name, the log tables and a registry row at position 1. Leftovers of
    // the name are removed first. Throws ErrorPair.
    std::shared_ptr<SqliteModificationManager> createManager(const QString& uri, const QString& name);
    // The log of a table of this process, or an empty pointer.
    std::shared_ptr<ModificationManager> findManager(const QString& name) const;
    // Whether a live process other than this one owns a log of name.
    bool ownedElsewhere(const QString& name);

private:
    ModificationManagerFactory();

    void openDatabase();
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
