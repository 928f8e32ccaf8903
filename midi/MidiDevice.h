#pragma once

#include "midi/MidiDeviceDescriptor.h"
#include "platform/OxList.h"
#include "platform/OxLock.h"

#include <atomic>
#include <memory>

namespace Lk {

class MidiManagerDev;
class TMidiOutputBase;

// Total length of a MIDI message that starts with `status`; 0 when the length is not
// fixed (System Exclusive, undefined status bytes) or `status` is no status byte.
int ShortMidiMessageLength(int status);

// An openable MIDI port made by a factory for one descriptor. Open and Close may come from
// any application thread; the backend's OpenImpl and CloseImpl run under the port lock.
class TMidiDeviceBase {
public:
    // Held by the backend while it uses the platform port, to send or to feed received
    // bytes: Close waits until the scope is left, so the port is never reset or disposed
    // under it.
    class UseScope {
    public:
        explicit UseScope(TMidiDeviceBase& port) : port(port) { port.useLock.Enter(); }
        UseScope(const UseScope&) = delete;
        UseScope& operator=(const UseScope&) = delete;
        ~UseScope() { port.useLock.Leave(); }
        // False once Close has begun: the backend must then neither send nor feed.
        bool portIsOpen() const { return port.IsOpen() != 0; }

    private:
        TMidiDeviceBase& port;
    };

    // Takes ownership of `descriptor` (null gives an empty descriptor).
    explicit TMidiDeviceBase(MidiDeviceDescriptor* descriptor);
    TMidiDeviceBase(const TMidiDeviceBase&) = delete;
    TMidiDeviceBase& operator=(const TMidiDeviceBase&) = delete;

    // Opens the platform port and sets the handle; may append texts to `errors` (may be
    // null). 1 on success.
    virtual int OpenImpl(OxStringList* errors) = 0;
    // Closes the platform port; when it returns, the backend delivers nothing more.
    virtual int CloseImpl(void* handle) = 0;
    // Called by Close under the port lock while the port still counts as open: a backend
    // whose platform still holds input for the port hands it over here, so that nothing
    // that arrived before the close is lost.
    virtual void deliverPendingInput() {}
    virtual void onOpen() {}
    virtual void onClose() {}
    // The port must be closed by then (backends close it in their own destructor).
    virtual ~TMidiDeviceBase();

    // 1 when the port is open afterwards; reports the open to the factory's listener.
    int Open(OxStringList* errors);
    // Returns once the backend delivers nothing more and no delivery or send is in
    // progress: the caller must not hold a lock that the data listener takes.
    void Close();
    int IsOpen() const { return handle.load() != nullptr; }
    // True when the platform port this open port is connected to went away: the connection
    // does not come back by itself, not even when a port appears at the same address.
    virtual bool isConnectionLost() const { return false; }
    void* GetHandle() const { return handle.load(); }

    // Shared, so that a descriptor replaced meanwhile stays valid while any thread holds it.
    std::shared_ptr<const MidiDeviceDescriptor> GetDescriptor() const {
        return std::atomic_load(&descriptor);
    }
    // Keeps a copy of `d` unless it equals the current descriptor.
    void SetDescriptor(const MidiDeviceDescriptor* d);

    // Written by the manager when it adopts the port (also on the timer thread), read by
    // the receive thread for every message.
    std::atomic<int> managerIndex{0};
    std::atomic<MidiManagerDev*> managerEntry{nullptr};

protected:
    // For OpenImpl: the platform's handle of the open port, never null. An OpenImpl that
    // sets it before its last step (so that the port counts as open when input begins)
    // sets it back to null when that step fails.
    void setHandle(void* h) { handle.store(h); }
    OxLock lock;
    // Held by a UseScope; onClose() takes it to wait for a use in progress.
    OxLock useLock;

private:
    // Replaced by the manager (on any thread), read by the send and receive threads.
    std::shared_ptr<const MidiDeviceDescriptor> descriptor;
    // Non-null while open; read by the receive thread to stop delivery at once on Close.
    std::atomic<void*> handle{nullptr};
};

// Asked repeatedly while a System Exclusive send is waited for; clearing *keepWaiting
// ends the wait (the send goes on without the waiter).
class TMidiOutWaitCallback {
public:
    virtual ~TMidiOutWaitCallback() = default;
    virtual void OnMidiOutWait(TMidiOutputBase* port, int* keepWaiting) = 0;
};

// An output port. Sends may come from any thread, the thru forwarding on the receive
// thread among them.
class TMidiOutputBase : public TMidiDeviceBase {
public:
    // Held by the backend's send operations; a send in a closing port fails.
    using SendScope = UseScope;

    using TMidiDeviceBase::TMidiDeviceBase;

    virtual int SendShort(unsigned char status, unsigned char data1, unsigned char data2) = 0;
    // The status is the lowest byte of `message`, then the first and second data byte.
    virtual int SendShort(unsigned int message);
    virtual int SendLong(const unsigned char* data, int length);
    virtual int SendLongWait(const unsigned char* data, int length,
                             TMidiOutWaitCallback* callback) = 0;
    virtual int QueuedLongMessages() { return 0; }
    // True while the port drops messages because they come faster than it can send them.
    virtual bool isDropping() const { return false; }
    // Waits for a send in progress.
    void onClose() override;
};

} // namespace Lk
