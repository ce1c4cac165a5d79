#include "rollbacknotify.h"

#include "constants.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDebug>
#include <QSettings>
#include <QVariantMap>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace {

const QString RestoreGroup = QStringLiteral("restore");
const QString RollbackStatusKey = QStringLiteral("rollback_status");
const QString RollbackVersionKey = QStringLiteral("rollback_version");
const QString RollbackBeforeVersionKey = QStringLiteral("rollback_before_version");
const int NoRollback = -1;
const int RollbackSucceeded = 0;
const int RollbackFailed = 1;

const QString NotifyService = QStringLiteral("org.freedesktop.Notifications");
const QString NotifyPath = QStringLiteral("/org/freedesktop/Notifications");
const QString NotifyInterface = NotifyService;
const QString NotifyMethod = QStringLiteral("Notify");
const QString NotifyIcon = QStringLiteral("kiv-recovery");
// A fixed id, so that a second run replaces the first run's notification instead of stacking.
const uint NotifyReplacesId = 101;
const int NotifyTimeoutMs = 8000;

const QString DaemonService = QStringLiteral("com.oxbrin.kivrecovery");
const QString DaemonPath = QStringLiteral("/com/oxbrin/kivrecovery");
const QString DaemonInterface = QStringLiteral("com.oxbrin.daemon.kivrecovery");
const QString ClearAutoNotifyMethod = QStringLiteral("ClearRollbackAutoNotify");

// Connecting to a bus has no time limit of its own: a bus that accepts the connection but never
// answers (a frozen daemon, a socket whose owner stopped reading) would hold the run, and the
// login that started it, forever. The connection gets the limit the library gives a call.
const std::chrono::seconds BusConnectTimeout(25);
const QString BusConnectTimeoutMessage =
    QStringLiteral("No answer from the D-Bus server while connecting");
// The status of the notify action whatever happened inside it.
const int NotifyExitStatus = 0;

// Watches one bus connection. If it has not come back in time, logs through `expired` and ends
// the process: the main thread is then blocked inside the D-Bus library and cannot be unwound.
class ConnectDeadline
{
public:
    explicit ConnectDeadline(std::function<void()> expired)
        : m_expired(std::move(expired))
        , m_watchdog([this] { watch(); })
    {
    }
    ~ConnectDeadline()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_connected = true;
        }
        m_done.notify_one();
        m_watchdog.join();
    }
    ConnectDeadline(const ConnectDeadline &) = delete;
    ConnectDeadline &operator=(const ConnectDeadline &) = delete;

private:
    void watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_done.wait_for(lock, BusConnectTimeout, [this] { return m_connected; })) {
            m_expired();
            std::_Exit(NotifyExitStatus);
        }
    }

    std::function<void()> m_expired;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_connected = false;
    std::thread m_watchdog;
};

// Takes a bus connection, or, when the bus does not answer in time, logs through `expired` and
// ends the run.
QDBusConnection connectBus(QDBusConnection (*connect)(), std::function<void()> expired)
{
    const ConnectDeadline deadline(std::move(expired));
    return connect();
}

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
    const RollbackInfo info = getRollbackInfo(QStringLiteral("/") + KivRecovery::ConfigFile);
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

    const QDBusConnection sessionBus = connectBus(&QDBusConnection::sessionBus, [&rollbackVersion] {
        qCritical() << "sendNotify notify invalid, errMsg = " << BusConnectTimeoutMessage
                    << ", rollbackVersion = " << rollbackVersion;
    });
    QDBusInterface notifications(NotifyService, NotifyPath, NotifyInterface, sessionBus);
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
    const QDBusConnection systemBus = connectBus(&QDBusConnection::systemBus, [] {
        qCritical() << "clearRollbackAutoNotify clearNotify invalid, errMsg = "
                    << BusConnectTimeoutMessage;
    });
    QDBusInterface daemon(DaemonService, DaemonPath, DaemonInterface, systemBus, this);
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
