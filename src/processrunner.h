// How the tool runs a program: no shell, a session of its own, its two outputs read whole up to a
// bound, and the run held only until the program itself has ended.
#ifndef KIV_RECOVERY_PROCESSRUNNER_H
#define KIV_RECOVERY_PROCESSRUNNER_H

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace ProcessRunner {

// The most of each output of a program that is kept. lsblk on a machine with thousands of
// devices prints well under a megabyte; past this the rest is read and dropped, with a warning
// naming the program, so that no program can make the run's memory grow without end.
const int MaxOutputBytes = 16 * 1024 * 1024;

// Runs program, found through the search path, with args, and waits for it without a time limit:
// the programs run here are short, and a slow disk must not cut them off. Once it has ended, what
// its pipes hold is read and the call returns, even where a process it left behind still holds
// them. Answers true only for a normal exit with status 0; out and err get what it wrote.
bool run(const QString &program, const QStringList &args, QByteArray &out, QByteArray &err);

} // namespace ProcessRunner

#endif // KIV_RECOVERY_PROCESSRUNNER_H
