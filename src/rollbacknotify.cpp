// The notify action: the rollback state of the configuration file, the desktop notification and
// the recovery daemon's auto-notify flag.
#include "rollbacknotify.h"

#include "constants.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDebug>
#include <QSettings>
#include <QVariantMap>

namespace {

// Fixed: the group and keys the suite's other programs write, and the states they record.
const QString RestoreGroup = QStringLiteral("restore");
const QString RollbackStatusKey = QStringLiteral("rollback_status");
const QString RollbackVersionKey = QStringLiteral("rollback_version");
const QString RollbackBeforeVersionKey = QStringLiteral("rollback_before_version");
const int NoRollback = -1;
const int RollbackSucceeded = 0;
const int RollbackFailed = 1;

// Fixed: the notification service's names, the Desktop Notifications interface, and what the
// call gives it: the icon the suite installs, an id, a timeout.
const QString NotifyService = QStringLiteral("org.freedesktop.Notifications");
const QString NotifyPath = QStringLiteral("/org/freedesktop/Notifications");
const QString NotifyInterface = NotifyService;
const QString NotifyMethod = QStringLiteral("Notify");
const QString NotifyIcon = QStringLiteral("kiv-recovery");
// A fixed id, so that a second run replaces the first run's notification instead of stacking.
const uint NotifyReplacesId = 101;
const int NotifyTimeoutMs = 8000;

// Fixed: the recovery daemon's names, the interface of a separate program.
const QString DaemonService = QStringLiteral("com.oxbrin.kivrecovery");
const QString DaemonPath = QStringLiteral("/com/oxbrin/kivrecovery");
const QString DaemonInterface = QStringLiteral("com.oxbrin.daemon.kivrecovery");
const QString ClearAutoNotifyMethod = QStringLiteral("ClearRollbackAutoNotify");

// A status is a whole decimal number. Anything else would convert to 0 and announce a failed or
// unknown rollback as a success, so it counts as no rollback at all.
int statusFromSetting(const QVariant &value)
{
    if (value.userType() == QMetaType::Int)
        return value.toInt();
    bool ok = false;
    const int status = value.toString().toInt(&ok, 10);
    return ok ? status : NoRollback;
}

} // namespace

bool RollbackNotify::notify()
{
    const RollbackInfo info =
        getRollbackInfo(KivRecovery::RootMountPoint + KivRecovery::ConfigFile);
    sendNotify(info);
    if (info.status != NoRollback)
        clearRollbackAutoNotify();
    return true;
}

RollbackInfo RollbackNotify::getRollbackInfo(const QString &iniPath)
{
    RollbackInfo info;
    QSettings settings(iniPath, QSettings::IniFormat);
    // Version texts are written by people and may hold any language; Qt would read Latin-1.
    settings.setIniCodec("UTF-8");
    settings.beginGroup(RestoreGroup);
    const QVariant status = settings.value(RollbackStatusKey, NoRollback);
    const QString version = settings.value(RollbackVersionKey, QString()).toString();
    const QString beforeVersion = settings.value(RollbackBeforeVersionKey, QString()).toString();
    settings.endGroup();

    info.status = statusFromSetting(status);
    info.rollbackVersion = version;
    info.rollbackBeforeVersion = beforeVersion;
    return info;
}

bool RollbackNotify::sendNotify(const RollbackInfo &info)
{
    const QString rollbackVersion = info.rollbackVersion;
    if (rollbackVersion.isEmpty() || info.status == NoRollback) {
        // Fixed, as every log line here: its words, which readers of the log match.
        qInfo() << "sendNotify rollbackVersion = " << rollbackVersion
                << ", status = " << info.status;
        return true;
    }

    const QString appName = QObject::tr("Backup and Restore");
    const QString summary = QObject::tr("System Recovery");
    QString body;
    if (info.status == RollbackSucceeded)
        body = tr("Your system is successfully rolled back to %1.").arg(info.rollbackVersion);
    else if (info.status == RollbackFailed)
        body = tr("Rollback failed. The system is reverted to %1.").arg(info.rollbackBeforeVersion);

    const QStringList actions;
    const QVariantMap hints;
    QString errMsg;

    QDBusInterface notifications(NotifyService, NotifyPath, NotifyInterface,
                                 QDBusConnection::sessionBus());
    if (!notifications.isValid() && notifications.lastError().type() != QDBusError::NoError) {
        errMsg = notifications.lastError().message();
        qCritical() << "sendNotify notify invalid, errMsg = " << errMsg
                    << ", rollbackVersion = " << rollbackVersion;
        return false;
    }

    // The library's default call timeout bounds the wait; a notification server that is slow to
    // answer at login should still get the notification through.
    const QDBusReply<uint> reply =
        notifications.call(QDBus::AutoDetect, NotifyMethod, appName, NotifyReplacesId, NotifyIcon,
                           summary, body, actions, hints, NotifyTimeoutMs);
    if (!reply.isValid()) {
        errMsg = reply.error().message();
        qCritical() << "sendNotify error: notifyRsp invalid, errMsg = " << errMsg
                    << ", rollbackVersion = " << rollbackVersion;
        return false;
    }
    return true;
}

bool RollbackNotify::clearRollbackAutoNotify()
{
    QString errMsg;
    QDBusInterface daemon(DaemonService, DaemonPath, DaemonInterface, QDBusConnection::systemBus(),
                          this);
    if (!daemon.isValid() && daemon.lastError().type() != QDBusError::NoError) {
        errMsg = daemon.lastError().message();
        qCritical() << "clearRollbackAutoNotify clearNotify invalid, errMsg = " << errMsg;
        return false;
    }

    const QDBusReply<void> reply = daemon.call(QDBus::AutoDetect, ClearAutoNotifyMethod);
    if (!reply.isValid()) {
        errMsg = reply.error().message();
        qCritical() << "clearRollbackAutoNotify error: clearNotifyRsp invalid, errMsg = " << errMsg;
        return false;
    }
    return true;
}
