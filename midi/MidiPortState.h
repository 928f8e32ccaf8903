#pragma once

#include "platform/OxString.h"

namespace Lk {

// What a managed port is doing now, as a port chooser shows it.
enum class MidiPortStatus {
    notChosen, // no port name given (or a bad index)
    absent,    // not plugged in now, whether or not it is wanted open
    closed,    // present, not wanted open
    pending,   // present and wanted open, but not open (its last open failed)
    open,
};

struct MidiPortState {
    MidiPortStatus status = MidiPortStatus::notChosen;
    // The text of the port's last failed open; empty unless the status is pending.
    OxString lastError;
    // An open output that drops what comes faster than it can send.
    bool dropping = false;
};

} // namespace Lk
