#include "midi/MidiManager.h"

#include "midi/MidiAlias.h"
#include "midi/MidiManagerRefresh.h"
#include "midi/MidiRouter.h"
#include "midi/MidiSingletonLock.h"
#include "midi/MidiVirtualInput.h"
#include "platform/ErrorHandler.h"
#include "platform/OxSingleton.h"

#include <mutex>
#include <thread>
#include <unordered_map>

namespace Lk {

namespace {
OxSingleton<MidiManager> managerInstance{midiSingletonCreationLock};
std::mutex initializersLock;
std::unique_ptr<OxList<MidiManagerInitializer*>> initializers;

const char* const SFIllegalMidiDeviceID[2] = {"Internal error: illegal MIDI Out device ID: %d",
                                              "Internal error: illegal MIDI In device ID: %d"};
const char* const SFCouldNotBeOpened =
    "MIDI %s \"%s\" could not be opened (maybe in use by another program?). It is set to "
    "'pending' so that it is used automatically when it becomes available.";
const char* const SFOpenedSuccess[2] = {"Opened MIDI OUT: %s", "Opened MIDI IN: %s"};
const char* const SFClosed[2] = {"Closed MIDI OUT: %s", "Closed MIDI IN: %s"};
const char* const SFDoesNotExist = "MIDI %s \"%s\" does not exist. It is set to 'pending' so "
                                   "that it is used automatically when you plug it in.";
const char* const SFVirtualInputUnsupported =
    "MIDI input \"%s\" cannot be offered to other programs: the MIDI system here has no "
    "ports of its own.";
const char* const SFVirtualInputNotOpened =
    "MIDI input \"%s\" could not be offered to other programs.";
const char* const SFUnexpectedlyClosed =
    "MIDI %s \"%s\" unexpectedly closed. It is set to 'pending' so that it is used "
    "automatically when it becomes available again.";

const char* directionName(int isInput) {
    return isInput ? "input" : "output";
}
OxString portText(const char* format, const MidiManagerDev* e) {
    return OxString::format(format, e->GetDescriptor()->GetName().c_str());
}
// For the texts that name the direction before the port.
OxString portText(const char* format, int isInput, const MidiManagerDev* e) {
    return OxString::format(format, directionName(isInput), e->GetDescriptor()->GetName().c_str());
}
} // namespace

// Counts a thru forwarding in progress, so that thru targets and output port objects are
// retired only once no receive thread can still use them.
class MidiManager::ThruForwardingScope {
public:
    explicit ThruForwardingScope(std::atomic<int>& count) : count(count) { count.fetch_add(1); }
    ThruForwardingScope(const ThruForwardingScope&) = delete;
    ThruForwardingScope& operator=(const ThruForwardingScope&) = delete;
    ~ThruForwardingScope() { count.fetch_sub(1); }

private:
    std::atomic<int>& count;
};

MidiManager* MidiManager::instance() {
    return managerInstance.get([] {
        auto* manager = new MidiManager();
        manager->Init();
        return manager;
    });
}

bool MidiManager::IsInstanceAllocated() {
    return managerInstance.peek() != nullptr;
}

void MidiManager::AddInitializer(MidiManagerInitializer* initializer) {
    std::lock_guard<std::mutex> hold(initializersLock);
    if (!initializers)
        initializers = std::make_unique<OxList<MidiManagerInitializer*>>();
    if (initializer != nullptr)
        initializers->addIfNotExists(initializer);
}

void MidiManager::forEachInitializer(void (MidiManagerInitializer::*hook)()) {
    OxList<MidiManagerInitializer*> copy;
    {
        std::lock_guard<std::mutex> hold(initializersLock);
        if (initializers)
            copy = *initializers;
    }
    for (MidiManagerInitializer* i : copy)
        (i->*hook)();
}

MidiManager::MidiManager()
    : asyncRefreshTimer(std::make_unique<OxTimer>(this, 15, 0, "Async MIDI device list refresh")),
      checkPendingTimer(std::make_unique<OxTimer>(this, CHECK_PENDING_INTERVAL_MS, 1,
                                                  "Check pending existing devices")),
      refresher(std::make_unique<MidiManagerRefresh>(*this)) {
    managerInstance.publish(this);
    forEachInitializer(&MidiManagerInitializer::OnMidiManagerCreated);
}

void MidiManager::Init() {
    inited.store(1);
    TMidiAliasManager::instance()->AddAliasChangeListener(this);
    TMidiRouter::instance()->AddRouteChangeListener(this);
    forEachInitializer(&MidiManagerInitializer::OnMidiManagerInited);
}

void MidiManager::quiesce() {
    SetSuspended(1); // returns once no hotplug call runs; none starts afterwards
    dataListener.store(nullptr);
    // Suspended, the manager starts neither timer again.
    asyncRefreshTimer->stopAndWait();
    checkPendingTimer->stopAndWait();
    OxScopedLock hold(lock);
    virtualInput.reset();
    // Each close waits for its receive thread, so that no thru forwarding runs afterwards.
    for (int isInput = 1; isInput >= 0; --isInput)
        for (int i = 0; MidiManagerDev* e = entry(i, isInput); ++i)
            if (TMidiDeviceBase* d = e->GetDevice())
                d->Close();
}

MidiManager::~MidiManager() {
    quiesce();
    asyncRefreshTimer.reset();
    checkPendingTimer.reset();
    forEachInitializer(&MidiManagerInitializer::OnMidiManagerToBeDeleted);
    {
        std::lock_guard<std::mutex> hold(initializersLock);
        if (initializers)
            initializers->clearAndDelete();
        initializers.reset();
    }
    if (TMidiAliasManager::IsInstanceAllocated())
        TMidiAliasManager::instance()->RemoveAliasChangeListener(this);
    if (TMidiRouter::IsInstanceAllocated())
        TMidiRouter::instance()->RemoveRouteChangeListener(this);
    {
        OxScopedLock hold(lock);
        for (MidiDeviceFactory* f : factories)
            f->setListener(nullptr);
        inputs.clear();
        outputs.clear();
    }
    managerInstance.release(this);
}

int MidiManager::AddFactory(MidiDeviceFactory* factory, int refresh) {
    {
        OxScopedLock hold(lock);
        if (factory == nullptr || factories.contains(factory) ||
            factories.getCount() >= MAX_FACTORIES)
            return 0;
        factories.add(factory);
        factory->setListener(this);
    }
    if (refresh && !suspended.load())
        RefreshDevList(0, 1);
    else
        listValid.store(0);
    return 1;
}

void MidiManager::RemoveFactory(MidiDeviceFactory* factory, int notify) {
    bool changed = false;
    {
        OxScopedLock hold(lock);
        const int position = factories.indexOf(factory);
        if (position < 0)
            return;
        factories.remove(position);
        if (virtualInput && virtualInput->GetDescriptor()->factory == factory)
            virtualInput.reset();
        factory->setListener(nullptr);
        for (int isInput = 0; isInput <= 1; ++isInput)
            for (int i = 0; MidiManagerDev* e = entry(i, isInput); ++i)
                if (e->GetDescriptor()->factory == factory && e->exists) {
                    e->exists = 0;
                    changed = true;
                }
    }
    if (changed && notify)
        notifyDevListListeners();
}

MidiDeviceFactory* MidiManager::GetFactory(unsigned type) const {
    OxScopedLock hold(lock);
    for (int i = factories.getCount() - 1; i >= 0; --i)
        if (factories[i]->GetType() == type)
            return factories[i];
    return nullptr;
}

OxString MidiManager::GetServiceProblem() const {
    OxScopedLock hold(lock);
    for (MidiDeviceFactory* f : factories) {
        const OxString problem = f->serviceProblem();
        if (problem.isNotEmpty())
            return problem;
    }
    return OxString();
}

void MidiManager::SetSuspended(int s) {
    const int value = s ? 1 : 0;
    if (suspended.exchange(value) == value)
        return;
    if (value == 0) {
        forEachInitializer(&MidiManagerInitializer::OnMidiManagerUnsuspended);
        // Watching first: a port plugged in between the two is then found by the refresh
        // or announced, never neither.
        HotplugWatcher::instance()->addListener(this);
        RefreshDevList(0, 1);
    } else {
        if (HotplugWatcher::isInstanceAllocated())
            HotplugWatcher::instance()->removeListener(this);
        forEachInitializer(&MidiManagerInitializer::OnMidiManagerSuspended);
    }
}

MidiManagerDev* MidiManager::entry(int index, int isInput) const {
    return isInput ? static_cast<MidiManagerDev*>(inputs.get(index)) : outputs.get(index);
}

int MidiManager::entryCount(int isInput) const {
    return isInput ? inputs.getCount() : outputs.getCount();
}

template <typename Matches> int MidiManager::findLastEntry(int isInput, Matches matches) const {
    for (int i = entryCount(isInput) - 1; i >= 0; --i)
        if (matches(*entry(i, isInput)->GetDescriptor()))
            return i;
    return -1;
}

void MidiManager::ensureListValid() {
    if (!listValid.load() && !suspended.load())
        RefreshDevList(1, 1);
}

int MidiManager::GetDevCount(int isInput) {
    ensureListValid();
    return entryCount(isInput);
}

MidiManagerDev* MidiManager::GetDevDescriptor(int index, int isInput) {
    ensureListValid();
    OxScopedLock hold(lock);
    MidiManagerDev* e = entry(index, isInput);
    return e != nullptr && !e->isRemoved() ? e : nullptr;
}

int MidiManager::GetDevDescriptor(int index, int isInput, MidiManagerDev*& out) {
    out = GetDevDescriptor(index, isInput);
    return out != nullptr;
}

OxString MidiManager::GetDevName(int index, int isInput) {
    OxScopedLock hold(lock);
    MidiManagerDev* e = GetDevDescriptor(index, isInput);
    return e != nullptr ? e->GetDescriptor()->GetName() : OxString();
}

int MidiManager::GetDevIndex(const OxString& name, int isInput) {
    ensureListValid();
    if (name.isEmpty())
        return -1;
    OxScopedLock hold(lock);
    return findLastEntry(isInput,
                         [&](const MidiDeviceDescriptor& d) { return d.GetName().equals(name); });
}

int MidiManager::GetDevIndexForAliasDevice(const OxString& name, int isInput) {
    const int exact = GetDevIndex(name, isInput);
    if (exact >= 0 || name.isEmpty())
        return exact;
    OxScopedLock hold(lock);
    return findLastEntry(
        isInput, [&](const MidiDeviceDescriptor& d) { return d.GetName().equalsIgnoreCase(name); });
}

int MidiManager::GetDevIndexByDescriptor(int isInput, const MidiDeviceDescriptor* d) {
    ensureListValid();
    OxScopedLock hold(lock);
    return findLastEntry(isInput,
                         [&](const MidiDeviceDescriptor& known) { return known.Matches(d); });
}

int MidiManager::IsOpenOrPending(const OxString& name, int isInput) {
    const int index = GetDevIndexForAliasDevice(name, isInput);
    OxScopedLock hold(lock);
    MidiManagerDev* e = entry(index, isInput);
    return e != nullptr && !e->isRemoved() && (e->IsOpen() || e->pending);
}

MidiPortState MidiManager::GetPortState(int index, int isInput) {
    ensureListValid();
    OxScopedLock hold(lock);
    const MidiManagerDev* e = entry(index, isInput ? 1 : 0);
    MidiPortState state;
    if (e == nullptr || e->isRemoved())
        return state;
    if (!e->exists)
        state.status = MidiPortStatus::absent;
    else if (e->IsOpen())
        state.status = MidiPortStatus::open;
    else if (e->pending)
        state.status = MidiPortStatus::pending;
    else
        state.status = MidiPortStatus::closed;
    if (state.status == MidiPortStatus::pending)
        state.lastError = e->lastError;
    if (state.status == MidiPortStatus::open && !isInput)
        state.dropping = static_cast<const TMidiOutputBase*>(e->GetDevice())->isDropping();
    return state;
}

MidiPortState MidiManager::GetPortStateByName(const OxString& deviceName, int isInput) {
    if (deviceName.isEmpty())
        return MidiPortState();
    const int index = GetDevIndexForAliasDevice(deviceName, isInput);
    if (index < 0)
        return MidiPortState{MidiPortStatus::absent, OxString()};
    return GetPortState(index, isInput);
}

void MidiManager::FireErrorEvent(int index, int isInput, const OxString& text,
                                 OxStringList* errors) {
    if (errors != nullptr) {
        errors->list.add(text);
        return;
    }
    controlListeners.forEachReversed(
        [&](MidiManagerDeviceControlListener* l) { l->OnMidiErrorMessage(index, isInput, text); });
}

int MidiManager::OpenVirtualInput(const OxString& name, TMidiAlias* actsAs, OxStringList* errors) {
    OxScopedLock hold(lock);
    virtualInput.reset();
    TMidiInputBase* port = nullptr;
    for (int i = factories.getCount() - 1; i >= 0 && port == nullptr; --i)
        port = factories[i]->createVirtualInput(name);
    if (port == nullptr) {
        FireErrorEvent(VIRTUAL_INPUT_INDEX, 1,
                       OxString::format(SFVirtualInputUnsupported, name.c_str()), errors);
        return 0;
    }
    auto input = std::make_unique<MMDevVirtualIn>(port, actsAs);
    {
        OxScopedLock holdAliases(TMidiAliasManager::instance()->GetLock());
        input->RebuildThruList();
    }
    OxStringList reasons;
    if (!port->Open(&reasons)) {
        OxString text = OxString::format(SFVirtualInputNotOpened, name.c_str());
        for (const OxString& reason : reasons.list)
            if (errors != nullptr)
                errors->list.add(reason);
            else
                text = OxString::format("%s\n%s", text.c_str(), reason.c_str());
        FireErrorEvent(VIRTUAL_INPUT_INDEX, 1, text, errors);
        return 0;
    }
    virtualInput = std::move(input);
    return 1;
}

void MidiManager::CloseVirtualInput() {
    OxScopedLock hold(lock);
    virtualInput.reset();
}

int MidiManager::IsVirtualInputOpen() const {
    OxScopedLock hold(lock);
    return virtualInput && virtualInput->IsOpen();
}

int MidiManager::Open(int index, int isInput, OxStringList* errors) {
    OxScopedLock hold(lock);
    return openDevice(index, isInput ? 1 : 0, errors);
}

int MidiManager::openDevice(int index, int isInput, OxStringList* errors) {
    MidiManagerDev* e = entry(index, isInput);
    if (e == nullptr) {
        FireErrorEvent(-1, isInput, OxString::format(SFIllegalMidiDeviceID[isInput], index),
                       errors);
        return 0;
    }
    if (!suspended.load() && e->exists) {
        if (e->GetDevice() == nullptr)
            e->CreateDevice();
        if (TMidiDeviceBase* device = e->GetDevice()) {
            e->lastError = OxString();
            controlListeners.forEachReversed([&](MidiManagerDeviceControlListener* l) {
                l->OnBeforeOpenMidiDevice(index, isInput);
            });
            // The backend's reasons of this open only, kept for lastError also when the
            // caller gives no list.
            OxStringList attempt;
            if (errors != nullptr)
                attempt.separator = errors->separator;
            if (device->Open(&attempt)) {
                e->pending = 0;
                const OxString text = portText(SFOpenedSuccess[isInput], e);
                controlListeners.forEachReversed([&](MidiManagerDeviceControlListener* l) {
                    l->OnMidiStringMessage(index, isInput, text);
                    l->OnAfterOpenMidiDevice(index, isInput);
                });
                return 1;
            }
            e->pending = 1;
            const OxString text = portText(SFCouldNotBeOpened, isInput, e);
            if (errors != nullptr)
                for (const OxString& reason : attempt.list)
                    errors->list.add(reason);
            FireErrorEvent(index, isInput, text, errors);
            attempt.list.add(text);
            e->lastError = attempt.getText();
            startCheckPendingExistingTimer();
            return 0;
        }
    }
    e->pending = 1;
    if (suspended.load() || e->exists)
        return 0;
    FireErrorEvent(index, isInput, portText(SFDoesNotExist, isInput, e), errors);
    return 0;
}

void MidiManager::Close(int index, int isInput, int force) {
    OxScopedLock hold(lock);
    closeDevice(index, isInput ? 1 : 0, force);
}

void MidiManager::closeDevice(int index, int isInput, int force) {
    MidiManagerDev* e = entry(index, isInput);
    if (e == nullptr) {
        const OxString text = OxString::format(SFIllegalMidiDeviceID[isInput], index);
        controlListeners.forEachReversed(
            [&](MidiManagerDeviceControlListener* l) { l->OnMidiErrorMessage(-1, isInput, text); });
        return;
    }
    if ((suspended.load() && !force) || !e->IsOpen()) {
        e->pending = 0;
        return;
    }
    controlListeners.forEachReversed(
        [&](MidiManagerDeviceControlListener* l) { l->OnBeforeCloseMidiDevice(index, isInput); });
    e->GetDevice()->Close();
    reportClosed(index, isInput, e);
    e->pending = 0;
}

void MidiManager::reportClosed(int index, int isInput, MidiManagerDev* e) {
    const OxString text = portText(SFClosed[isInput], e);
    controlListeners.forEachReversed([&](MidiManagerDeviceControlListener* l) {
        l->OnMidiStringMessage(index, isInput, text);
        l->OnAfterCloseMidiDevice(index, isInput);
    });
}

void MidiManager::onMidiDeviceUnexpectedClose(TMidiDeviceBase* device) {
    if (device == nullptr)
        return;
    {
        OxScopedLock hold(lock);
        const int isInput = device->GetDescriptor()->isInput ? 1 : 0;
        const int index = device->managerIndex;
        MidiManagerDev* e = entry(index, isInput);
        if (e == nullptr || e->GetDevice() != device)
            return;
        // Closed here too, so that the refresh opens the port again instead of keeping a
        // dead port object that still counts as open.
        device->Close();
        e->pending = 1;
        const OxString text = portText(SFUnexpectedlyClosed, isInput, e);
        controlListeners.forEachReversed([&](MidiManagerDeviceControlListener* l) {
            l->OnMidiErrorMessage(index, isInput, text);
        });
        reportClosed(index, isInput, e);
    }
    notifyDevListListeners();
    RefreshDevListAsync(15);
}

void MidiManager::onMidiDeviceError(TMidiDeviceBase* device, const OxString& text) {
    if (device == nullptr)
        return;
    const int isInput = device->GetDescriptor()->isInput ? 1 : 0;
    controlListeners.forEachReversed([&](MidiManagerDeviceControlListener* l) {
        l->OnMidiErrorMessage(device->managerIndex, isInput, text);
    });
    // The refresh closes a port whose connection is gone and opens it again when it can.
    if (device->isConnectionLost())
        RefreshDevListAsync(15);
}

void MidiManager::onMidiDeviceStateChanged(TMidiDeviceBase* device) {
    const int isInput = device->GetDescriptor()->isInput ? 1 : 0;
    controlListeners.forEachReversed([&](MidiManagerDeviceControlListener* l) {
        l->OnMidiPortStateChanged(device->managerIndex, isInput);
    });
}

void MidiManager::notifyDevListListeners() {
    devListListeners.forEach([](TMidiDeviceListListener* l) { l->OnMidiDeviceListChanged(); });
}

void MidiManager::startCheckPendingExistingTimer() {
    if (checkPendingTimer && !checkPendingTimer->isStarted())
        checkPendingTimer->start();
}

int MidiManager::IsCheckPendingTimerRunning() const {
    return checkPendingTimer && checkPendingTimer->isStarted();
}

void MidiManager::RefreshDevListAsync(int delayMs) {
    if (suspended.load() || !asyncRefreshTimer)
        return;
    asyncRefreshTimer->stop();
    asyncRefreshTimer->setInitialDelay(delayMs);
    asyncRefreshTimer->start();
}

int MidiManager::RefreshDevList(int force, int notify, int) {
    return refresher->refresh(force, notify);
}

int MidiManager::checkPendingExistingDevices() {
    int failed = 0;
    OxScopedLock hold(lock);
    for (int isInput = 0; isInput <= 1; ++isInput)
        for (int i = 0; MidiManagerDev* e = entry(i, isInput); ++i) {
            OxStringList errors; // failures of a retry are not told to anybody
            if (!e->isRemoved() && e->pending && e->exists && !openDevice(i, isInput, &errors))
                failed = 1;
        }
    return failed;
}

void MidiManager::onTimer(OxTimer* timer) {
    if (timer == asyncRefreshTimer.get()) {
        RefreshDevList(1, 1);
    } else if (timer == checkPendingTimer.get() && !checkPendingExistingDevices()) {
        timer->stop();
        notifyDevListListeners();
    }
}

void MidiManager::hotplugOccurred(HotplugWatcher::Type type) {
    if (!suspended.load() && (type == HotplugWatcher::htMidi || type == HotplugWatcher::htAll))
        RefreshDevList(1, 1);
}

void MidiManager::hotplugPolling(HotplugWatcher::Type type) {
    hotplugOccurred(type);
}

void MidiManager::waitForThruForwarding() const {
    while (thruForwardersInFlight.load() != 0)
        std::this_thread::yield();
}

void MidiManager::OnMidiDeviceMessage(TMidiInputBase* port, unsigned long long timestamp,
                                      const unsigned char* data, int length) {
    if (suspended.load())
        return;
    thruCounters.countReceived(length);
    MidiManagerDataListener* listener = dataListener.load();
    if (listener != nullptr) {
        int handled = 0;
        listener->OnMidiMessage(port->managerIndex, timestamp, data, length, handled);
        if (handled)
            return;
    }
    auto* e = static_cast<MMDevIn*>(port->managerEntry.load());
    oxassert(e != nullptr);
    if (e == nullptr)
        return;
    ThruForwardingScope forwarding(thruForwardersInFlight);
    const MidiThruTargets* targets = e->GetThruTargets();
    if (targets == nullptr || !targets->routed)
        return;
    bool forwarded = false;
    for (auto it = targets->outputs.rbegin(); it != targets->outputs.rend(); ++it)
        if (sendTo(*it, data, length))
            forwarded = true;
    if (forwarded) {
        thruCounters.countForwarded(length);
        if (listener != nullptr)
            listener->OnMidiForwarded();
    } else
        thruCounters.countNotForwarded(length);
}

int MidiManager::sendTo(int outputIndex, const unsigned char* data, int length) {
    MMDevOut* out = outputs.get(outputIndex);
    TMidiDeviceBase* device = out != nullptr ? out->GetDevice() : nullptr;
    if (device == nullptr || !device->IsOpen())
        return 0;
    auto* port = static_cast<TMidiOutputBase*>(device);
    // A flushed partial message ("B0 07") must not be padded into a complete one.
    if (length >= 1 && length <= 3 && length == ShortMidiMessageLength(data[0])) {
        unsigned int message = 0;
        for (int i = 0; i < length; ++i)
            message |= static_cast<unsigned int>(data[i]) << (8 * i);
        return port->SendShort(message);
    }
    return port->SendLong(data, length);
}

int MidiManager::SendMessageToAliasList(const TMidiAliasList& aliases, const unsigned char* data,
                                        int length) {
    if (suspended.load() || aliases.getCount() == 0)
        return 0;
    ThruForwardingScope forwarding(thruForwardersInFlight);
    int sent = 0;
    for (int i = aliases.getCount() - 1; i >= 0; --i) {
        const TMidiAlias* alias = aliases[i];
        if (alias->userID >= 0 && alias->type == atOut && sendTo(alias->userID, data, length))
            sent = 1;
    }
    return sent;
}

void MidiManager::OnMidiAliasListChanged() {
    OxScopedLock hold(lock);
    TMidiAliasManager* am = TMidiAliasManager::instance();
    OxScopedLock holdAliases(am->GetLock());
    // Each alias gets its final index at once: a receive thread or another reader never
    // sees a resolved alias at -1 in between.
    std::unordered_map<TMidiAlias*, const MidiManagerDev*> resolved;
    for (int isInput = 1; isInput >= 0; --isInput)
        for (int i = entryCount(isInput) - 1; i >= 0; --i) {
            MidiManagerDev* e = entry(i, isInput);
            e->RebuildAliasList();
            if (e->exists)
                for (TMidiAlias* a : e->aliases)
                    resolved[a] = e;
        }
    for (int i = 0; i < am->GetCount(); ++i) {
        TMidiAlias* a = am->GetAlias(i);
        if (a->type != atIn && a->type != atOut)
            continue;
        auto it = resolved.find(a);
        const int userID = it != resolved.end() ? it->second->index : -1;
        if (a->userID != userID)
            a->userID = userID;
        if (it != resolved.end())
            a->deviceType = static_cast<int>(it->second->GetDescriptor()->GetType());
    }
    OnMidiRouteListChanged();
}

void MidiManager::OnMidiRouteListChanged() {
    OxScopedLock hold(lock);
    OxScopedLock holdAliases(TMidiAliasManager::instance()->GetLock());
    for (int i = inputs.getCount() - 1; i >= 0; --i)
        inputs.get(i)->RebuildThruList();
    if (virtualInput)
        virtualInput->RebuildThruList();
}

} // namespace Lk
