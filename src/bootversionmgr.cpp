// The bootlist action: the backup devices, the running kernel, the programs it runs and the walk
// over the snapshots, written as the boot list document.
#include "bootversionmgr.h"

#include "bootlisttext.h"
#include "bootversion.h"
#include "constants.h"
#include "processrunner.h"
#include "snapshotstore.h"
#include "textutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

const QString RecoveryScheme = QStringLiteral("recovery");

const QString FstabPath = QStringLiteral("/etc/fstab");

const QString UnameProgram = QStringLiteral("uname");
const QString LsblkProgram = QStringLiteral("lsblk");
const QString CatProgram = QStringLiteral("cat");

const QString SeparateBootKernelPrefix = QStringLiteral("/vmlinuz-");
const QString SeparateBootInitrdPrefix = QStringLiteral("/initrd.img-");
const QString RootBootKernelPrefix = QStringLiteral("/boot/vmlinuz-");
const QString RootBootInitrdPrefix = QStringLiteral("/boot/initrd.img-");

// Fixed: where a rescue system keeps the configuration of the system it rescues.
const QString RescueConfigRoot = QStringLiteral("/root/");

// Fixed: the log line of a failed device listing names, as its text and as its context, the
// lookup by the signature it has always been logged with, which is what readers of the log match.
// The method now takes the mount table and fills a store, but the line keeps naming the lookup as
// it was first published, so that it must not follow the method's parameters.
const char MountPointLookupName[] =
    "bool BootVersionMgr::getMountPointByUUID(const QString&, QString&)";

// The most the document of one run may take. A boot menu has no use for more, and whatever a
// device holds, a reader of the list must not be made to take in an unbounded amount. Past the
// document's frame each device of the run has an even share, so that an old device full of
// snapshots cannot crowd out the current one; an entry past its device's share is left out.
const qint64 DocumentCap = 64 * 1024 * 1024;

// The lookup follows symbolic links of device paths the way the system does, so that
// /dev/mapper/NAME and the node it links to count as one device.
BootListText::DeviceNode probeDevice(const QString &path)
{
    BootListText::DeviceNode node;
    node.path = QFileInfo(path).canonicalFilePath();
    if (node.path.isEmpty())
        node.path = path;
    struct stat info = {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISBLK(info.st_mode))
        node.number = QStringLiteral("%1:%2").arg(major(info.st_rdev)).arg(minor(info.st_rdev));
    return node;
}

const QByteArray LineEnd = QByteArrayLiteral("\n");

// The entries of the document, written as they come, a comma before each but the first.
class EntryList
{
public:
    explicit EntryList(const BootVersionMgr::DocumentWriter &write)
        : m_write(write)
    {
    }
    // What entry costs the document where it would be written next.
    qint64 cost(const QByteArray &entry) const
    {
        return entry.size() + (m_first ? 0 : BootVersionJson::EntrySeparator.size());
    }
    // False where the document could not be written.
    bool append(const QByteArray &entry)
    {
        if (!m_first && !m_write(BootVersionJson::EntrySeparator))
            return false;
        m_first = false;
        return m_write(entry);
    }

private:
    const BootVersionMgr::DocumentWriter &m_write;
    bool m_first = true;
};

// What one device may cost the document, and what its bounds left out.
struct DeviceBudget
{
    explicit DeviceBudget(qint64 documentShare)
        : share(documentShare)
    {
    }
    // Whether an entry of cost bytes still fits the device's share; one that does not is
    // counted as skipped.
    bool fits(qint64 cost)
    {
        if (written + cost > share) {
            ++skipped;
            return false;
        }
        written += cost;
        return true;
    }
    // One warning for each bound that left something of the device out.
    void warnLeftOut(const QString &uuid) const
    {
        if (unlisted > 0)
            qWarning() << "getBootVersionList uuid = " << uuid << ", unlisted = " << unlisted
                       << ", folders = " << SnapshotStore::MaxSnapshotFolders;
        if (unread > 0)
            qWarning() << "getBootVersionList uuid = " << uuid << ", unread = " << unread
                       << ", bytes = " << SnapshotStore::MaxDescriptionBytes;
        if (skipped > 0)
            qWarning() << "getBootVersionList uuid = " << uuid << ", skipped = " << skipped
                       << ", share = " << share;
    }

    const qint64 share;
    qint64 written = 0;
    int unlisted = 0;
    int unread = 0;
    int skipped = 0;
};

