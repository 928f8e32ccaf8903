#include "midi/MidiVirtualInput.h"

#include "midi/MidiInput.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"

namespace Lk {

MMDevVirtualIn::MMDevVirtualIn(TMidiInputBase* port, TMidiAlias* actsAs)
    : MMDevIn(port->GetDescriptor().get(), MidiManager::VIRTUAL_INPUT_INDEX), actsAs(actsAs) {
    exists = 1;
    ReplaceDevice(port);
}

void MMDevVirtualIn::RebuildThruList() {
    TMidiRouter::instance()->GetRoutes().GetOutAliasesByInAlias(actsAs, thruList);
    publishThruTargets();
}

} // namespace Lk
