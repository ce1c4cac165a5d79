#include "bootversionmgr.h"

#include "constants.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

const QString VersionKey = QStringLiteral("version");
const QString KernelKey = QStringLiteral("kernel");
const QString InitrdKey = QStringLiteral("initrd");
const QString SchemeKey = QStringLiteral("scheme");
const QString DisplayKey = QStringLiteral("display");
const QString UuidKey = QStringLiteral("uuid");
const QString VersionListKey = QStringLiteral("version_list");
// A record's object before its fields are filled in: every member there, every value empty.
const QJsonObject EmptyRecord{{VersionKey, QString()}, {KernelKey, QString()},
                              {InitrdKey, QString()},  {SchemeKey, QString()},
                              {DisplayKey, QString()}, {UuidKey, QString()}};

const QString RecoveryScheme = QStringLiteral("recovery");
const QString DescriptionFile = QStringLiteral("backup_info.json");

const QString FstabPath = QStringLiteral("/etc/fstab");
const QString RootMountPoint = QStringLiteral("/");

const QString UnameProgram = QStringLiteral("uname");
const QString LsblkProgram = QStringLiteral("lsblk");
const QString CatProgram = QStringLiteral("cat");

const QString SeparateBootKernelPrefix = QStringLiteral("/vmlinuz-");
const QString SeparateBootInitrdPrefix = QStringLiteral("/initrd.img-");
const QString RootBootKernelPrefix = QStringLiteral("/boot/vmlinuz-");
const QString RootBootInitrdPrefix = QStringLiteral("/boot/initrd.img-");

const QString RootConfigRoot = QStringLiteral("/");
const QString RescueConfigRoot = QStringLiteral("/root/");

const QString MountTablePath = QStringLiteral("/proc/self/mountinfo");
// The log line of a failed device listing names, as its text and as its context, the lookup that
// callers know, whichever of its overloads ran.
const char MountPointLookupName[] =
    "bool BootVersionMgr::getMountPointByUUID(const QString&, QString&)";

// A description is a few hundred bytes. Anything far larger is not one of ours, and since backup
// devices are removable media that anyone may have written, the tool (often running as root)
// must not be made to read an unbounded amount of it.
const qint64 MaxDescriptionSize = 1024 * 1024;
// Nor may many descriptions just under that cap together: their text would outgrow what one
// document can hold, and the run would die with nothing printed. So every description read is
// charged to a budget of the run, its size and EntryCharge for the entry it may add; past the
// budget a description is skipped, and the entries found so far still come out. A kept byte of
// description costs about six by the time the document is written, an entry about 2 KiB, so the
// run stays under 1 GiB however the store is made, while 100,000 real snapshots of a few
// hundred bytes take well under half of the budget.
const qint64 DescriptionBudget = 128 * 1024 * 1024;
const qint64 EntryCharge = 384;

