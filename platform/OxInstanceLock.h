#pragma once

#include "platform/OxString.h"

namespace Lk {

// One running instance per lock file: "<folder>/<name>.lock" held with flock(), which the
// system lets go when the holder ends, however it ends; beside it the FIFO "<name>.raise",
// through which a later start asks the holder to come to the front.
class OxInstanceLock {
public:
    // Creates the folder when it is missing. Tries the lock once; never waits.
    OxInstanceLock(const OxString& folder, const OxString& name);
    // Lets the lock go.
    ~OxInstanceLock();
    OxInstanceLock(const OxInstanceLock&) = delete;
    OxInstanceLock& operator=(const OxInstanceLock&) = delete;

    // Whether this object holds the lock; false too when the lock file could not be made
    // (see failure()).
    bool isHeld() const { return held; }
    // Why the lock file could not be made or locked; empty when it was, by us or another.
    const OxString& failure() const { return why; }
    // For a start that did not get the lock: asks the holder to come to the front. False when
    // no holder listens.
    bool askHolderToRaise() const;
    // For the holder: a descriptor that becomes readable when a later start asked; -1 without.
    int raiseRequests() const { return fifo; }
    // Takes the requests that came; true when there was at least one.
    bool takeRaiseRequests();

private:
    OxString lockPath;
    OxString fifoPath;
    OxString why;
    int lockFile = -1;
    int fifo = -1;
    bool held = false;
};

} // namespace Lk
