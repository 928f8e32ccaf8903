#pragma once

#include "midi/MidiDeviceFactory.h"
#include "midi/MidiInput.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace Lk {

template <typename Base> class TestPort;

// What an output port of the test backend was given to send.
struct SentMidiMessage {
    std::vector<unsigned char> bytes;
    bool viaLong = false; // SendLong / SendLongWait rather than SendShort
};

// What an output port was given since the last clearSent, kept or not.
struct SentMidiTotals {
    size_t messages = 0;
    size_t bytes = 0;
};

// An in-process MIDI backend whose ports the tests plug, unplug, rename and make fail;
// inputs are fed as a receive thread feeds them, outputs record what they are given. A
// port's id never changes and is its descriptors' address. Any thread may feed and read
// back, but one input is fed from one thread at a time, as a platform delivers a port's
// packets in order.
class TestMidiFactory : public MidiDeviceFactory {
public:
    TestMidiFactory();
    ~TestMidiFactory() override;

    // Plugs a port in at the end of its direction's list; returns its id.
    int addPort(int isInput, const OxString& name, const OxString& serial = OxString(),
                const OxString& interface = OxString());
    // Unplugs a port: the port objects open on it lose their connection for good.
    void removePort(int id);
    // Plugs a removed port in again, at the end of the list as a real replug would.
    void replugPort(int id);
    void renamePort(int id, const OxString& name);
    // Makes every later open of the port fail with `errorText`; an empty text ends that.
    void failOpen(int id, const OxString& errorText);

    // A new, closed port object (TMidiInputBase or TMidiOutputBase) on the `position`th port
    // of its direction as listed now.
    template <typename PortObject> std::unique_ptr<PortObject> create(int position = 0) {
        OxOwnedList<MidiDeviceDescriptor*> list;
        GetDeviceList(std::is_same<PortObject, TMidiInputBase>::value, list);
        return std::unique_ptr<PortObject>(static_cast<PortObject*>(CreateDevice(list[position])));
    }

    // Feeds every port object open on input `id`, in packets of `packetSize` bytes (0: one
    // packet) stamped `timestamp` (0: the port's clock); returns how many were fed.
    int feed(int id, const unsigned char* data, int length, int packetSize = 0,
             unsigned long long timestamp = 0);
    int feed(int id, const std::vector<unsigned char>& bytes, int packetSize = 0) {
        return feed(id, bytes.data(), static_cast<int>(bytes.size()), packetSize);
    }
    // Whether createVirtualInput makes ports (by default it does), and their opens' error.
    void offerVirtualInputs(bool offer, const OxString& openError = OxString());
    // The id of the last virtual input made with that name, to feed it; 0 for none.
    int virtualInputId(const OxString& name) const;
    // Tells the factory's listener that every port object open on `id` was lost.
    void reportUnexpectedClose(int id);

    std::vector<SentMidiMessage> sentMessages(int id) const;
    // The bytes of each message sent to `id` since the last clearSent, which this is.
    std::vector<std::vector<unsigned char>> takeSent(int id);
    void clearSent(int id);
    SentMidiTotals sentTotals(int id) const;
    // With false, sends only count in the totals and allocate nothing.
    void keepSentMessages(bool keep) { keepSent.store(keep); }
    int openPortObjects(int id) const;

    // From now on the cache clock is set by hand, starting at `ms`.
    void setClock(unsigned ms);
    void advanceClock(unsigned ms) { clock += ms; }

    void recreateCache(int isInput, OxList<MidiDeviceDescriptor*>& list) override;
    int GetNumDevs(int isInput) override;
    unsigned GetType() override { return 0x54534554; } // "TEST", first letter lowest
    OxString GetTypeName(int isInput) override { return isInput ? "Test Input" : "Test Output"; }
    TMidiDeviceBase* CreateDevice(const MidiDeviceDescriptor* descriptor) override;
    // An input port of our own: never enumerated, fed like any other input by its id.
    TMidiInputBase* createVirtualInput(const OxString& name) override;
    OxString serviceProblem() override { return problem; }
    OxString problem; // set by the message thread, read by the dialog there

protected:
    unsigned currentMilliTime() override;

private:
    template <typename Base> friend class TestPort;
    friend class TestMidiInput;
    friend class TestMidiOutput;
    struct Port;

    // The caller holds portsMutex.
    Port* find(long long id) const;
    Port& newPort(int isInput, const OxString& name);
    std::vector<Port*> listed(int isInput) const;
    // Runs `change` on the port, if there is one, under portsMutex.
    void withPort(int id, const std::function<void(Port&)>& change);
    // For the port objects' OpenImpl and CloseImpl; `lost` is the port object's own mark,
    // set when its port is removed (read without a lock on the send and receive paths).
    Port* connect(TMidiDeviceBase* device, OxStringList* errors, std::atomic<bool>* lost);
    void disconnect(TMidiDeviceBase* device);
    int recordSent(Port* port, const unsigned char* data, int length, bool viaLong);

    mutable std::mutex portsMutex; // the port list and each port's open port objects
    std::vector<std::unique_ptr<Port>> ports;
    std::map<const TMidiDeviceBase*, std::atomic<bool>*> lostFlags; // of the open port objects
    int nextPosition = 0;         // enumeration order: a replugged port comes last
    mutable std::mutex sentMutex; // every port's sent messages
    std::atomic<bool> keepSent{true};
    bool virtualInputsOffered = true; // guarded by portsMutex
    OxString virtualInputError;       // guarded by portsMutex
    std::atomic<bool> manualClock{false};
    std::atomic<unsigned> clock{0};
};

} // namespace Lk
