// Qt connections closed by their own thread. One given up on another thread
// waits, idle and without statements, in a list by the thread that made it,
// which closes what waits there when it makes the next connection; a thread
// that ended closes nothing, and the next connection made closes what waits
// for it. Qt closes what is left as the process ends.
#include "store/qt_connection.h"

#include "common/error_pair.h"
#include "common/mutex.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QStringList>
#include <QVariant>

#include <pthread.h>
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <memory>
#include <vector>

namespace {

// Removing a connection deletes its driver, which closes it.
void closeNow(const QString& name)
{
    QSqlDatabase::removeDatabase(name);
}

// The threads that made connections and what waits for each. A key of the
// thread library marks a thread's end: a destructor in this library's own
// thread-local storage would keep the library from being unloaded.
class Waiting {
public:
    Waiting()
    {
        made = pthread_key_create(&ended, [](void* held) {
                   const std::unique_ptr<std::shared_ptr<Thread>> thread(static_cast<std::shared_ptr<Thread>*>(held));
                   (*thread)->alive.store(false, std::memory_order_release);
               }) == 0;
    }
    // A thread that ends while the process ends still holds its own share of
    // its entry; the calling thread gives back its share here.
    ~Waiting()
    {
        if (!made)
            return;
        delete static_cast<std::shared_ptr<Thread>*>(pthread_getspecific(ended));
        pthread_setspecific(ended, nullptr);
        pthread_key_delete(ended);
    }

    // Marks the calling thread as one that makes connections, and closes what
    // waits for it and for threads that ended.
    void closeHere()
    {
        std::vector<QString> closing;
        {
            const MutexLock held(mutex);
            std::shared_ptr<Thread>& here = threads[std::this_thread::get_id()];
            for (auto at = threads.begin(); at != threads.end();) {
                const bool mine = at->first == std::this_thread::get_id();
                const bool gone = !at->second || !at->second->alive.load(std::memory_order_acquire);
                if (at->second && (gone || mine)) {
                    closing.insert(closing.end(), at->second->names.begin(), at->second->names.end());
                    at->second->names.clear();
                }
                at = gone && !mine ? threads.erase(at) : std::next(at);
            }
            if (!here || !here->alive) {
                here = std::make_shared<Thread>();
                // The thread's own share keeps the entry alive for its key's
                // destructor, which may run while the process ends.
                auto share = std::make_unique<std::shared_ptr<Thread>>(here);
                if (made && pthread_setspecific(ended, share.get()) == 0)
                    share.release();
            }
        }
        for (const QString& name : closing)
            closeNow(name);
    }

    // Hands name to the thread that made it; false when that thread ended.
    bool handOver(std::thread::id maker, const QString& name)
    {
        const MutexLock held(mutex);
        const auto found = threads.find(maker);
        if (!made || found == threads.end() || !found->second || !found->second->alive.load(std::memory_order_acquire))
            return false;
        found->second->names.push_back(name);
        return true;
    }

private:
    struct Thread {
        std::atomic<bool> alive{true};
        std::vector<QString> names;
    };

    pthread_key_t ended;
    bool made = false;
    Mutex mutex;
    std::map<std::thread::id, std::shared_ptr<Thread>> threads GUARDED_BY(mutex);
};

// Made as the library loads, so that it outlives the history and the
// connection that the history closes when the process ends.
Waiting waiting;

// QSQLITE reports SQLite's result code as the native code and sqlite3_errmsg
// as the database text; its own words ("Unable to fetch row") are left out.
ErrorPair openError(const QSqlError& error)
{
    bool known = false;
    int code = error.nativeErrorCode().toInt(&known) & 0xff;
    if (!known || code == SQLITE_OK)
        code = SQLITE_ERROR;
    return ErrorPair(code, error.databaseText().isEmpty() ? error.text() : error.databaseText());
}

QString uniqueConnectionName(const QString& path)
{
    const QString base = QFileInfo(path).baseName();
    QString candidate = base;
    for (quint32 counter = 1; QSqlDatabase::connectionNames().contains(candidate); ++counter)
        candidate = base + QLatin1Char('_') + QString::number(counter);
    return candidate;
}

} // namespace

QtConnection::QtConnection(const QString& path) : maker(std::this_thread::get_id())
{
    waiting.closeHere();
    // Qt keeps the driver name for the life of the process; a literal would
    // point into this library, which a host may unload before Qt.
    name = uniqueConnectionName(path);
    QSqlDatabase connection = QSqlDatabase::addDatabase(QString::fromLatin1("QSQLITE"), name);
    connection.setDatabaseName(path);
    const bool opened = connection.open();
    const QVariant native = connection.driver()->handle();
    if (opened && native.isValid() && qstrcmp(native.typeName(), "sqlite3*") == 0)
        handle_ = *static_cast<sqlite3* const*>(native.constData());
    if (handle_)
        return;
    ErrorPair error = opened ? ErrorPair(SQLITE_INTERNAL, QByteArray("the history database is not a SQLite connection"))
                             : openError(connection.lastError());
    connection = QSqlDatabase();
    closeNow(name);
    throw error;
}

QtConnection::~QtConnection()
{
    if (std::this_thread::get_id() == maker || !waiting.handOver(maker, name))
        closeNow(name);
}
