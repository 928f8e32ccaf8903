#pragma once

#include "midi/MidiInput.h"

#include <atomic>
#include <memory>

namespace Lk {

class AlsaSequencer;

// An input port: a port of the shared sequencer client subscribed from the source. The
// receive thread feeds it each event's bytes, stamped with the time of receipt.
class AlsaMidiInput : public TMidiInputBase {
public:
    explicit AlsaMidiInput(MidiDeviceDescriptor* descriptor);
    ~AlsaMidiInput() override;

    int OpenImpl(OxStringList* errors) override;
    int CloseImpl(void* handle) override;
    void deliverPendingInput() override;
    bool isConnectionLost() const override { return sourceLost; }
    // CLOCK_MONOTONIC nanoseconds at which the bytes being parsed arrived.
    unsigned long long getTimestamp() override { return receiptTime; }

    // On the receive thread, inside this port's receive scope.
    void receive(const unsigned char* bytes, int length, unsigned long long time) {
        receiptTime = time;
        parseAndDispatch(bytes, length);
    }

protected:
    std::shared_ptr<AlsaSequencer> sequencer; // kept until the object goes
    int port = -1;

private:
    unsigned long long receiptTime = 0;  // written and read inside the receive scope
    std::atomic<bool> sourceLost{false}; // set by the receive thread
};

} // namespace Lk