QByteArray readMountTable()
{
    QFile file(MountTablePath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The lookup follows symbolic links of device paths the way the system does, so that
// /dev/mapper/NAME and the node it links to count as one device.
QString resolveLinks(const QString &path)
{
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return resolved.isEmpty() ? path : resolved;
}

// A filesystem that reports no size at all (autofs and its kind) holds no snapshots, so a
// later mount of the same device is taken instead; the root filesystem counts whatever it
// reports. Only the mounts of the device looked for are asked: a hung network share or FUSE
// filesystem elsewhere would never answer.
bool isEmptyFilesystem(const QString &mountPoint)
{
    struct statfs info = {};
    return ::statfs(QFile::encodeName(mountPoint).constData(), &info) == 0 && info.f_blocks == 0 &&
           mountPoint != RootMountPoint;
}

// Reads a snapshot description, or answers false for anything that is not a regular file of at
// most MaxDescriptionSize bytes that fits in what is left of budget, which it is charged. The
// bytes come out as a text-mode QFile hands them over, every carriage return dropped.
bool readDescription(const QString &path, qint64 &budget, QByteArray &bytes)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info = {};
    // Only regular files are opened: opening a device node runs its driver, so a watchdog
    // would start its timer and a tape would rewind, and a FIFO would wait for a writer.
    if (::stat(name.constData(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > MaxDescriptionSize || info.st_size + EntryCharge > budget)
        return false;
    // The path may have been swapped for a FIFO or a device node since: the open must not
    // block on it, and the type is checked again on what was opened.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > MaxDescriptionSize) {
        ::close(fd);
        return false;
    }
    // Room for the whole file and one byte more: one byte past the cap tells a file that grew
    // after fstat from one that fits. The cap counts the bytes read, not the bytes kept once the
    // carriage returns are gone, so a growing file cannot keep the read going.
    QByteArray buffer(int(info.st_size) + 1, Qt::Uninitialized);
    qint64 taken = 0;
    int kept = 0;
    while (taken <= MaxDescriptionSize) {
        if (kept == buffer.size())
            buffer.resize(int(qMin<qint64>(qint64(kept) * 2, MaxDescriptionSize + 1)));
        const qint64 room = qMin<qint64>(buffer.size() - kept, MaxDescriptionSize + 1 - taken);
        const ssize_t count = ::read(fd, buffer.data() + kept, size_t(room));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            ::close(fd);
            return false;
        }
        if (count == 0)
            break;
        taken += count;
        char *const begin = buffer.data() + kept;
        kept += int(std::remove(begin, begin + count, '\r') - begin);
    }
    ::close(fd);
    budget -= qMin(budget, taken + EntryCharge);
    buffer.truncate(kept);
    bytes = buffer;
    return taken <= MaxDescriptionSize;
}

} // namespace

QJsonObject BootVersion::marshal()
{
    // Filling in a copy of an object that already holds the six keys only replaces values;
    // inserting into an empty object converted each key anew and grew the object six times.
    QJsonObject obj = EmptyRecord;
    obj[VersionKey] = version;
    obj[KernelKey] = kernel;
    obj[InitrdKey] = initrd;
    obj[SchemeKey] = scheme;
    obj[DisplayKey] = display;
    obj[UuidKey] = uuid;
    return obj;
}

void BootVersion::unmarshal(const QJsonObject &obj)
{
    version = obj.value(VersionKey).toString();
    kernel = obj.value(KernelKey).toString();
    initrd = obj.value(InitrdKey).toString();
    scheme = obj.value(SchemeKey).toString();
    display = obj.value(DisplayKey).toString();
    uuid = obj.value(UuidKey).toString();
}

QString BootVersionMgr::getBootList()
{
    QStringList uuidList;
    getRecoveryBackupUUIDList(uuidList);
    QList<BootVersion> list;
    getBootVersionList(uuidList, list);
    return versionList2Json(list);
}

void BootVersionMgr::getBootVersionList(const QStringList &uuidList, QList<BootVersion> &list)
{
    list.clear();
    if (uuidList.isEmpty())
        return;

    BootVersion base;
    getBootKernelAndInitrd(base.kernel, base.initrd);
    base.scheme = RecoveryScheme;

    const QList<BootListText::Mount> mounts = BootListText::mountTable(readMountTable());
    qint64 budget = DescriptionBudget;
    for (const QString &uuid : uuidList) {
        QString mountPoint;
        getMountPointByUUID(uuid, mounts, mountPoint);
        if (mountPoint.isEmpty())
            continue;
        const QDir snapshots(mountPoint + KivRecovery::SnapshotDir);
        const QFileInfoList entries = snapshots.entryInfoList(
            QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::NoSort);
        if (entries.isEmpty())
            continue;
        // Every entry lies in the one folder listed, so its absolute path is worked out once:
        // QFileInfo::absolutePath() cleans the path anew on each call.
        const QString folder = entries.first().absolutePath() + QLatin1Char('/');
        for (const QFileInfo &entry : entries) {
            const QString path = folder + entry.fileName() + QLatin1Char('/') + DescriptionFile;
            QByteArray description;
            if (!readDescription(path, budget, description))
                continue;
            // Every snapshot starts from the base record, so a member one description lacks is
            // empty rather than the previous snapshot's value.
            BootVersion record = base;
            if (BootListText::admitSnapshot(BootListText::fromUtf8UntilNul(description), record))
                list.append(record);
        }
    }
}

