#pragma once

#include "midi/MidiInput.h"
#include "midi/MidiManagerListeners.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/Recorder.h"

namespace Lk {

// One message a data listener was given.
struct ReceivedMessage {
    int port = -1; // the manager's index of the input; -1 from a port object
    unsigned long long time = 0;
    dokatest::Bytes bytes;
};

// Keeps every message it is given, as a port object's or as the manager's data listener;
// read on another thread than the one that delivers.
class MessageRecorder : public TMidiDeviceDataListener,
                        public MidiManagerDataListener,
                        public dokatest::Recorder<ReceivedMessage> {
public:
    void OnMidiDeviceMessage(TMidiInputBase*, unsigned long long time, const unsigned char* data,
                             int length) override {
        add({-1, time, dokatest::Bytes(data, data + length)});
    }
    void OnMidiMessage(int port, unsigned long long time, const unsigned char* data, int length,
                       int&) override {
        add({port, time, dokatest::Bytes(data, data + length)});
    }

    // The bytes of the messages so far, which are forgotten here.
    std::vector<dokatest::Bytes> takeBytes() {
        std::vector<dokatest::Bytes> bytes;
        for (ReceivedMessage& message : take())
            bytes.push_back(std::move(message.bytes));
        return bytes;
    }
};

} // namespace Lk
