// The two D-Bus calls of "kiv-recovery-tool -a notify" made with plain method call messages,
// without the introspection round trip that an interface object makes first. Its distance to the
// tool is what that introspection (and the tool's other work) costs.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("Backup and Restore") << 101u << QStringLiteral("kiv-recovery")
           << QStringLiteral("System Recovery")
           << QStringLiteral("Your system is successfully rolled back to V23-bench.")
           << QStringList() << QVariantMap() << 8000;
    const QDBusMessage notified = QDBusConnection::sessionBus().call(notify);
    const QDBusMessage cleared = QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("com.oxbrin.kivrecovery"), QStringLiteral("/com/oxbrin/kivrecovery"),
        QStringLiteral("com.oxbrin.daemon.kivrecovery"),
        QStringLiteral("ClearRollbackAutoNotify")));
    return notified.type() == QDBusMessage::ReplyMessage &&
                   cleared.type() == QDBusMessage::ReplyMessage
               ? 0
               : 1;
}
