// The bootlist action: the backup devices, the running kernel, the programs it runs and the walk
// over the snapshots, written as the boot list document.
#include "bootversionmgr.h"

#include "bootversion.h"
#include "constants.h"
#include "descriptor.h"
#include "snapshotstore.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

const QString RootConfigRoot = QStringLiteral("/");
const QString RescueConfigRoot = QStringLiteral("/root/");

// The log line of a failed device listing names, as its text and as its context, the lookup that
// callers know.
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

// What one read of a program's output takes at most.
const int OutputChunk = 64 * 1024;

// A pipe, both ends close-on-exec; an end that is still open closes when it goes.
struct Pipe
{
    Pipe()
    {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            readEnd.reset(ends[0]);
            writeEnd.reset(ends[1]);
        }
    }
    Descriptor readEnd;
    Descriptor writeEnd;
};

// Reads both outputs of a program to their ends, whatever their sizes. Both are polled, so that
// a program that fills one pipe while the tool waits on the other cannot hold the run.
void readToEnd(int outFd, QByteArray &outBytes, int errFd, QByteArray &errBytes)
{
    std::array<pollfd, 2> ends = {{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
    const std::array<QByteArray *, 2> buffers = {&outBytes, &errBytes};
    std::vector<char> chunk(OutputChunk);
    int open = int(ends.size());
    while (open > 0) {
        if (::poll(ends.data(), ends.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (size_t i = 0; i < ends.size(); ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0)
                continue;
            const ssize_t count = ::read(ends[i].fd, chunk.data(), chunk.size());
            if (count > 0)
                buffers[i]->append(chunk.data(), int(count));
            else if (count == 0 || errno != EINTR) {
                // poll passes over a negative descriptor: this output has ended.
                ends[i].fd = -1;
                --open;
            }
        }
    }
}

} // namespace

bool BootVersionMgr::getBootList(std::FILE *out)
{
    // The document is UTF-8 text; a locale of another encoding gets it converted, piece by piece.
    const bool utf8 = BootListText::localeIsUtf8();
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
    const QList<BootListText::Mount> mounts =
        BootListText::mountTable(BootListText::readMountTable());
    getRecoveryBackupUUIDList(uuidList, BootListText::rootMount(mounts));
    const bool listed = getBootVersionList(uuidList, mounts, write);
    if (listed && write(BootVersionJson::DocumentEnd) && write(LineEnd) && std::fflush(out) == 0)
        return true;
    if (writeError != 0)
        errno = writeError;
    return false;
}

bool BootVersionMgr::getBootVersionList(const QStringList &uuidList,
                                        const QList<BootListText::Mount> &mounts,
                                        const DocumentWriter &write)
{
    if (uuidList.isEmpty())
        return true;

    BootVersion base;
    getBootKernelAndInitrd(base.kernel, base.initrd);
    base.scheme = RecoveryScheme;

    const QByteArray &separator = BootVersionJson::EntrySeparator;
    const qint64 frame =
        BootVersionJson::DocumentStart.size() + BootVersionJson::DocumentEnd.size();
    const qint64 share = (DocumentCap - frame) / uuidList.size();
    bool first = true;
    for (const QString &uuid : uuidList) {
        SnapshotStore store;
        getMountPointByUUID(uuid, mounts, store);
        int unlisted = 0;
        const QList<QByteArray> names = store.snapshotNames(unlisted);
        int unread = 0;
        qint64 written = 0;
        int skipped = 0;
        // One buffer for every description of the device, read one after the other.
        QByteArray description;
        for (int i = 0; i < names.size(); ++i) {
            // Every snapshot starts from the base record, so a member one description lacks is
            // empty rather than the previous snapshot's value.
            BootVersion record = base;
            if (!store.readDescription(names.at(i), description)) {
                if (store.descriptionBytesSpent()) {
                    unread = names.size() - i;
                    break;
                }
                continue;
            }
            if (!BootVersionJson::admitSnapshot(description, record))
                continue;
            const QByteArray entry = record.toJson();
            // Every entry but the document's first comes after a comma.
            const qint64 cost = entry.size() + (first ? 0 : separator.size());
            if (written + cost > share) {
                ++skipped;
                continue;
            }
            written += cost;
            if ((!first && !write(separator)) || !write(entry))
                return false;
            first = false;
        }
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
    return true;
}

QString BootVersionMgr::versionList2Json(const QList<BootVersion> &list)
{
    QByteArray document = BootVersionJson::DocumentStart;
    for (int i = 0; i < list.size(); ++i) {
        if (i > 0)
            document.append(BootVersionJson::EntrySeparator);
        document.append(list.at(i).toJson());
    }
    document.append(BootVersionJson::DocumentEnd);
    return QString::fromUtf8(document);
}

QJsonObject BootVersionMgr::QStringToJson(const QString &text)
{
    return BootVersionJson::jsonObject(text);
}

bool BootVersionMgr::spawnCmd(const QString &program, const QStringList &args, QString &out,
                              QString &err)
{
    // The program's name, then each argument, as the system names them: no shell, no splitting.
    std::vector<QByteArray> words{QFile::encodeName(program)};
    for (const QString &arg : args)
        words.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    // Close-on-exec, so that a program gets only the ends it is given as its standard input,
    // output and error. Its input ends at once: nothing is ever sent.
    Pipe input;
    Pipe output;
    Pipe error;
    input.writeEnd.reset();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input.readEnd.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output.writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error.writeEnd.get(), STDERR_FILENO);
    // A session of its own leaves the program no controlling terminal. The tool ignores SIGPIPE
    // to see its own failed writes; a program it starts gets the default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int started =
        posix_spawnp(&pid, argv.front(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    input.readEnd.reset();
    output.writeEnd.reset();
    error.writeEnd.reset();
    if (started != 0)
        return false;

    QByteArray standardOutput;
    QByteArray standardError;
    readToEnd(output.readEnd.get(), standardOutput, error.readEnd.get(), standardError);
    // No time limit: the programs run here are short, and a slow disk must not cut them off.
    int status = 0;
    pid_t waited = 0;
    do
        waited = ::waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);

    if (!standardOutput.isEmpty())
        out += BootListText::fromUtf8UntilNul(standardOutput);
    if (!standardError.isEmpty())
        err += BootListText::fromUtf8UntilNul(standardError);
    return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

void BootVersionMgr::getRecoveryBackupUUIDList(QStringList &uuidList,
                                               const BootListText::Mount &root)
{
    uuidList.clear();
    const QString &configRoot = isRootMounted(root) ? RootConfigRoot : RescueConfigRoot;
    uuidList = BootListText::backupUuids(configRoot + KivRecovery::ConfigFile);
}

bool BootVersionMgr::isRootMounted(const BootListText::Mount &root)
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
    return BootListText::rootEntryIsRoot(fstab, uuid, root, probeDevice);
}

bool BootVersionMgr::getMountPointByUUID(const QString &uuid,
                                         const QList<BootListText::Mount> &mounts,
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
    for (const BootListText::Mount &mount : BootListText::deviceMounts(mounts, devices)) {
        if (store.open(mount))
            break;
    }
    return true;
}
