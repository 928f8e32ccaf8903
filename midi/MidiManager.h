#pragma once

#include "core/hotplugwatcher/HotplugWatcher.h"
#include "midi/MidiDeviceFactory.h"
#include "midi/MidiInput.h"
#include "midi/MidiManagerDev.h"
#include "midi/MidiManagerListeners.h"
#include "midi/MidiPortState.h"
#include "midi/MidiThruCounters.h"
#include "platform/OxListenerList.h"
#include "platform/OxTimer.h"

#include <atomic>
#include <memory>

namespace Lk {

// Hooks of a backend into the manager's life; registered before the manager exists.
class MidiManagerInitializer {
public:
    virtual ~MidiManagerInitializer() = default;
    virtual void OnMidiManagerCreated() {}
    virtual void OnMidiManagerInited() {}
    virtual void OnMidiManagerUnsuspended() {}
    virtual void OnMidiManagerSuspended() {}
    virtual void OnMidiManagerToBeDeleted() {}
};

// Owns every MIDI port: the input and output tables, opening and closing with reports to
// the control listeners, pending ports, the device-list refresh, and the receive path with
// its thru forwarding. Open, close and refresh are serialised by the manager's lock; the
// receive path takes no lock and allocates nothing.
class MidiManager : public TMidiDeviceDataListener,
                    public TMidiAliasChangeListener,
                    public TMidiRouteChangeListener,
                    public MidiDeviceFactory::Listener,
                    public OxTimer::Listener,
                    public HotplugWatcher::Listener,
                    public AutoDelete {
public:
    static constexpr int MAX_FACTORIES = 10;
    static constexpr int CHECK_PENDING_INTERVAL_MS = 15000;
    // The port index with which the data listener gets what arrives on the virtual input.
    static constexpr int VIRTUAL_INPUT_INDEX = -2;

    static MidiManager* instance();
    static bool IsInstanceAllocated();
    static void AddInitializer(MidiManagerInitializer* initializer);
    // Suspends, drops the data listener, stops the timers and the hotplug calls and closes
    // every port, each waiting for the thread that runs it, so that nothing reaches the
    // manager or the aliases from another thread afterwards.
    void quiesce() override;
    // Quiesces first.
    ~MidiManager() override;

    void Init();
    // 0 for null, an added factory or an eleventh one.
    int AddFactory(MidiDeviceFactory* factory, int refresh);
    void RemoveFactory(MidiDeviceFactory* factory, int notify);
    MidiDeviceFactory* GetFactory(unsigned type) const;
    // The first factory's serviceProblem() that is not empty: why ports may be missing.
    OxString GetServiceProblem() const;
    void SetSuspended(int s);
    int IsSuspended() const { return suspended.load(); }

    void SetDataListener(MidiManagerDataListener* l) { dataListener.store(l); }
    MidiManagerDataListener* GetDataListener() const { return dataListener.load(); }
    void AddDevListChangeListener(TMidiDeviceListListener* l) { devListListeners.add(l); }
    void RemoveDevListChangeListener(TMidiDeviceListListener* l) { devListListeners.remove(l); }
    void AddDeviceControlListener(MidiManagerDeviceControlListener* l) { controlListeners.add(l); }
    void RemoveDeviceControlListener(MidiManagerDeviceControlListener* l) {
        controlListeners.remove(l);
    }

    // Queries; the entries they return stay valid, their fields change under the lock.
    int GetDevCount(int isInput);
    MidiManagerDev* GetDevDescriptor(int index, int isInput);
    int GetDevDescriptor(int index, int isInput, MidiManagerDev*& out);
    // The port's name as its descriptor gives it now; empty for a bad index or a removed
    // entry. Safe while a refresh on another thread replaces descriptors.
    OxString GetDevName(int index, int isInput);
    int GetDevIndex(const OxString& name, int isInput);
    // As GetDevIndex, falling back to a match ignoring case, as aliases bind to ports.
    int GetDevIndexForAliasDevice(const OxString& name, int isInput);
    int GetDevIndexByDescriptor(int isInput, const MidiDeviceDescriptor* d);
    // Whether the port of that name (matched as for aliases) is open or pending.
    int IsOpenOrPending(const OxString& name, int isInput);
    // What the port is doing now, read under the lock. By name, matched as for aliases: an
    // empty name is not chosen, a name no entry carries is absent.
    MidiPortState GetPortState(int index, int isInput);
    MidiPortState GetPortStateByName(const OxString& deviceName, int isInput);

    int Open(int index, int isInput, OxStringList* errors);
    // Offers other programs an input port of this process's own named `name`, made by the
    // last added factory that can make one. What arrives there takes the path of the input
    // alias `actsAs`: the data listener (with VIRTUAL_INPUT_INDEX), then the outputs that
    // routes from that alias lead to, also while it resolves to no port. Replaces a virtual
    // input already open. 1 when the port is open; otherwise the reason goes to `errors`,
    // or to the control listeners without a list. Opens and closes are not reported.
    int OpenVirtualInput(const OxString& name, TMidiAlias* actsAs, OxStringList* errors);
    void CloseVirtualInput();
    int IsVirtualInputOpen() const;
    void Close(int index, int isInput, int force);
    void FireErrorEvent(int index, int isInput, const OxString& text, OxStringList* errors);

    int RefreshDevList(int force, int notify, int = 0);
    void RefreshDevListAsync(int delayMs);
    int checkPendingExistingDevices();
    int IsCheckPendingTimerRunning() const;

    // The receive path, on the backend's receive thread.
    void OnMidiDeviceMessage(TMidiInputBase* port, unsigned long long timestamp,
                             const unsigned char* data, int length) override;
    int SendMessageToAliasList(const TMidiAliasList& aliases, const unsigned char* data,
                               int length);
    // What the receive path has counted so far (see MidiThruStats).
    MidiThruStats GetThruStats() const { return thruCounters.snapshot(); }
    void OnMidiAliasListChanged() override;
    void OnMidiRouteListChanged() override;

    void onTimer(OxTimer* timer) override;
    void hotplugOccurred(HotplugWatcher::Type type) override;
    void hotplugPolling(HotplugWatcher::Type type) override;
    HotplugWatcher::Type hotplugGetTypes() override { return HotplugWatcher::htMidi; }
    void onMidiDeviceError(TMidiDeviceBase* device, const OxString& text) override;
    void onMidiDeviceOpen(TMidiDeviceBase*) override {}
    void onMidiDeviceClose(TMidiDeviceBase*) override {}
    void onMidiDeviceUnexpectedClose(TMidiDeviceBase* device) override;
    void onMidiDeviceStateChanged(TMidiDeviceBase* device) override;

    // For entries: waits until no thru forwarding started before the call is in progress.
    void waitForThruForwarding() const;

private:
    friend class MidiManagerRefresh;
    class ThruForwardingScope;

    MidiManager();
    MidiManagerDev* entry(int index, int isInput) const;
    int entryCount(int isInput) const;
    // The index of the last entry whose descriptor `matches`; -1 when none does.
    template <typename Matches> int findLastEntry(int isInput, Matches matches) const;
    void ensureListValid();
    int openDevice(int index, int isInput, OxStringList* errors);
    void closeDevice(int index, int isInput, int force);
    void reportClosed(int index, int isInput, MidiManagerDev* e);
    void startCheckPendingExistingTimer();
    void notifyDevListListeners();
    int sendTo(int outputIndex, const unsigned char* data, int length);
    void forEachInitializer(void (MidiManagerInitializer::*hook)());

    std::atomic<int> inited{0};
    // Read by the receive path.
    std::atomic<int> suspended{1};
    mutable OxLock lock;
    std::atomic<int> listValid{0};
    std::unique_ptr<OxTimer> asyncRefreshTimer;
    std::unique_ptr<OxTimer> checkPendingTimer;
    OxList<MidiDeviceFactory*> factories; // under the lock
    MidiManagerDevTable<MMDevIn> inputs;
    int lastInputCount[MAX_FACTORIES] = {};
    MidiManagerDevTable<MMDevOut> outputs;
    int lastOutputCount[MAX_FACTORIES] = {};
    // Set by the application's thread, read by the receive thread.
    std::atomic<MidiManagerDataListener*> dataListener{nullptr};
    OxListenerList<MidiManagerDeviceControlListener> controlListeners;
    OxListenerList<TMidiDeviceListListener> devListListeners;
    // Thru sends in progress on receive threads.
    mutable std::atomic<int> thruForwardersInFlight{0};
    MidiThruCounters thruCounters;
    std::unique_ptr<class MidiManagerRefresh> refresher;
    std::unique_ptr<class MMDevVirtualIn> virtualInput; // under the lock
};

} // namespace Lk
