#include "snapshotstore.h"

#include "constants.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

const QByteArray DescriptionFile = QByteArrayLiteral("/backup_info.json");
const QString RootMountPoint = QStringLiteral("/");
const QString OpenFilePattern = QStringLiteral("/proc/self/fd/%1");
const QString FileInfoPattern = QStringLiteral("/proc/self/fdinfo/%1");
const QByteArray MountIdField = QByteArrayLiteral("mnt_id:");

// A description is a few hundred bytes. Anything far larger is not one of ours, and the tool
// (often running as root) must not be made to read an unbounded amount of it.
const qint64 MaxDescriptionSize = 1024 * 1024;

// Every component of the path is resolved on the mount of the folder it starts from: no link of
// any kind, no mount point, no ".." above that folder.
const __u64 BeneathOnly =
    RESOLVE_BENEATH | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_SYMLINKS;

class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd) { Descriptor old(std::exchange(m_fd, fd)); }

private:
    int m_fd;
};

// An O_PATH descriptor gives no access to what it names; opening it again through /proc reaches
// the very file it was opened on, whatever has been renamed since.
int reopen(int fd, int flags)
{
    return ::open(QFile::encodeName(OpenFilePattern.arg(fd)).constData(), flags | O_CLOEXEC);
}

// Reads what an open regular file of size bytes holds, dropping every carriage return as a
// text-mode read does; false when it could not be read or has grown past size since.
bool readAll(int fd, qint64 size, QByteArray &bytes)
{
    // One byte more than the size tells a file that grew from one that did not.
    QByteArray buffer(int(size) + 1, Qt::Uninitialized);
    int taken = 0;
    while (taken < buffer.size()) {
        const ssize_t count = ::read(fd, buffer.data() + taken, size_t(buffer.size() - taken));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            break;
        taken += int(count);
    }
    if (taken > size)
        return false;
    char *const begin = buffer.data();
    buffer.truncate(int(std::remove(begin, begin + taken, '\r') - begin));
    bytes = buffer;
    return true;
}

} // namespace

SnapshotStore::~SnapshotStore()
{
    if (m_store >= 0)
        ::close(m_store);
}

bool SnapshotStore::open(const BootListText::Mount &mount)
{
    const QByteArray mountPoint = QFile::encodeName(mount.mountPoint);
    const Descriptor top(::open(mountPoint.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    // Only the mount ID is asked before the check: a filesystem mounted on top, such as a
    // FUSE filesystem whose server is gone, would never answer anything else.
    if (top.get() < 0 || mountIdOf(top.get()) != mount.id)
        return false;
    // A filesystem that reports no size at all (autofs and its kind) holds no snapshots, so a
    // later mount of the same device is taken instead; the root filesystem counts whatever it
    // reports.
    struct statfs info = {};
    if (::fstatfs(top.get(), &info) == 0 && info.f_blocks == 0 &&
        mount.mountPoint != RootMountPoint)
        return false;
    Descriptor store(
        openBeneath(top.get(), QFile::encodeName(KivRecovery::SnapshotDir.mid(1)), mount.id));
    struct stat status = {};
    if (store.get() < 0 || ::fstat(store.get(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    m_store = store.release();
    m_mountId = mount.id;
    return true;
}

QStringList SnapshotStore::snapshotNames() const
{
    // Listed through the descriptor, so that the folder is the one checked in open().
    const QDir folder(OpenFilePattern.arg(m_store));
    return folder.entryList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::NoSort);
}

bool SnapshotStore::readDescription(const QString &name, QByteArray &bytes) const
{
    const Descriptor path(
        openBeneath(m_store, QFile::encodeName(name) + DescriptionFile, m_mountId));
    // The type is checked before the file is opened: opening a device node runs its driver, so
    // a watchdog would start its timer and a tape would rewind, and a FIFO would wait for a
    // writer.
    struct stat info = {};
    if (path.get() < 0 || ::fstat(path.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > MaxDescriptionSize)
        return false;
    const Descriptor file(reopen(path.get(), O_RDONLY | O_NOCTTY));
    return file.get() >= 0 && readAll(file.get(), info.st_size, bytes);
}

int SnapshotStore::openBeneath(int dir, const QByteArray &path, int mountId, bool walk)
{
    if (!walk) {
        open_how how = {};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = BeneathOnly;
        const long fd = ::syscall(SYS_openat2, dir, path.constData(), &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS)
            return int(fd);
    }
    // Kernels before 5.6 have no openat2: each component is opened on its own, without
    // following a link, and must lie on the same mount.
    Descriptor current(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    for (const QByteArray &name : path.split('/')) {
        if (name.isEmpty())
            continue;
        struct stat info = {};
        if (current.get() < 0 || ::fstat(current.get(), &info) != 0 || !S_ISDIR(info.st_mode))
            return -1;
        Descriptor next(::openat(current.get(), name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0 || ::fstat(next.get(), &info) != 0 || S_ISLNK(info.st_mode) ||
            mountIdOf(next.get()) != mountId)
            return -1;
        current.reset(next.release());
    }
    return current.release();
}

int SnapshotStore::mountIdOf(int fd)
{
    QFile info(FileInfoPattern.arg(fd));
    if (!info.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : info.readAll().split('\n')) {
        if (line.startsWith(MountIdField))
            return line.mid(MountIdField.size()).trimmed().toInt();
    }
    return -1;
}
