#include "midi/MidiManagerDev.h"

#include "midi/MidiAlias.h"
#include "midi/MidiInput.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"
#include "platform/ErrorHandler.h"

namespace Lk {

MidiManagerDev::MidiManagerDev(const MidiDeviceDescriptor* d, int index)
    : index(index), descriptor(d != nullptr ? d->Clone() : new MidiDeviceDescriptor()) {}

MidiManagerDev::~MidiManagerDev() {
    setDevice(nullptr);
}

void MidiManagerDev::setDevice(TMidiDeviceBase* d) {
    TMidiDeviceBase* old = device.exchange(d);
    if (old == nullptr || old == d)
        return;
    // A thru send may have picked the old port up just before the exchange.
    if (MidiManager::IsInstanceAllocated())
        MidiManager::instance()->waitForThruForwarding();
    old->Close();
    delete old;
}

TMidiDeviceBase* MidiManagerDev::TakeDevice() {
    TMidiDeviceBase* d = device.exchange(nullptr);
    if (d != nullptr && MidiManager::IsInstanceAllocated())
        MidiManager::instance()->waitForThruForwarding();
    return d;
}

int MidiManagerDev::IsOpen() const {
    TMidiDeviceBase* d = device.load();
    return d != nullptr && d->IsOpen();
}

OxString MidiManagerDev::GetDisplayDevName() const {
    return displayName.isNotEmpty() ? displayName : GetDescriptor()->GetName();
}

int MidiManagerDev::compare(const MidiManagerDev* other) const {
    if (other == nullptr)
        return -1;
    return GetDisplayDevName().compareIndexed(other->GetDisplayDevName(), 1);
}

int MidiManagerDev::shouldSaveToIni() const {
    return pending || IsOpen();
}

void MidiManagerDev::SetDescriptor(const MidiDeviceDescriptor* d) {
    if (d == nullptr)
        return;
    if (!d->IsEqual(GetDescriptor().get()))
        std::atomic_store(&descriptor, std::shared_ptr<const MidiDeviceDescriptor>(d->Clone()));
    TMidiDeviceBase* dev = device.load();
    if (dev == nullptr)
        return;
    if (dev->GetDescriptor()->GetType() == d->GetType())
        dev->SetDescriptor(d);
    else
        setDevice(nullptr); // another backend owns the name now
}

void MidiManagerDev::SetDescriptor(unsigned type, int isInput, const OxString& name) {
    MidiDeviceFactory* factory =
        MidiManager::IsInstanceAllocated() ? MidiManager::instance()->GetFactory(type) : nullptr;
    MidiDeviceDescriptor placeholder(factory, isInput, -1, name, OxString(), OxString(),
                                     OxString());
    SetDescriptor(&placeholder);
}

void MidiManagerDev::adopt(TMidiDeviceBase* d) {
    d->managerEntry = this;
    d->managerIndex = index;
    d->SetDescriptor(GetDescriptor().get());
}

void MidiManagerDev::ReplaceDevice(TMidiDeviceBase* d) {
    if (d != nullptr)
        adopt(d);
    setDevice(d);
}

void MidiManagerDev::AssignFrom(const MidiManagerDev& other) {
    index = other.index;
    SetDescriptor(other.GetDescriptor().get());
    pending = other.pending.load();
    exists = other.exists.load();
    aliases.AssignFrom(&other.aliases);
    displayName = other.displayName;
    seen = 0;
}

void MidiManagerDev::RebuildAliasList() {
    if (!exists)
        return;
    TMidiAliasManager::instance()->FillAliasListByDevice(GetDescriptor()->GetName(),
                                                         IsInput() ? atIn : atOut, aliases);
}

void MidiManagerDev::CreateDevice() {
    oxassert(MidiManager::IsInstanceAllocated());
    setDevice(nullptr);
    const std::shared_ptr<const MidiDeviceDescriptor> own = GetDescriptor();
    TMidiDeviceBase* d = IsInput() ? own->CreateInputDevice() : own->CreateOutputDevice();
    if (d != nullptr)
        ReplaceDevice(d);
}

MMDevIn::~MMDevIn() {
    // Once the port is closed no receive thread can read the targets any more.
    ReplaceDevice(nullptr);
    delete thruTargets.exchange(nullptr);
}

void MMDevIn::adopt(TMidiDeviceBase* d) {
    MidiManagerDev::adopt(d);
    auto* in = static_cast<TMidiInputBase*>(d);
    in->SetActiveSensing(activeSensing);
    in->SetTimingClock(timingClock);
    in->SetDataListener(MidiManager::instance());
}

int MMDevIn::shouldSaveToIni() const {
    return MidiManagerDev::shouldSaveToIni() || activeSensing != 0 || timingClock != 1;
}

void MMDevIn::AssignFrom(const MidiManagerDev& other) {
    MidiManagerDev::AssignFrom(other);
    if (const auto* in = dynamic_cast<const MMDevIn*>(&other)) {
        thruList.AssignFrom(&in->thruList);
        timingClock = in->timingClock;
        activeSensing = in->activeSensing;
    }
}

void MMDevIn::RebuildThruList() {
    if (!exists)
        return;
    TMidiRouter::instance()->GetRoutes().GetOutAliasesByInUserID(index, thruList);
    publishThruTargets();
}

void MMDevIn::publishThruTargets() {
    auto* targets = new MidiThruTargets();
    for (TMidiAlias* alias : thruList) {
        if (alias->type != atOut)
            continue;
        targets->routed = true;
        if (alias->userID >= 0)
            targets->outputs.push_back(alias->userID);
    }
    const MidiThruTargets* old = thruTargets.exchange(targets);
    if (old == nullptr)
        return;
    MidiManager::instance()->waitForThruForwarding();
    delete old;
}

} // namespace Lk