QString BootVersionMgr::versionList2Json(const QList<BootVersion> &list)
{
    QJsonArray array;
    for (BootVersion record : list)
        array.append(record.marshal());
    QJsonObject document;
    document.insert(VersionListKey, array);
    return BootListText::fromUtf8UntilNul(QJsonDocument(document).toJson(QJsonDocument::Compact));
}

QJsonObject BootVersionMgr::QStringToJson(const QString &text)
{
    return BootListText::jsonObject(text);
}

bool BootVersionMgr::spawnCmd(const QString &program, const QStringList &args, QString &out,
                              QString &err)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(args);
    process.start(QIODevice::ReadWrite);
    // Nothing is ever sent; an end of input lets a program that reads anyway finish.
    process.closeWriteChannel();
    // No time limit: the programs run here are short, and a slow disk must not cut them off.
    process.waitForFinished(-1);

    const QByteArray standardOutput = process.readAllStandardOutput();
    if (!standardOutput.isEmpty())
        out += BootListText::fromUtf8UntilNul(standardOutput);
    const QByteArray standardError = process.readAllStandardError();
    if (!standardError.isEmpty())
        err += BootListText::fromUtf8UntilNul(standardError);

    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void BootVersionMgr::getBootKernelAndInitrd(QString &kernel, QString &initrd)
{
    const bool separateBoot = isExistBootPartition(FstabPath);
    const QString &kernelPrefix = separateBoot ? SeparateBootKernelPrefix : RootBootKernelPrefix;
    const QString &initrdPrefix = separateBoot ? SeparateBootInitrdPrefix : RootBootInitrdPrefix;

    QString out;
    QString err;
    if (!spawnCmd(UnameProgram, {QStringLiteral("-r")}, out, err))
        return;
    const QString release = out.section(QLatin1Char('\n'), 0, 0);
    kernel = kernelPrefix + release;
    initrd = initrdPrefix + release;
}

bool BootVersionMgr::isExistBootPartition(const QString &fstabPath)
{
    if (!QFile::exists(fstabPath))
        return false;
    QFile file(fstabPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    return BootListText::hasSeparateBoot(file.readAll());
}

void BootVersionMgr::getRecoveryBackupUUIDList(QStringList &uuidList)
{
    uuidList.clear();
    const QString &configRoot = isRootMounted() ? RootConfigRoot : RescueConfigRoot;
    uuidList = BootListText::backupUuids(configRoot + KivRecovery::ConfigFile);
}

bool BootVersionMgr::isRootMounted()
{
    QString listing;
    QString err;
    if (!spawnCmd(LsblkProgram, {QStringLiteral("--output"), QStringLiteral("MOUNTPOINT,UUID")},
                  listing, err))
        return false;
    const QString uuid = BootListText::rootUuid(listing);
    if (uuid.isEmpty())
        return false;

    QString fstab;
    QString catErr;
    if (!spawnCmd(CatProgram, {FstabPath}, fstab, catErr))
        return false;
    const QString device = BootListText::rootDevice(BootListText::mountTable(readMountTable()));
    return BootListText::rootEntryIsRoot(fstab, uuid, device, resolveLinks);
}

bool BootVersionMgr::getMountPointByUUID(const QString &uuid, QString &mountPoint)
{
    return getMountPointByUUID(uuid, BootListText::mountTable(readMountTable()), mountPoint);
}

bool BootVersionMgr::getMountPointByUUID(const QString &uuid,
                                         const QList<BootListText::Mount> &mounts,
                                         QString &mountPoint)
{
    const QStringList args{QStringLiteral("--output"), QStringLiteral("UUID,PATH")};
    QString listing;
    QString err;
    if (!spawnCmd(LsblkProgram, args, listing, err)) {
        QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, MountPointLookupName).info()
            << MountPointLookupName << ", spawnCmd failed, args = " << args << ", err = " << err;
        return false;
    }
    const QString device = BootListText::devicePath(listing, uuid);
    if (device.isEmpty())
        return true;
    // The first mount of the device wins, as in the mount table's own order.
    for (const BootListText::Mount &mount : mounts) {
        if (mount.device == device && !isEmptyFilesystem(mount.mountPoint)) {
            mountPoint = mount.mountPoint;
            break;
        }
    }
    return true;
}
