// The entry point: the application, its translation and command line, and the chosen action.
#include "bootversionmgr.h"
#include "mounttable.h"
#include "rollbacknotify.h"
#include "sandbox.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const QString TranslationDir = QStringLiteral("/usr/share/kiv-recovery/translations/tool");
const QString TranslationFilePattern = QStringLiteral("%1/kiv-recovery-tool_%2.qm");
const QString BootListAction = QStringLiteral("bootlist");
const QString NotifyAction = QStringLiteral("notify");
// Fixed exit statuses, which callers test: QCommandLineParser::showHelp() exits with -1, which
// the shell sees as 255, for a missing or unknown action; 1 where the boot list could not be
// written; 0 otherwise, whatever the action met.
const int UsageExitCode = -1;
const int OutputErrorExitCode = 1;

// A boot menu built from a truncated or missing list would drop the user's way back, so a failed
// write must not look like success.
int writeBootList(const QByteArray &systemMountTable)
{
    // A reader that goes away makes the write fail with EPIPE instead of killing the run, so that
    // it ends with the message and status of any other failed write.
    std::signal(SIGPIPE, SIG_IGN);
    BootVersionMgr manager;
    if (manager.getBootList(stdout, systemMountTable))
        return 0;
    std::fprintf(stderr, "kiv-recovery-tool: cannot write the boot list: %s\n",
                 std::strerror(errno));
    return OutputErrorExitCode;
}

} // namespace

int main(int argc, char *argv[])
{
    Sandbox::resetDescriptors();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(KIV_VERSION));

    const QString localeName = QLocale::system().name();
    const QString translationFile = TranslationFilePattern.arg(TranslationDir, localeName);
    // Without a translation for the locale every text simply stays in English.
    const auto translator = std::make_unique<QTranslator>();
    const bool translationLoaded = translator->load(translationFile);
    Q_UNUSED(translationLoaded)
    QCoreApplication::installTranslator(translator.get());

    const QString actionDescription =
        QObject::tr("Choose an action type:\n") + QStringLiteral("    bootlist:    ") +
        QObject::tr("get boot list") + QStringLiteral("\n") + QStringLiteral("    notify:    ") +
        QObject::tr("rollback notification") + QStringLiteral("\n");
    QCommandLineOption actionOption({QStringLiteral("a"), QStringLiteral("action")},
                                    actionDescription);
    actionOption.setValueName(QStringLiteral("type"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("kiv-recovery-tool"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(actionOption);
    parser.process(app);
    // Fixed: a second parse of the same arguments, which process() has already judged, so that it
    // cannot fail here; it is kept as the published entry has it, with its exit, should process()
    // ever let an error through.
    if (!parser.parse(QCoreApplication::arguments()))
        parser.showHelp(UsageExitCode);

    const QString action = parser.value(actionOption);
    if (action != BootListAction && action != NotifyAction)
        parser.showHelp(UsageExitCode);

    // From here on the tool reads what others wrote (descriptions on removable devices, program
    // output) and starts programs and bus threads, all of which must inherit the restriction.
    if (action == BootListAction) {
        // Read before the sandbox gives the run a mount namespace of its own, which lists its
        // mounts in another order.
        const QByteArray systemMountTable = MountTable::read();
        Sandbox::restrictToReading(Sandbox::Reach::FilesOnly);
        return writeBootList(systemMountTable);
    }
    Sandbox::restrictToReading(Sandbox::Reach::FilesAndSockets);
    RollbackNotify rollbackNotify;
    rollbackNotify.notify();
    return 0;
}
