#pragma once

#include "platform/OxString.h"

namespace Lk {

// Told about opens, closes and failures of managed ports; a port is given by its table
// index and isInput (1 input, 0 output), -1 for a bad index.
class MidiManagerDeviceControlListener {
public:
    virtual ~MidiManagerDeviceControlListener() = default;
    virtual void OnBeforeOpenMidiDevice(int, int) {}
    virtual void OnAfterOpenMidiDevice(int index, int isInput) = 0;
    virtual void OnBeforeCloseMidiDevice(int, int) {}
    virtual void OnAfterCloseMidiDevice(int, int) {}
    virtual void OnMidiStringMessage(int, int, const OxString&) {}
    virtual void OnMidiErrorMessage(int index, int isInput, const OxString& text) = 0;
    // Its MidiPortState changed while it stayed open.
    virtual void OnMidiPortStateChanged(int, int) {}
};

// Told when the port tables have changed.
class TMidiDeviceListListener {
public:
    virtual ~TMidiDeviceListListener() = default;
    virtual void OnMidiDeviceListChanged() = 0;
};

// The application's receiver of all input, called on the receive thread; setting
// `handled` keeps the message from being forwarded to the thru ports.
class MidiManagerDataListener {
public:
    virtual ~MidiManagerDataListener() = default;
    virtual void OnMidiMessage(int portIndex, unsigned long long timestamp,
                               const unsigned char* data, int length, int& handled) = 0;
    // The message just given to OnMidiMessage was taken by at least one thru port.
    virtual void OnMidiForwarded() {}
};

} // namespace Lk
