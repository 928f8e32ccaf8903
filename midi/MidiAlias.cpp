#include "midi/MidiAlias.h"

#include "midi/MidiManager.h"
#include "midi/MidiSingletonLock.h"
#include "platform/OxSingleton.h"

#include <vector>

namespace Lk {

namespace {
OxSingleton<TMidiAliasManager> aliasManagerInstance{midiSingletonCreationLock};

TAliasType aliasTypeOf(int isInput) {
    return isInput ? atIn : atOut;
}
} // namespace

TMidiAliasManager* TMidiAliasManager::instance() {
    return aliasManagerInstance.get([] { return new TMidiAliasManager(); });
}

bool TMidiAliasManager::IsInstanceAllocated() {
    return aliasManagerInstance.peek() != nullptr;
}

TMidiAliasManager::TMidiAliasManager() {
    // Published first: maintaining device aliases creates the MIDI manager, whose Init
    // asks for this object.
    aliasManagerInstance.publish(this);
    setMaintainDeviceAliases(1);
}

TMidiAliasManager::~TMidiAliasManager() {
    if (MidiManager::IsInstanceAllocated())
        MidiManager::instance()->RemoveDevListChangeListener(this);
    OxScopedLock hold(lock);
    aliases.clearAndDelete();
    aliasManagerInstance.release(this);
}

int TMidiAliasManager::GetCount() const {
    OxScopedLock hold(lock);
    return aliases.getCount();
}

TMidiAlias* TMidiAliasManager::GetAlias(int i) const {
    OxScopedLock hold(lock);
    return i >= 0 && i < aliases.getCount() ? aliases[i] : nullptr;
}

int TMidiAliasManager::indexOfLocked(const OxString& trimmedName, TAliasType type) const {
    for (int i = 0; i < aliases.getCount(); ++i)
        if (aliases[i]->SameAs(trimmedName, type))
            return i;
    return -1;
}

int TMidiAliasManager::IndexOf(const OxString& name, TAliasType type) const {
    OxScopedLock hold(lock);
    return indexOfLocked(name.trim(), type);
}

int TMidiAliasManager::addLocked(const OxString& name, const OxString& device, TAliasType type,
                                 int flags) {
    auto* alias = new TMidiAlias(name.trim(), device.trim(), type);
    if (flags >= 0)
        alias->flags = static_cast<uint32_t>(flags);
    const int index = aliases.getCount();
    aliases.add(alias);
    return index;
}

int TMidiAliasManager::AddAliasImpl(const OxString& name, const OxString& device, TAliasType type,
                                    int flags) {
    int index;
    {
        OxScopedLock hold(lock);
        index = addLocked(name, device, type, flags);
    }
    FireAliasChangeEvent();
    return index;
}

TMidiAlias* TMidiAliasManager::GetAliasByName(const OxString& name, TAliasType type, int create,
                                              int flags) {
    const OxString n = name.trim();
    TMidiAlias* alias = nullptr;
    bool created = false;
    {
        OxScopedLock hold(lock);
        int i = indexOfLocked(n, type);
        if (i < 0 && create) {
            i = addLocked(n, OxString(), type, flags);
            created = true;
        }
        alias = i >= 0 ? aliases[i] : nullptr;
        if (alias != nullptr && create && flags < 0)
            alias->flags |= mafUsed;
    }
    if (created)
        FireAliasChangeEvent();
    return alias;
}

int TMidiAliasManager::AddAlias(const OxString& name, const OxString& device, TAliasType type,
                                int flags) {
    int index;
    bool changed = false;
    {
        OxScopedLock hold(lock);
        index = indexOfLocked(name.trim(), type);
        if (index < 0) {
            index = addLocked(name, device, type, flags);
            changed = true;
        } else if (!aliases[index]->deviceName.equalsIgnoreCase(device.trim())) {
            aliases[index]->deviceName = device.trim();
            if (flags >= 0)
                aliases[index]->flags = static_cast<uint32_t>(flags);
            changed = true;
        }
    }
    if (changed)
        FireAliasChangeEvent();
    return index;
}

int TMidiAliasManager::ModifyAlias(const OxString& name, TAliasType type, const OxString& newName,
                                   const OxString& newDevice, int createIfMissing, int flags) {
    {
        OxScopedLock hold(lock);
        const int i = indexOfLocked(name.trim(), type);
        if (i < 0) {
            if (!createIfMissing)
                return 0;
            addLocked(newName, newDevice, type, flags);
        } else {
            TMidiAlias* a = aliases[i];
            const OxString target = newName.trim().isEmpty() ? a->name : newName.trim();
            const OxString device = newDevice.trim();
            if (target.equals(name.trim()) && a->deviceName.equals(device) &&
                (flags < 0 || a->flags == static_cast<uint32_t>(flags)))
                return 0;
            a->name = target;
            a->deviceName = device;
            if (flags >= 0)
                a->flags = static_cast<uint32_t>(flags);
        }
    }
    FireAliasChangeEvent();
    return 1;
}

int TMidiAliasManager::SetAliasDevice(TMidiAlias* alias, const OxString& device) {
    if (alias == nullptr)
        return 0;
    OxString name;
    TAliasType type;
    {
        OxScopedLock hold(lock);
        name = alias->name;
        type = alias->type;
    }
    return ModifyAlias(name, type, name, device, 0, -1);
}

int TMidiAliasManager::RemoveAlias(int i) {
    {
        OxScopedLock hold(lock);
        if (i < 0 || i >= aliases.getCount() || aliases[i]->type == atNone)
            return 0;
        aliases[i]->type = atNone;
    }
    FireAliasChangeEvent();
    return 1;
}

void TMidiAliasManager::FillAliasListByDevice(const OxString& device, TAliasType type,
                                              TMidiAliasList& out) const {
    const OxString d = device.trim();
    OxScopedLock hold(lock);
    out.clear(aliases.getCount());
    for (TMidiAlias* a : aliases)
        if (a->type == type && a->deviceName.equalsIgnoreCase(d))
            out.Add(a);
}

void TMidiAliasManager::FireAliasChangeEvent() {
    {
        OxScopedLock hold(lock);
        if (updateCount >= 1) {
            changePending = 1;
            return;
        }
    }
    listeners.forEach([](TMidiAliasChangeListener* l) { l->OnMidiAliasListChanged(); });
}

void TMidiAliasManager::BeginUpdate() {
    OxScopedLock hold(lock);
    ++updateCount;
}

void TMidiAliasManager::EndUpdate() {
    {
        OxScopedLock hold(lock);
        if (updateCount <= 0)
            return; // unbalanced: keep the count from going negative for good
        if (--updateCount > 0 || !changePending)
            return;
        changePending = 0;
    }
    FireAliasChangeEvent();
}

void TMidiAliasManager::setMaintainDeviceAliases(int on) {
    {
        OxScopedLock hold(lock);
        if ((maintainDeviceAliases != 0) == (on != 0))
            return;
        maintainDeviceAliases = on;
    }
    if (!on)
        return;
    addDeviceAliases();
    MidiManager::instance()->AddDevListChangeListener(this);
}

void TMidiAliasManager::OnMidiDeviceListChanged() {
    int on;
    {
        OxScopedLock hold(lock);
        on = maintainDeviceAliases;
    }
    if (on)
        addDeviceAliases();
}

void TMidiAliasManager::addDeviceAliases() {
    // The port names are gathered before this lock is taken: the MIDI manager takes its own
    // lock first and this one second.
    MidiManager* mm = MidiManager::instance();
    OxStringList names[2];
    for (int isInput = 0; isInput <= 1; ++isInput) {
        const int n = mm->GetDevCount(isInput);
        for (int i = 0; i < n; ++i) {
            const OxString name = mm->GetDevName(i, isInput);
            if (name.isNotEmpty())
                names[isInput].list.add(name);
        }
    }
    BeginUpdate();
    for (int isInput = 0; isInput <= 1; ++isInput) {
        for (const OxString& port : names[isInput].list) {
            TMidiAlias* a = GetAliasByName(port, aliasTypeOf(isInput), 1, 0);
            bool changed = false;
            {
                OxScopedLock hold(lock);
                if (!a->name.equalsIgnoreCase(a->deviceName)) {
                    a->deviceName = port;
                    changed = true;
                }
            }
            if (changed)
                FireAliasChangeEvent();
        }
    }
    EndUpdate();
}

void TMidiAliasManager::loadFromIniFile(TIniFile& ini) {
    if (!persistenceEnabled)
        return;
    BeginUpdate(); // everything loaded is told once
    for (int k = 0;; ++k) {
        // Loading stops at the first gap; saving never leaves one.
        const OxString name =
            ini.ReadString(SECTION_ALIAS, TMidiAlias::nameKey(k), OxString()).trim();
        if (name.isEmpty())
            break;
        auto* loaded = new TMidiAlias(name, ini, k);
        OxScopedLock hold(lock);
        const int i = indexOfLocked(name, loaded->type);
        if (i < 0) {
            aliases.add(loaded);
            continue;
        }
        // A later entry for the same alias wins whole: its spelling, its device and
        // whether it is unbound on purpose, so that the alias is saved as it was read.
        TMidiAlias* a = aliases[i];
        a->name = loaded->name;
        a->deviceName = loaded->deviceName;
        a->flags = (a->flags & ~static_cast<uint32_t>(mafNonePersistent)) |
                   (loaded->flags & mafNonePersistent);
        delete loaded;
    }
    FireAliasChangeEvent();
    EndUpdate();
}

void TMidiAliasManager::saveToIniFile(TIniFile& ini) {
    if (!persistenceEnabled)
        return;
    // Copies, so that the MIDI manager is asked about ports without this lock held.
    std::vector<TMidiAlias> snapshot;
    {
        OxScopedLock hold(lock);
        for (const TMidiAlias* a : aliases)
            snapshot.push_back(*a);
    }
    MidiManager* mm = MidiManager::instance();
    int n = 0;
    for (const TMidiAlias& a : snapshot) {
        if (a.type == atNone || (a.flags & mafHidden) != 0)
            continue;
        if (a.deviceName.isEmpty() && (a.flags & mafNonePersistent) == 0)
            continue;
        const bool deviceAlias = a.name.equalsIgnoreCase(a.deviceName);
        if (deviceAlias && !mm->IsOpenOrPending(a.deviceName, a.type == atIn))
            continue;
        a.saveToIniFile(ini, n++);
    }
    for (int k = n; ini.ValueExists(SECTION_ALIAS, TMidiAlias::nameKey(k)); ++k) {
        ini.DeleteKey(SECTION_ALIAS, TMidiAlias::nameKey(k));
        ini.DeleteKey(SECTION_ALIAS, TMidiAlias::deviceKey(k));
    }
}

} // namespace Lk
