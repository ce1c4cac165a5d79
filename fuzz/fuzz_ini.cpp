#include "fuzzinput.h"
#include "rollbacknotify.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

QTemporaryDir *tempDir = nullptr;
int run = 0;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    // Destroyed at exit, taking the files of the last inputs with it.
    static QTemporaryDir dir;
    tempDir = &dir;
    if (!tempDir->isValid())
        std::abort();
    return 0;
}

// The configuration file is read for its "backup" and "restore" groups. QSettings keeps files it
// has read in a cache keyed by path, so every input gets a file name of its own.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = tempDir->filePath(QString::number(run++) + QStringLiteral(".ini"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(fuzzBytes(data, size)) != qint64(size))
        std::abort();
    file.close();

    BootListText::backupUuids(path);
    RollbackNotify notify;
    notify.getRollbackInfo(path);
    QFile::remove(path);
    return 0;
}
