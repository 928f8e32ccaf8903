#pragma once

#include "platform/OxString.h"

namespace Lk {

class MidiDeviceFactory;
class TMidiDeviceBase;

// One port's identity: the backend that lists it, its direction, where the backend lists
// it, and the texts that recognise it again after the backend's list has changed. Every
// holder owns its own copy (Clone); one that others read is shared and never changed, only
// replaced, so that a reader keeps the one it holds.
class MidiDeviceDescriptor {
public:
    MidiDeviceDescriptor() = default;
    MidiDeviceDescriptor(MidiDeviceFactory* factory, int isInput, int index, const OxString& name,
                         const OxString& interface, const OxString& serial,
                         const OxString& publicName);
    MidiDeviceDescriptor(const MidiDeviceDescriptor&) = default;
    MidiDeviceDescriptor& operator=(const MidiDeviceDescriptor&) = default;

    virtual void AssignFrom(const MidiDeviceDescriptor& other);
    virtual ~MidiDeviceDescriptor() = default;
    virtual MidiDeviceDescriptor* Clone() const;
    // Is `other` the same port, possibly listed at another position now?
    virtual int Matches(const MidiDeviceDescriptor* other) const;
    // Is `other` the opposite-direction port of the same device?
    virtual int isPairOf(const MidiDeviceDescriptor* other, int useNormalizedNames) const;
    // Identical in every field, so that a copy can be skipped.
    virtual int IsEqual(const MidiDeviceDescriptor* other) const;

    // The name shown to users and used to find the port by name: "Keys (2)" for the
    // second of several ports named "Keys".
    OxString GetName() const;
    const OxString& GetRawName() const { return name; }
    unsigned GetType() const;
    void InvalidateSerialAndInterface();
    // A new port object from the factory, or null when the direction does not fit.
    TMidiDeviceBase* CreateInputDevice() const;
    TMidiDeviceBase* CreateOutputDevice() const;

    MidiDeviceFactory* factory = nullptr; // not owned; may be null
    int isInput = 0;
    int index = 0; // position in the backend's enumeration; -1 when made from settings
    OxString name;
    OxString qualifier;
    int dupNumber = 0;  // 0: unique name; 1, 2, ...: position among equally named ports
    OxString serial;    // identity of the physical device; may be empty
    OxString interface; // identity of the port group inside the device; may be empty
    OxString publicName;
    // The backend's own address of the port (for example a sequencer client and port),
    // which stays right when enumeration positions shift; -1 when the backend has none.
    long long address = -1;
};

} // namespace Lk
