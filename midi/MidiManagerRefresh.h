#pragma once

#include "midi/MidiDeviceFactory.h"
#include "platform/OxList.h"

namespace Lk {

class MidiManager;
class MidiManagerDev;

// Keeps the manager's port tables in step with its factories: matches every enumerated
// port to its entry by name, then by identity, so that an index keeps standing for the
// same port; marks vanished ports absent (closing and making pending the open ones) and
// opens pending ports that are back. Refreshes are serialised by the manager's lock.
class MidiManagerRefresh {
public:
    explicit MidiManagerRefresh(MidiManager& manager) : manager(manager) {}

    // 1 when anything changed.
    int refresh(int force, int notify);

private:
    // A port object moving to the entry that now carries its port's name.
    struct Transfer {
        int fromIndex;
        int toIndex;
        TMidiDeviceBase* device;
    };

    int refreshLocked(int force);
    int hasFactoryChanged(int position, int force);
    int refreshPerFactory(MidiDeviceFactory* factory, int isInput);
    int targetEntryFor(MidiDeviceFactory* factory, int isInput, const MidiDeviceDescriptor* d);
    // Marks the entries not found absent and closes the open ones; true when any changed.
    bool closeAbsentEntries(int isInput);
    // Opens the present pending entries.
    void openPendingEntries(int isInput);

    MidiManager& manager;
    // Under the manager's lock.
    int refreshing = 0;
    int restartRefresh = 0;
};

} // namespace Lk
