// A backup device's snapshot store, read through the device's own filesystem only.
#include "snapshotstore.h"

#include "constants.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const QString DescriptionFile = QStringLiteral("/backup_info.json");
const char OpenFileFolder[] = "/proc/self/fd/";
const char FileInfoFolder[] = "/proc/self/fdinfo/";
// Room for either folder's name and any descriptor number.
const int ProcPathSize = 48;
// The fdinfo of a file opened as O_PATH is a few short lines: its position, flags, mount ID and
// inode number.
const int FileInfoSize = 256;
const char MountIdField[] = "mnt_id:";

// A description is a few hundred bytes. Anything far larger is not one of ours, and the tool
// (often running as root) must not be made to read an unbounded amount of it.
const qint64 MaxDescriptionSize = 1024 * 1024;

// Every component of the path is resolved on the mount of the folder it starts from: no link of
// any kind, no mount point, no ".." above that folder.
const __u64 BeneathOnly =
    RESOLVE_BENEATH | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_SYMLINKS;

// An open file descriptor, closed when it goes.
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

// The name of an open file's entry in a /proc/self folder. Written by hand: a description is
// opened through one of these, and snprintf would cost more than the rest of the open.
using ProcPath = std::array<char, ProcPathSize>;
ProcPath procPath(const char *folder, int fd)
{
    ProcPath path = {};
    char *const end = std::copy(folder, folder + std::strlen(folder), path.begin());
    std::to_chars(end, path.end() - 1, fd);
    return path;
}

// File names as QFile takes them apart and puts them together, but straight through UTF-8 where
// the locale's encoding is UTF-8 anyway: several times quicker than the locale's own codec.
QString decodeName(const char *name, bool utf8)
{
    return utf8 ? QString::fromUtf8(name) : QFile::decodeName(name);
}

QByteArray encodeName(const QString &name)
{
    return BootListText::localeIsUtf8() ? name.toUtf8() : QFile::encodeName(name);
}

// An O_PATH descriptor gives no access to what it names; opening it again through /proc reaches
// the very file it was opened on, whatever has been renamed since.
int reopen(int fd, int flags)
{
    return ::open(procPath(OpenFileFolder, fd).data(), flags | O_CLOEXEC);
}

// Reads what an open regular file of size bytes holds, dropping every carriage return as a
// text-mode read does; false when it could not be read or has grown past size since.
bool readAll(int fd, qint64 size, QByteArray &bytes)
{
    // One byte more than the size tells a file that grew from one that did not.
    bytes.resize(int(size) + 1);
    int taken = 0;
    while (taken < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + taken, size_t(bytes.size() - taken));
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
    char *const begin = bytes.data();
    if (std::memchr(begin, '\r', size_t(taken)))
        taken = int(std::remove(begin, begin + taken, '\r') - begin);
    bytes.truncate(taken);
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
        mount.mountPoint != KivRecovery::RootMountPoint)
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
    return folderNames(m_store);
}

QStringList SnapshotStore::folderNames(int dir)
{
    // Listed through the descriptor, so that the folder is the one checked when it was opened.
    DIR *const listing = ::fdopendir(reopen(dir, O_RDONLY | O_DIRECTORY));
    if (!listing)
        return QStringList();
    const bool utf8 = BootListText::localeIsUtf8();
    // Each name beside the lower-case form that QDir sorts by. QDir itself would hold a
    // QFileInfo for every entry, which for a large store is many times the names.
    std::vector<std::pair<QString, QString>> names;
    while (const dirent *entry = ::readdir(listing)) {
        // Hidden folders, "." and ".." are no snapshots.
        if (entry->d_name[0] == '.')
            continue;
        struct stat info = {};
        const bool folder =
            entry->d_type == DT_DIR ||
            (entry->d_type == DT_UNKNOWN &&
             ::fstatat(::dirfd(listing), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
             S_ISDIR(info.st_mode));
        if (!folder)
            continue;
        const QString name = decodeName(entry->d_name, utf8);
        names.emplace_back(name.toLower(), name);
    }
    ::closedir(listing);
    // QDir's order by name without regard to case: the lower-case names compared code unit by
    // code unit, sorted from the order of the listing by the same std::sort, so that two names
    // that differ only in case come out as they do there.
    std::sort(names.begin(), names.end(),
              [](const auto &a, const auto &b) { return a.first.compare(b.first) < 0; });
    QStringList sorted;
    sorted.reserve(int(names.size()));
    for (const auto &name : names)
        sorted.append(name.second);
    return sorted;
}

bool SnapshotStore::readDescription(const QString &name, QByteArray &bytes) const
{
    const Descriptor path(openBeneath(m_store, encodeName(name + DescriptionFile), m_mountId));
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

int SnapshotStore::openBeneath(int dir, QByteArray path, int mountId, bool walk)
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
    // following a link, and must lie on the same mount. The mount is checked before anything
    // else is asked of what was opened: a filesystem mounted there might never answer.
    Descriptor current(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    // The components, each ended by a NUL byte in place of its slash.
    path.replace('/', '\0');
    const char *const end = path.constData() + path.size();
    for (const char *name = path.constData(); name < end; name += std::strlen(name) + 1) {
        if (*name == '\0')
            continue;
        Descriptor next(::openat(current.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info = {};
        if (next.get() < 0 || mountIdOf(next.get()) != mountId || ::fstat(next.get(), &info) != 0 ||
            S_ISLNK(info.st_mode))
            return -1;
        current.reset(next.release());
    }
    return current.release();
}

int SnapshotStore::mountIdOf(int fd)
{
    // Plain calls: this runs for every component of every path where openat2 is missing.
    const Descriptor file(::open(procPath(FileInfoFolder, fd).data(), O_RDONLY | O_CLOEXEC));
    char text[FileInfoSize + 1] = {};
    if (file.get() < 0 || ::read(file.get(), text, FileInfoSize) <= 0)
        return -1;
    const char *const field = std::strstr(text, MountIdField);
    return field ? std::atoi(field + std::strlen(MountIdField)) : -1;
}
