#pragma once

#include "midi/MidiAliasRecord.h"
#include "midi/MidiManagerListeners.h"
#include "platform/OrvoSystem.h"
#include "platform/OxListenerList.h"
#include "platform/OxLock.h"

namespace Lk {

// Owns every alias: those the application asks for and one device alias per known port.
// Changes may come from any thread; listeners are called after the lock is released, and
// changes inside BeginUpdate/EndUpdate are told once, at the outermost EndUpdate.
class TMidiAliasManager : public TMidiDeviceListListener, public AutoDelete {
public:
    static TMidiAliasManager* instance();
    static bool IsInstanceAllocated();
    ~TMidiAliasManager() override;

    int GetCount() const;
    // Aliases are never deleted while the manager lives, so the pointer stays valid.
    TMidiAlias* GetAlias(int i) const;
    int IndexOf(const OxString& name, TAliasType type) const;
    TMidiAlias* GetAliasByName(const OxString& name, TAliasType type, int create, int flags);
    int AddAlias(const OxString& name, const OxString& device, TAliasType type, int flags);
    int ModifyAlias(const OxString& name, TAliasType type, const OxString& newName,
                    const OxString& newDevice, int createIfMissing, int flags);
    int SetAliasDevice(TMidiAlias* alias, const OxString& device);
    int RemoveAlias(int i);
    void FillAliasListByDevice(const OxString& device, TAliasType type, TMidiAliasList& out) const;

    void BeginUpdate();
    void EndUpdate();
    void AddAliasChangeListener(TMidiAliasChangeListener* l) { listeners.add(l); }
    void RemoveAliasChangeListener(TMidiAliasChangeListener* l) { listeners.remove(l); }

    void setMaintainDeviceAliases(int on);
    void setPersistenceEnabled(int on) { persistenceEnabled = on; }
    void OnMidiDeviceListChanged() override;

    void loadFromIniFile(TIniFile& ini);
    void saveToIniFile(TIniFile& ini);

    // Held by readers that need the aliases' fields to stay still (alias resolution);
    // no listener is ever called under it.
    OxLock& GetLock() { return lock; }

protected:
    TMidiAliasManager();
    int AddAliasImpl(const OxString& name, const OxString& device, TAliasType type, int flags);
    void FireAliasChangeEvent();
    void addDeviceAliases();

private:
    // Callers hold the lock.
    int indexOfLocked(const OxString& trimmedName, TAliasType type) const;
    int addLocked(const OxString& name, const OxString& device, TAliasType type, int flags);

    mutable OxLock lock;
    OxList<TMidiAlias*> aliases; // owned
    OxListenerList<TMidiAliasChangeListener> listeners;
    int updateCount = 0;
    int changePending = 0;
    int persistenceEnabled = 1;
    int maintainDeviceAliases = 0;
};

} // namespace Lk
