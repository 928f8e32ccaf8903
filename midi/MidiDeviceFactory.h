#pragma once

#include "midi/MidiDeviceDescriptor.h"
#include "platform/OrvoSystem.h"
#include "platform/OxList.h"
#include "platform/OxLock.h"

#include <atomic>

namespace Lk {

class TMidiInputBase;

// One MIDI backend: lists the ports of each direction into a descriptor cache that lives
// 1.5 s, hands out copies of it, and makes port objects for descriptors.
class MidiDeviceFactory : public AutoDelete {
public:
    // Told by the port objects of this factory about opens and closes; the MIDI manager.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void onMidiDeviceError(TMidiDeviceBase* device, const OxString& message) = 0;
        virtual void onMidiDeviceOpen(TMidiDeviceBase* device) = 0;
        virtual void onMidiDeviceClose(TMidiDeviceBase* device) = 0;
        virtual void onMidiDeviceUnexpectedClose(TMidiDeviceBase* device) = 0;
        // What the port shows besides being open changed (an output began or ended dropping).
        virtual void onMidiDeviceStateChanged(TMidiDeviceBase*) {}
    };

    static constexpr unsigned CACHE_LIFETIME_MS = 1500;

    MidiDeviceFactory() = default;
    ~MidiDeviceFactory() override = default;

    // Enumerates the backend's ports of one direction into `list`, which owns them.
    virtual void recreateCache(int isInput, OxList<MidiDeviceDescriptor*>& list) = 0;
    virtual void change() { changed.store(1); }
    virtual int GetNumDevs(int isInput);
    virtual unsigned GetType() = 0;
    virtual OxString GetTypeName(int isInput) = 0;
    virtual void GetDeviceList(int isInput, OxOwnedList<MidiDeviceDescriptor*>& out);
    virtual void GetDeviceList(int isInput, OxStringList& out);
    virtual void GetPublicDeviceNameList(int isInput, OxStringList& out);
    // A new, closed port object that owns a copy of `descriptor`; null when none can be made.
    virtual TMidiDeviceBase* CreateDevice(const MidiDeviceDescriptor* descriptor) = 0;
    // A closed input port of this process's own, named `name`, that other programs can find
    // and send to; the backend never lists it. Null when the backend offers no such ports.
    virtual TMidiInputBase* createVirtualInput(const OxString& /*name*/) { return nullptr; }
    // Why the backend can list no ports at all (its system service is missing or refused
    // us), with what to do about it, in one line; empty while it works.
    virtual OxString serviceProblem() { return OxString(); }

    // Deletes cached descriptors from the end down to `count`; with `fill`, pads with nulls.
    void SetCacheCount(int isInput, int count, int fill);
    // Enumerates again unless the cache was asked for less than 1.5 s ago.
    void requireCache();
    // The next requireCache() enumerates, however recently the cache was asked for.
    void invalidateCache() { lastCacheAccess.store(0); }
    // 1 once after change(), then 0.
    int hasChanged() { return changed.exchange(0); }

    void setListener(Listener* l) { listener.store(l); }
    Listener* getListener() const { return listener.load(); }

protected:
    // The clock of the cache lifetime; a test backend may drive it by hand.
    virtual unsigned currentMilliTime();

private:
    OxOwnedList<MidiDeviceDescriptor*>& cacheOf(int isInput) {
        return isInput ? inputCache : outputCache;
    }
    void rebuildCache(int isInput, OxList<MidiDeviceDescriptor*>& renamed);

    OxLock lock; // guards both caches
    // Read and written by every thread that asks for the cache.
    std::atomic<unsigned> lastCacheAccess{0};
    OxOwnedList<MidiDeviceDescriptor*> inputCache;
    OxOwnedList<MidiDeviceDescriptor*> outputCache;
    std::atomic<int> changed{0};
    // Set by the manager's thread, read by port objects on the threads that open them.
    std::atomic<Listener*> listener{nullptr};
};

} // namespace Lk
