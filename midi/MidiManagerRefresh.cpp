#include "midi/MidiManagerRefresh.h"

#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"

#include <vector>

namespace Lk {

namespace {
const char* const SFUnplugged = "MIDI %s \"%s\" unplugged. It is set to 'pending' so that it "
                                "is used automatically when you plug it in.";
} // namespace

int MidiManagerRefresh::refresh(int force, int notify) {
    if (manager.suspended.load())
        return 0;
    if (!manager.listValid.exchange(1))
        force = 1;
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    int changed;
    {
        OxScopedLock hold(manager.lock);
        if (refreshing) {
            // Asked for by a listener of the running refresh: that one starts over.
            restartRefresh = 1;
            return 0;
        }
        refreshing = 1;
        aliases->BeginUpdate();
        changed = refreshLocked(force);
        // Cleared before the lock is released: a refresh asked for by another thread
        // from now on runs in full instead of being folded into this one.
        refreshing = 0;
    }
    if (changed && notify)
        manager.notifyDevListListeners();
    aliases->EndUpdate();
    return changed;
}

int MidiManagerRefresh::refreshLocked(int force) {
    int changed = force;
    do {
        restartRefresh = 0;
        for (int position = 0; position < manager.factories.getCount(); ++position) {
            MidiDeviceFactory* factory = manager.factories[position];
            if (!hasFactoryChanged(position, force) && !force)
                continue;
            // Asked for because the platform's ports changed: an enumeration made before
            // that change would keep a vanished port open or a new one unseen until the
            // cache is left alone for its whole lifetime.
            factory->invalidateCache();
            changed |= refreshPerFactory(factory, 1);
            if (restartRefresh)
                break;
            changed |= refreshPerFactory(factory, 0);
            if (restartRefresh)
                break;
        }
        if (closeAbsentEntries(0))
            changed = 1;
        if (closeAbsentEntries(1))
            changed = 1;
        // Aliases and thru lists first: a port opened below forwards its first message, and a
        // message sent to it is forwarded from the moment it opens.
        if (!restartRefresh && changed)
            manager.OnMidiAliasListChanged();
        openPendingEntries(0);
        openPendingEntries(1);
    } while (restartRefresh);
    return changed;
}

bool MidiManagerRefresh::closeAbsentEntries(int isInput) {
    bool changed = false;
    for (int i = 0; MidiManagerDev* e = manager.entry(i, isInput); ++i) {
        if (e->exists && !e->seen) {
            e->exists = 0;
            changed = true;
        }
        if (!e->exists && e->IsOpen()) {
            manager.closeDevice(i, isInput, 1);
            e->pending = 1;
            const OxString text = OxString::format(SFUnplugged, isInput ? "input" : "output",
                                                   e->GetDescriptor()->GetName().c_str());
            manager.controlListeners.forEachReversed([&](MidiManagerDeviceControlListener* l) {
                l->OnMidiErrorMessage(i, isInput, text);
            });
        }
    }
    return changed;
}

void MidiManagerRefresh::openPendingEntries(int isInput) {
    for (int i = 0; MidiManagerDev* e = manager.entry(i, isInput); ++i) {
        if (!e->exists || !e->pending)
            continue;
        // A port object moved here open is no longer pending.
        if (e->IsOpen())
            e->pending = 0;
        else
            manager.openDevice(i, isInput, nullptr);
    }
}

int MidiManagerRefresh::hasFactoryChanged(int position, int force) {
    MidiDeviceFactory* factory = manager.factories[position];
    bool countChanged = false;
    if (position < MidiManager::MAX_FACTORIES) {
        const int outs = factory->GetNumDevs(0);
        const int ins = factory->GetNumDevs(1);
        if (outs != manager.lastOutputCount[position] || ins != manager.lastInputCount[position]) {
            manager.lastOutputCount[position] = outs;
            manager.lastInputCount[position] = ins;
            countChanged = true;
        }
    }
    if (!force && !countChanged) {
        // This factory is not enumerated: its entries stay as they are.
        for (int isInput = 0; isInput <= 1; ++isInput)
            for (int i = 0; MidiManagerDev* e = manager.entry(i, isInput); ++i)
                if (e->GetDescriptor()->GetType() == factory->GetType())
                    e->seen = e->exists;
    }
    const int flagged = factory->hasChanged();
    return flagged || countChanged;
}

int MidiManagerRefresh::targetEntryFor(MidiDeviceFactory* factory, int isInput,
                                       const MidiDeviceDescriptor* d) {
    const int byName = manager.GetDevIndex(d->GetName(), isInput);
    if (MidiManagerDev* e = manager.entry(byName, isInput)) {
        if (e->GetDescriptor()->GetType() == factory->GetType())
            return byName;
        if (!e->exists) {
            e->SetDescriptor(d);
            return byName;
        }
    }
    const int index = manager.entryCount(isInput);
    const bool added = isInput ? manager.inputs.add(new MMDevIn(d, index))
                               : manager.outputs.add(new MMDevOut(d, index));
    return added ? index : -1;
}

int MidiManagerRefresh::refreshPerFactory(MidiDeviceFactory* factory, int isInput) {
    for (int i = manager.entryCount(isInput) - 1; i >= 0; --i) {
        MidiManagerDev* e = manager.entry(i, isInput);
        if (e->GetDescriptor()->GetType() == factory->GetType())
            e->seen = 0;
    }
    OxOwnedList<MidiDeviceDescriptor*> listed;
    factory->GetDeviceList(isInput, listed);
    if (restartRefresh)
        return 0;
    int changed = 0;
    std::vector<Transfer> transfers;
    for (const MidiDeviceDescriptor* d : listed) {
        const int byIdentity = manager.GetDevIndexByDescriptor(isInput, d);
        const int targetIndex = targetEntryFor(factory, isInput, d);
        MidiManagerDev* target = manager.entry(targetIndex, isInput);
        if (target == nullptr)
            continue; // the table is full
        target->seen = 1;
        // Only a port whose own connection is gone is closed here; the others stay open, so
        // that plugging a device in does not cut every port listed after it.
        bool reopen = false;
        if (!target->exists) {
            target->exists = 1;
            reopen = true;
        }
        if (byIdentity >= 0 && byIdentity != targetIndex) {
            MidiManagerDev* from = manager.entry(byIdentity, isInput);
            transfers.push_back({byIdentity, targetIndex, from->TakeDevice()});
            MidiDeviceDescriptor invalidated(*from->GetDescriptor());
            invalidated.InvalidateSerialAndInterface();
            from->SetDescriptor(&invalidated);
            reopen = true;
        }
        // Unplugged and plugged again between two refreshes: its connection went with the
        // old address, or with the port that was at the same address.
        TMidiDeviceBase* device = target->GetDevice();
        const bool open = device != nullptr && device->IsOpen();
        const long long oldAddress = target->GetDescriptor()->address;
        if (open && ((oldAddress >= 0 && d->address >= 0 && oldAddress != d->address) ||
                     device->isConnectionLost()))
            reopen = true;
        target->SetDescriptor(d);
        if (reopen) {
            changed = 1;
            if (open) {
                // Reopened by openPendingEntries, under the name it carries now.
                device->Close();
                target->pending = 1;
            }
        }
    }
    for (const Transfer& t : transfers)
        manager.entry(t.toIndex, isInput)->ReplaceDevice(t.device);
    return changed;
}

} // namespace Lk
