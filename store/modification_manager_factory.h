// The process-wide owner of the history database: opens transactions.sqlite in
// the home directory, keeps the registry of tables with a change log, makes managers.
#pragma once

#include "changelog/modification_manager.h"
#include "store/sqlite_database.h"

#include <QHash>
#include <QString>

#include <memory>

class ModificationManagerFactory : public SqliteDatabase {
public:
    // The one factory, made on first use; throws ErrorPair when the history
    // database cannot be opened, and the next call tries again.
    static ModificationManagerFactory& instance();
    ~ModificationManagerFactory() override;

    // A manager for the table's change log. With owner set the table gets a
    // fresh log and a registry row; one live owner per table name at a time.
    std::shared_ptr<ModificationManager> createManager(const QString& uri, const QString& name, bool owner);
    // A manager for a registered table (its owner when that lives in this
    // process, otherwise a new non-owner one), or an empty pointer.
    std::shared_ptr<ModificationManager> findManager(const QString& name);

private:
    explicit ModificationManagerFactory(const QString& path);

    bool hasLiveOwner(const QString& name) const;
    void removeLeftovers(const QString& name);
    void removeLeftoverOfUri(const QString& uri);

    // Owner managers alive in this process, by identifierKey of their name.
    QHash<QString, std::weak_ptr<ModificationManager>> owners;
};
