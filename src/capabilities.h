// The capabilities a run holds, and how bootlist gives up all but reading.
#ifndef KIV_RECOVERY_CAPABILITIES_H
#define KIV_RECOVERY_CAPABILITIES_H

namespace Capabilities {

// What the process may do with capabilities: make namespaces and mount (CAP_SYS_ADMIN), and
// anything at all.
struct Held
{
    bool admin = false;
    bool any = false;
};

Held held();

// Keeps the capability to read files owned by anyone alone, for the tool and every program it
// starts: with the others gone from the bounding set, no program regains one. Logs the step that
// failed and answers false.
bool dropAllButReading();

} // namespace Capabilities

#endif // KIV_RECOVERY_CAPABILITIES_H
