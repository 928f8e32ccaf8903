#include "midi/MidiDeviceDescriptor.h"

#include "midi/MidiDeviceFactory.h"
#include "midi/MidiPortNames.h"

namespace Lk {

namespace {

int factoriesCompatible(const MidiDeviceDescriptor& a, const MidiDeviceDescriptor& b) {
    return a.factory == nullptr || b.factory == nullptr || a.factory == b.factory;
}

int same(const OxString& a, const OxString& b) {
    return a.sameAs(b, 0);
}

int sameIgnoringCase(const OxString& a, const OxString& b) {
    return a.sameAs(b, 1);
}

} // namespace

MidiDeviceDescriptor::MidiDeviceDescriptor(MidiDeviceFactory* factory, int isInput, int index,
                                           const OxString& name, const OxString& interface,
                                           const OxString& serial, const OxString& publicName)
    : factory(factory), isInput(isInput), index(index), name(name), serial(serial),
      interface(interface), publicName(publicName) {}

void MidiDeviceDescriptor::AssignFrom(const MidiDeviceDescriptor& other) {
    MidiDeviceDescriptor::operator=(other);
}

MidiDeviceDescriptor* MidiDeviceDescriptor::Clone() const {
    auto* copy = new MidiDeviceDescriptor();
    copy->AssignFrom(*this);
    return copy;
}

int MidiDeviceDescriptor::Matches(const MidiDeviceDescriptor* other) const {
    if (other == nullptr || !factoriesCompatible(*this, *other) || !isInput != !other->isInput)
        return 0;
    if (!same(name, other->name) || !same(qualifier, other->qualifier))
        return 0;
    if (interface.isEmpty() && serial.isEmpty())
        return dupNumber == other->dupNumber;
    return sameIgnoringCase(interface, other->interface) && sameIgnoringCase(serial, other->serial);
}

int MidiDeviceDescriptor::isPairOf(const MidiDeviceDescriptor* other,
                                   int useNormalizedNames) const {
    if (other == nullptr || !factoriesCompatible(*this, *other) || !isInput == !other->isInput)
        return 0;
    if (serial.isNotEmpty() && same(serial, other->serial))
        return 1;
    if (!same(qualifier, other->qualifier))
        return 0;
    if (useNormalizedNames)
        return same(getNormalizedMIDIPortName(name, isInput),
                    getNormalizedMIDIPortName(other->name, other->isInput));
    return getPortNameCommonString(name, other->name).isNotEmpty() && dupNumber == other->dupNumber;
}

int MidiDeviceDescriptor::IsEqual(const MidiDeviceDescriptor* other) const {
    return other != nullptr && factory == other->factory && !isInput == !other->isInput &&
           dupNumber == other->dupNumber && index == other->index && address == other->address &&
           same(name, other->name) && same(qualifier, other->qualifier) &&
           same(interface, other->interface) && same(publicName, other->publicName) &&
           same(serial, other->serial);
}

OxString MidiDeviceDescriptor::GetName() const {
    if (dupNumber <= 1)
        return name;
    return OxString::format("%s (%d)", name.c_str(), dupNumber);
}

unsigned MidiDeviceDescriptor::GetType() const {
    return factory != nullptr ? factory->GetType() : 0;
}

void MidiDeviceDescriptor::InvalidateSerialAndInterface() {
    serial.clear();
    interface.clear();
}

TMidiDeviceBase* MidiDeviceDescriptor::CreateInputDevice() const {
    if (factory == nullptr || !isInput)
        return nullptr;
    return factory->CreateDevice(this);
}

TMidiDeviceBase* MidiDeviceDescriptor::CreateOutputDevice() const {
    if (factory == nullptr || isInput)
        return nullptr;
    return factory->CreateDevice(this);
}

} // namespace Lk