// Writes the bootable snapshots of the store, each from base, within the device's budget; false
// where the document could not be written.
bool listDevice(SnapshotStore &store, const BootVersion &base, DeviceBudget &budget,
                EntryList &entries)
{
    const QList<QByteArray> names = store.snapshotNames(budget.unlisted);
    // One buffer for every description of the device, read one after the other.
    QByteArray description;
    for (int i = 0; i < names.size(); ++i) {
        if (!store.readDescription(names.at(i), description)) {
            if (!store.descriptionBytesSpent())
                continue;
            budget.unread = names.size() - i;
            return true;
        }
        // Every snapshot starts from the base record, so a member one description lacks is
        // empty rather than the previous snapshot's value.
        BootVersion record = base;
        if (!BootVersionJson::admitSnapshot(description, record))
            continue;
        const QByteArray entry = record.toJson();
        if (budget.fits(entries.cost(entry)) && !entries.append(entry))
            return false;
    }
    return true;
}

} // namespace

bool BootVersionMgr::getBootList(std::FILE *out, const QByteArray &systemMountTable)
{
    // The document is UTF-8 text; a locale of another encoding gets it converted, piece by piece.
    const bool utf8 = TextUtil::localeIsUtf8();
    int writeError = 0;
    const auto write = [out, utf8, &writeError](const QByteArray &utf8Text) {
        const QByteArray bytes = utf8 ? utf8Text : QString::fromUtf8(utf8Text).toLocal8Bit();
        // Unlocked: the tool has one thread.
        if (fwrite_unlocked(bytes.constData(), 1, size_t(bytes.size()), out) ==
            size_t(bytes.size()))
            return true;
        writeError = errno;
        return false;
    };
    if (!write(BootVersionJson::DocumentStart))
        return false;
    QStringList uuidList;
    // The mounts as this run sees them, in the order the system shows them, so that a run in a
    // mount namespace of its own tries a device's mounts as any other run would.
    const QList<MountTable::Mount> mounts = MountTable::storageMounts(MountTable::inOrderOf(
        MountTable::parse(MountTable::read()), MountTable::parse(systemMountTable)));
    getRecoveryBackupUUIDList(uuidList, MountTable::rootMount(mounts));
    const bool listed = getBootVersionList(uuidList, mounts, write);
    if (listed && write(BootVersionJson::DocumentEnd) && write(LineEnd) && std::fflush(out) == 0)
        return true;
    if (writeError != 0)
        errno = writeError;
    return false;
}

bool BootVersionMgr::getBootVersionList(const QStringList &uuidList,
                                        const QList<MountTable::Mount> &mounts,
                                        const DocumentWriter &write)
{
    if (uuidList.isEmpty())
        return true;
    BootVersion base;
    getBootKernelAndInitrd(base.kernel, base.initrd);
    base.scheme = RecoveryScheme;
    const qint64 frame =
        BootVersionJson::DocumentStart.size() + BootVersionJson::DocumentEnd.size();
    EntryList entries(write);
    for (const QString &uuid : uuidList) {
        SnapshotStore store;
        getMountPointByUUID(uuid, mounts, store);
        DeviceBudget budget((DocumentCap - frame) / uuidList.size());
        if (!listDevice(store, base, budget, entries))
            return false;
        budget.warnLeftOut(uuid);
    }
    return true;
}

bool BootVersionMgr::spawnCmd(const QString &program, const QStringList &args, QString &out,
                              QString &err)
{
    QByteArray standardOutput;
    QByteArray standardError;
    const bool succeeded = ProcessRunner::run(program, args, standardOutput, standardError);
    if (!standardOutput.isEmpty())
        out += TextUtil::fromUtf8UntilNul(standardOutput);
    if (!standardError.isEmpty())
        err += TextUtil::fromUtf8UntilNul(standardError);
    return succeeded;
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

void BootVersionMgr::getRecoveryBackupUUIDList(QStringList &uuidList, const MountTable::Mount &root)
{
    uuidList.clear();
    const QString &configRoot =
        isRootMounted(root) ? KivRecovery::RootMountPoint : RescueConfigRoot;
    uuidList = BootListText::backupUuids(configRoot + KivRecovery::ConfigFile);
}

bool BootVersionMgr::isRootMounted(const MountTable::Mount &root)
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
    // Fixed: fstab is read here by running cat, as the rescue check always has, beside the QFile
    // read of the /boot probe: a system whose cat fails counts as a rescue system.
    if (!spawnCmd(CatProgram, {FstabPath}, fstab, catErr))
        return false;
    return BootListText::rootEntryIsRoot(fstab, uuid, root, probeDevice);
}

bool BootVersionMgr::getMountPointByUUID(const QString &uuid,
                                         const QList<MountTable::Mount> &mounts,
                                         SnapshotStore &store)
{
    const QStringList args{QStringLiteral("--output"), QStringLiteral("UUID,PATH")};
    QString listing;
    QString err;
    if (!spawnCmd(LsblkProgram, args, listing, err)) {
        QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, MountPointLookupName).info()
            << MountPointLookupName << ", spawnCmd failed, args = " << args << ", err = " << err;
        return false;
    }
    const QStringList devices = BootListText::devicePaths(listing, uuid);
    for (const MountTable::Mount &mount : MountTable::deviceMounts(mounts, devices)) {
        if (store.open(mount))
            break;
    }
    return true;
}
