#pragma once

#include "platform/OxLock.h"

namespace Lk {

// Taken while the MIDI manager, the alias manager or the router is created. One lock for
// all three, because creating one creates the others, in either order. Never destroyed, as
// every creation lock (see OxSingleton).
inline OxLock& midiSingletonCreationLock() {
    static OxLock* const lock = new OxLock();
    return *lock;
}

} // namespace Lk
