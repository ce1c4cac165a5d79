// The notify action: the rollback state of the configuration file, the desktop notification and
// the recovery daemon's auto-notify flag.
#ifndef KIV_RECOVERY_ROLLBACKNOTIFY_H
#define KIV_RECOVERY_ROLLBACKNOTIFY_H

#include <QObject>
#include <QString>

// The state of the last system rollback, as the configuration file records it.
struct RollbackInfo
{
    // -1: no rollback recorded; 0: the rollback succeeded; 1: it failed.
    int status = -1;
    // The version the system was on before the rollback, named when the rollback failed.
    QString rollbackBeforeVersion;
    // The version the system was rolled back to, named when the rollback succeeded.
    QString rollbackVersion;
};

// The "notify" action: tells the user how the last rollback ended and lets the recovery daemon
// know that the user has been told.
class RollbackNotify : public QObject
{
    Q_OBJECT

public:
    RollbackNotify() = default;

    bool notify();
    RollbackInfo getRollbackInfo(const QString &iniPath);
    bool sendNotify(const RollbackInfo &info);
    bool clearRollbackAutoNotify();
};

#endif // KIV_RECOVERY_ROLLBACKNOTIFY_H
