#pragma once

#include "midi/MidiManagerDev.h"

namespace Lk {

class TMidiInputBase;

// The manager's input port of this process's own, which other programs send to. It is an
// input entry outside the tables: its messages reach the data listener with
// MidiManager::VIRTUAL_INPUT_INDEX and are then forwarded along the routes of the input
// alias it acts as, also while that alias resolves to no present port.
class MMDevVirtualIn : public MMDevIn {
public:
    // Adopts `port` (closed, made by a factory's createVirtualInput).
    MMDevVirtualIn(TMidiInputBase* port, TMidiAlias* actsAs);

    TMidiAlias* GetActsAs() const { return actsAs; }
    // Bound to no alias of its own: other programs find it by its name.
    void RebuildAliasList() override {}
    void RebuildThruList() override;

private:
    TMidiAlias* const actsAs; // owned by the alias manager, which outlives the manager
};

} // namespace Lk
