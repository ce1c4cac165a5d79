// How a step of the sandbox that failed is told: one warning naming the step and the error.
#ifndef KIV_RECOVERY_SANDBOXSTEP_H
#define KIV_RECOVERY_SANDBOXSTEP_H

#include <QDebug>
#include <QLatin1String>

namespace SandboxStep {

// The warning's words are fixed: the tests and anyone who reads a log for a failed step match
// them.
inline void warnFailed(const char *step, int error)
{
    qWarning() << "restrictToReading step = " << QLatin1String(step)
               << ", error = " << qt_error_string(error);
}

} // namespace SandboxStep

#endif // KIV_RECOVERY_SANDBOXSTEP_H
