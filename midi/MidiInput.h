#pragma once

#include "midi/MidiDevice.h"

#include <atomic>

namespace Lk {

class TMidiInputBase;

class TMidiDeviceDataListener {
public:
    virtual ~TMidiDeviceDataListener() = default;
    // One complete message, System Exclusive chunk or real-time byte; `data` is valid only
    // during the call. Called on the backend's receive thread.
    virtual void OnMidiDeviceMessage(TMidiInputBase* port, unsigned long long timestamp,
                                     const unsigned char* data, int length) = 0;
};

// An input port: cuts the bytes that the backend receives into messages and hands each to
// the data listener. The receive path allocates nothing and takes only this port's use
// lock (ReceiveScope), which nothing but Close contends for.
class TMidiInputBase : public TMidiDeviceBase {
public:
    // A buffer of this length is delivered unchanged: long System Exclusive messages
    // arrive in chunks, and the buffer never grows.
    static constexpr int MAX_CHUNK = 2048;

    // Held by the backend's receive thread while it feeds this port, so that the parser
    // is never reset or freed under it. Enter it while whatever keeps the port object
    // alive (the backend's port table lock) is held.
    using ReceiveScope = UseScope;

    explicit TMidiInputBase(MidiDeviceDescriptor* descriptor);

    // Milliseconds since startTime; backends with packet times override it. Read once per
    // packet: every message of a packet carries the packet's time.
    virtual unsigned long long getTimestamp();
    virtual int GetActiveSensing() const { return activeSensing.load(std::memory_order_relaxed); }
    virtual void SetActiveSensing(int pass) { activeSensing.store(pass); }
    virtual int GetTimingClock() const { return timingClock.load(std::memory_order_relaxed); }
    virtual void SetTimingClock(int pass) { timingClock.store(pass); }
    virtual void SetDataListener(TMidiDeviceDataListener* l) { dataListener.store(l); }
    // Forgets a message under assembly once the backend no longer delivers.
    void onClose() override;

    // Returns the number of bytes delivered (1 for a dropped real-time byte).
    int parseAndDispatch(unsigned char byte);
    // One packet of the backend; -1 without a data listener (nothing is parsed then).
    int parseAndDispatch(const unsigned char* data, int length);

protected:
    unsigned long long startTime = 0;

private:
    enum ParserState { Idle = 0, TwoByteMessage = 1, ThreeByteMessage = 2, SystemExclusive = 3 };
    static constexpr int BUFFER_GROWTH = 100;

    // Each returns how many packet bytes it took (0: the byte parser goes on) and adds
    // the bytes it delivered to `delivered`.
    int deliverWholeChannelMessage(const unsigned char* p, int available, int& delivered);
    int appendSystemExclusiveData(const unsigned char* p, int available, int& delivered);
    int parseByte(unsigned char byte);
    int parseStatusByte(unsigned char byte);
    int parseDataByte(unsigned char byte);
    bool passesFilter(unsigned char byte) const;
    void deliver(const unsigned char* data, int length);
    int deliverBuffer();
    void startMessage(unsigned char status);

    // Set by application threads, read by the receive thread.
    std::atomic<TMidiDeviceDataListener*> dataListener{nullptr};
    std::atomic<int> activeSensing{1};
    std::atomic<int> timingClock{1};
    // Parser state: used only by the thread that holds the use lock.
    OxMemBlock<unsigned char> buffer{BUFFER_GROWTH};
    int state = Idle;
    unsigned char runningStatus = 0;
    unsigned long long deliveryTime = 0; // of the packet being parsed
};

} // namespace Lk
