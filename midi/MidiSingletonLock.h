#pragma once

#include <mutex>

namespace Lk {

// Taken while the MIDI manager, the alias manager or the router is created. One lock for
// all three, because creating one creates the others, in either order.
inline std::recursive_mutex& midiSingletonCreationLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace Lk
