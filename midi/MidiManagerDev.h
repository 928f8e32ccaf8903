#pragma once

#include "core/inifile/TIniFile.h"
#include "midi/MidiAliasRecord.h"
#include "midi/MidiDevice.h"

#include <atomic>
#include <memory>
#include <vector>

namespace Lk {

class MidiManager;

// Settings sections of the port entries; entry n uses Name<n> and Options<n>.
inline constexpr const char* SECTION_MIDI_IN = "MIDI.in";
inline constexpr const char* SECTION_MIDI_OUT = "MIDI.out";
inline constexpr const char* IDENT_OPTIONS = "Options";

// One port that is or was present: its descriptor, its port object once made, and whether
// it is present, wanted open (pending) and found by the refresh in progress. Entries are
// never removed, so an index stays valid for the manager's life. Changed under the
// manager's lock; the receive thread reads only `device`.
class MidiManagerDev {
public:
    MidiManagerDev(const MidiDeviceDescriptor* d, int index);
    MidiManagerDev(const MidiManagerDev&) = delete;
    MidiManagerDev& operator=(const MidiManagerDev&) = delete;

    virtual void ReplaceDevice(TMidiDeviceBase* d);
    // Binds the device aliases of the port's name, while the port exists.
    virtual void RebuildAliasList();
    // Makes a new port object for the descriptor; the previous one is closed and deleted.
    void CreateDevice();
    // Reads entry n of the direction's section back as a placeholder that the next refresh
    // matches by name.
    void loadFromIniFile(TIniFile& ini, int n);
    void saveToIniFile(TIniFile& ini, int n) const;
    virtual int shouldSaveToIni() const;
    // Closes and deletes the port object.
    virtual ~MidiManagerDev();
    virtual void AssignFrom(const MidiManagerDev& other);
    virtual int IsInput() const = 0;

    int Exists() const { return exists; }
    int GetIndex() const { return index; }
    int IsPending() const { return pending; }
    int IsOpen() const;
    int isRemoved() const { return GetDescriptor()->GetName().isEmpty(); }
    OxString GetDisplayDevName() const;
    int compare(const MidiManagerDev* other) const;
    // Shared, so that a descriptor the refresh replaces meanwhile stays valid while any
    // thread holds it.
    std::shared_ptr<const MidiDeviceDescriptor> GetDescriptor() const {
        return std::atomic_load(&descriptor);
    }
    void SetDescriptor(const MidiDeviceDescriptor* d);
    void SetDescriptor(unsigned type, int isInput, const OxString& name);
    TMidiDeviceBase* GetDevice() const { return device.load(); }
    // Hands the port object over without closing it; the entry has none afterwards.
    TMidiDeviceBase* TakeDevice();

    int index;
    // Changed under the manager's lock; atomic so that other threads may poll them.
    std::atomic<int> pending{0};
    std::atomic<int> exists{0};
    int seen = 0;
    TMidiAliasList aliases;
    OxString lastError;
    OxString displayName;

protected:
    // Makes `d` (may be null) this entry's port object; the previous one is closed and
    // deleted once no thru send can still use it.
    void setDevice(TMidiDeviceBase* d);
    virtual void adopt(TMidiDeviceBase* d);
    // The direction's own settings, which lead the options string: reads them and returns
    // how many characters they take, or gives them as text.
    virtual int loadPortOptions(const OxString&) { return 0; }
    virtual OxString portOptionsText() const { return OxString(); }

private:
    // Replaced under the manager's lock, read by any thread.
    std::shared_ptr<const MidiDeviceDescriptor> descriptor;
    // Written under the manager's lock, read by the receive thread (thru sends).
    std::atomic<TMidiDeviceBase*> device{nullptr};
};

// The outputs an input feeds, resolved to output table indices; never changed once
// published, so the receive thread reads it without a lock.
struct MidiThruTargets {
    std::vector<int> outputs;
    // Whether any thru route starts at the input, also when its outputs resolve to no port.
    bool routed = false;
};

class MMDevIn : public MidiManagerDev {
public:
    using MidiManagerDev::MidiManagerDev;
    ~MMDevIn() override;

    int shouldSaveToIni() const override;
    void AssignFrom(const MidiManagerDev& other) override;
    int IsInput() const override { return 1; }
    virtual void RebuildThruList();

    // For the receive thread: the published targets; valid until the next publish has
    // waited for the thru forwarding in flight.
    const MidiThruTargets* GetThruTargets() const { return thruTargets.load(); }

    TMidiAliasList thruList;
    int timingClock = 1;
    int activeSensing = 0;

protected:
    // Also makes the port deliver to the manager.
    void adopt(TMidiDeviceBase* d) override;
    // Active Sensing and Timing Clock, "T" or "F" each.
    int loadPortOptions(const OxString& options) override;
    OxString portOptionsText() const override;
    // Publishes the open outputs of thruList for the receive thread.
    void publishThruTargets();

private:
    std::atomic<const MidiThruTargets*> thruTargets{nullptr};
};

class MMDevOut : public MidiManagerDev {
public:
    using MidiManagerDev::MidiManagerDev;

    int IsInput() const override { return 0; }
};

// A port table that grows without moving its entries: the receive thread indexes it
// while the refresh appends. Holds at most CAPACITY entries.
template <typename Entry> class MidiManagerDevTable {
public:
    static constexpr int CAPACITY = 4096;

    MidiManagerDevTable() : slots(new std::atomic<Entry*>[CAPACITY]) {
        for (int i = 0; i < CAPACITY; ++i)
            slots[i].store(nullptr);
    }
    ~MidiManagerDevTable() { clear(); }
    MidiManagerDevTable(const MidiManagerDevTable&) = delete;
    MidiManagerDevTable& operator=(const MidiManagerDevTable&) = delete;

    int getCount() const { return count.load(); }
    // Null outside the table.
    Entry* get(int i) const { return i >= 0 && i < getCount() ? slots[i].load() : nullptr; }
    // Takes ownership; false (and the entry deleted) when the table is full.
    bool add(Entry* e) {
        const int n = count.load();
        if (n >= CAPACITY) {
            delete e;
            return false;
        }
        slots[n].store(e);
        count.store(n + 1);
        return true;
    }
    void clear() {
        const int n = count.exchange(0);
        for (int i = 0; i < n; ++i)
            delete slots[i].exchange(nullptr);
    }

private:
    std::unique_ptr<std::atomic<Entry*>[]> slots;
    std::atomic<int> count{0};
};

} // namespace Lk
