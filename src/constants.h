// The names both actions share: the configuration file, the root folder, the snapshot folder.
// Namespace-scope consts have internal linkage, so every source file that includes this header
// owns its own copy, built at start-up and kept until exit.
#ifndef KIV_RECOVERY_CONSTANTS_H
#define KIV_RECOVERY_CONSTANTS_H

#include <QString>

namespace KivRecovery {

// The suite's configuration file, relative to the root it is read under: "bootlist" may have to
// read it from a rescue system's /root/, "notify" always reads it from "/".
const QString ConfigFile = QStringLiteral("etc/kiv-recovery/kiv-recovery.ini");

// The root folder, as fstab and the mount table name the root filesystem's mount point, and the
// root that bootlist on the running system and notify read the configuration file under.
const QString RootMountPoint = QStringLiteral("/");

// Where a backup device keeps its system snapshots, below its mount point.
const QString SnapshotDir = QStringLiteral("/backup/system/snapshots/");

} // namespace KivRecovery

#endif // KIV_RECOVERY_CONSTANTS_H
