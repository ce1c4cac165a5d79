// A backup device's snapshot store, read through the device's own filesystem only.
#include "snapshotstore.h"

#include "constants.h"
#include "descriptor.h"
#include "textutil.h"

#include <QFile>
#include <QTextCodec>

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
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const QByteArray DescriptionFile = QByteArrayLiteral("/backup_info.json");
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

// Every component of the path is resolved on the mount of the folder it starts from: a link only
// where it stays beneath that folder, no mount point, no magic link of /proc.
const __u64 BeneathOnly = RESOLVE_BENEATH | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS;

// The name of an open file's entry in a /proc/self folder. Written by hand: a description is
// opened through one of these, and snprintf would cost more than the rest of the open. With
// snprintf here and each description's path built anew, the benchmark's 2 x 500 snapshots take
// 34.8 M instructions, against 32.0 M.
using ProcPath = std::array<char, ProcPathSize>;
ProcPath procPath(const char *folder, int fd)
{
    ProcPath path = {};
    char *const end = std::copy(folder, folder + std::strlen(folder), path.begin());
    std::to_chars(end, path.end() - 1, fd);
    return path;
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
    // One byte more than the size tells a file that grew from one that did not. A read that
    // answers fewer bytes than it was asked for reached the end, so one read takes a whole file.
    bytes.resize(int(size) + 1);
    int taken = 0;
    while (taken < size) {
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

// Closes a description's two descriptors, in one call where they are neighbours, as the lowest
// free numbers, which the two opens take, usually are: one call of the five a description takes,
// which would otherwise be six.
void closeBoth(Descriptor &path, Descriptor &file)
{
    const int first = path.release();
    const int second = file.release();
    if (second == first + 1 && ::close_range(unsigned(first), unsigned(second), 0) == 0)
        return;
    ::close(first);
    ::close(second);
}

// A folder's name beside the lower-case form that QDir sorts by.
using FolderName = std::pair<QString, QByteArray>;

bool listedBefore(const FolderName &a, const FolderName &b)
{
    return a.first.compare(b.first) < 0;
}

} // namespace

SnapshotStore::~SnapshotStore()
{
    for (const int fd : {m_top, m_store}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool SnapshotStore::open(const MountTable::Mount &mount)
{
    const QByteArray mountPoint = QFile::encodeName(mount.mountPoint);
    Descriptor top(::open(mountPoint.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    // Only the mount ID is asked before the check: a filesystem mounted on top, such as a
    // FUSE filesystem whose server is gone, would never answer anything else.
    if (top.get() < 0 || mountIdOf(top.get()) != mount.id)
        return false;
    // A filesystem that reports no size at all (autofs and its kind) holds no snapshots, so a
    // later mount of the same device is taken instead; the root filesystem counts whatever it
    // reports.
    struct statfs info = {};
    const bool told = ::fstatfs(top.get(), &info) == 0;
    if (told && info.f_blocks == 0 && mount.mountPoint != KivRecovery::RootMountPoint)
        return false;
    const QByteArray storePath = QFile::encodeName(KivRecovery::SnapshotDir.mid(1));
    Descriptor store(openat2Beneath(top.get(), storePath.constData(), O_PATH | O_DIRECTORY));
    // Kernels before 5.6 have no openat2, and container filters written before it refuse it.
    const bool walk = store.get() < 0 && (errno == ENOSYS || errno == EPERM);
    if (walk)
        store.reset(walkBeneath(top.get(), storePath, mount.id));
    struct stat status = {};
    if (store.get() < 0 || ::fstat(store.get(), &status) != 0 || !S_ISDIR(status.st_mode))
        return false;
    m_top = top.release();
    m_store = store.release();
    m_mountId = mount.id;
    m_nodev = told && (info.f_flags & ST_NODEV) != 0;
    m_walk = walk;
    m_path = storePath;
    m_storePathLength = storePath.size();
    return true;
}

QList<QByteArray> SnapshotStore::snapshotNames(int &unlisted) const
{
    return folderNames(m_store, MaxSnapshotFolders, unlisted);
}

QList<QByteArray> SnapshotStore::folderNames(int dir, int limit, int &unlisted)
{
    unlisted = 0;
    // Listed through the descriptor, so that the folder is the one checked when it was opened.
    DIR *const listing = ::fdopendir(reopen(dir, O_RDONLY | O_DIRECTORY));
    if (!listing)
        return QList<QByteArray>();
    QTextCodec *const codec = QTextCodec::codecForLocale();
    // QDir itself would hold a QFileInfo for every entry, which for a large store is many times
    // the names; here no more than limit names are held. Until there are more, they stay in the
    // order of the listing, for the sort below; from then on they are a heap with the last in
    // order on top, which a name before it replaces.
    std::vector<FolderName> names;
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
        // Decoded as QDir decodes it: as part of a path, so that a byte order mark at its start
        // is kept, and passed over where the bytes are no valid text. Nearly every name is ASCII,
        // the same text in every locale's encoding, which needs no codec.
        const int length = int(std::strlen(entry->d_name));
        QString name;
        if (TextUtil::isAscii(entry->d_name, length)) {
            name = QString::fromLatin1(entry->d_name, length);
        } else {
            QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
            name = codec->toUnicode(entry->d_name, length, &state);
            if (state.invalidChars != 0 || state.remainingChars != 0)
                continue;
        }
        FolderName found(name.toLower(), QByteArray(entry->d_name, length));
        if (int(names.size()) < limit) {
            names.push_back(std::move(found));
            continue;
        }
        if (unlisted++ == 0)
            std::make_heap(names.begin(), names.end(), listedBefore);
        if (!listedBefore(found, names.front()))
            continue;
        std::pop_heap(names.begin(), names.end(), listedBefore);
        names.back() = std::move(found);
        std::push_heap(names.begin(), names.end(), listedBefore);
    }
    ::closedir(listing);
    // QDir's order by name without regard to case: the lower-case names compared code unit by
    // code unit, sorted from the order of the listing by the same std::sort, so that two names
    // that differ only in case come out as they do there.
    std::sort(names.begin(), names.end(), listedBefore);
    QList<QByteArray> sorted;
    sorted.reserve(int(names.size()));
    for (const FolderName &name : names)
        sorted.append(name.second);
    return sorted;
}

bool SnapshotStore::readDescription(const QByteArray &name, QByteArray &bytes)
{
    if (m_spent)
        return false;
    m_path.truncate(m_storePathLength);
    m_path.append(name).append(DescriptionFile);
    struct stat info = {};
    Descriptor path;
    Descriptor file;
    if (m_nodev && !m_walk) {
        // A nodev mount lets no device node be opened, and O_NONBLOCK keeps a FIFO from waiting
        // for a writer: the file is opened for reading at once and its type checked after.
        file.reset(openat2Beneath(m_top, m_path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY));
        if (file.get() < 0 || ::fstat(file.get(), &info) != 0)
            return false;
    } else {
        // Elsewhere the type is checked before the file is opened: opening a device node runs its
        // driver, so a watchdog would start its timer and a tape would rewind. O_PATH opens
        // nothing; the file is opened again through it once it is known to be a regular file.
        // The walk follows no link, so it may as well start at the store: fewer components.
        path.reset(m_walk ? walkBeneath(m_store, name + DescriptionFile, m_mountId)
                          : openat2Beneath(m_top, m_path.constData(), O_PATH));
        if (path.get() < 0 || ::fstat(path.get(), &info) != 0)
            return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > MaxDescriptionSize)
        return false;
    if (info.st_size > m_descriptionBytesLeft) {
        m_spent = true;
        return false;
    }
    m_descriptionBytesLeft -= info.st_size;
    if (path.get() >= 0)
        file.reset(reopen(path.get(), O_RDONLY | O_NOCTTY));
    const bool read = file.get() >= 0 && readAll(file.get(), info.st_size, bytes);
    if (path.get() >= 0)
        closeBoth(path, file);
    return read;
}

int SnapshotStore::openat2Beneath(int dir, const char *path, int flags)
{
    open_how how = {};
    how.flags = __u64(flags | O_CLOEXEC);
    how.resolve = BeneathOnly;
    return int(::syscall(SYS_openat2, dir, path, &how, sizeof how));
}

int SnapshotStore::walkBeneath(int dir, QByteArray path, int mountId)
{
    // Each component is opened on its own, without following a link, and must lie on the same
    // mount. The mount is checked before anything else is asked of what was opened: a filesystem
    // mounted there might never answer.
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
