// Open file description locks (F_OFD_*): owned by the descriptor rather than
// by the process, so closing some other descriptor of the same file in this
// process never drops them.
#include "store/owner_locks.h"

#include "common/error_pair.h"
#include "common/identifiers.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// One byte per name, at an offset hashed from its key (64-bit FNV-1a, folded
// into 62 bits so that every offset is a valid one).
off_t slotOf(const QString& name)
{
    quint64 hash = 1469598103934665603ULL;
    for (char byte : identifierKey(name).toUtf8()) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 1099511628211ULL;
    }
    return static_cast<off_t>(1 + (hash & ((quint64(1) << 62) - 1)));
}

struct flock byteLock(short type, off_t start, off_t length)
{
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return lock;
}

} // namespace

OwnerLocks::OwnerLocks(const QString& path)
{
    fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw ErrorPair(SQLITE_CANTOPEN,
                        QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
}

OwnerLocks::~OwnerLocks()
{
    if (fd >= 0)
        ::close(fd);
}

bool OwnerLocks::acquire(const QString& name)
{
    const MutexLock guard(mutex);
    int& holders = held[identifierKey(name)];
    if (holders == 0) {
        struct flock lock = byteLock(F_WRLCK, slotOf(name), 1);
        if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            held.remove(identifierKey(name));
            return false;
        }
    }
    ++holders;
    return true;
}

void OwnerLocks::release(const QString& name) noexcept
{
    const MutexLock guard(mutex);
    const auto found = held.find(identifierKey(name));
    if (found == held.end() || --found.value() > 0)
        return;
    held.erase(found);
    struct flock lock = byteLock(F_UNLCK, slotOf(name), 1);
    ::fcntl(fd, F_OFD_SETLK, &lock);
}

bool OwnerLocks::holds(const QString& name) const
{
    const MutexLock guard(mutex);
    return held.contains(identifierKey(name));
}
