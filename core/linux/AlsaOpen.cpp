#include "core/linux/AlsaOpen.h"

#include "core/linux/AlsaPorts.h"

namespace Lk {

namespace {

// The factory renames equally named ports of one device to "<name> <n>".
bool isNumberedForm(const OxString& stored, const OxString& listed) {
    if (!stored.startsWith(listed) || stored.length() < listed.length() + 2 ||
        stored[listed.length()] != ' ')
        return false;
    int number;
    return stored.parseInt(number, listed.length() + 1);
}

} // namespace

OxString alsaCannotOpenText(const MidiDeviceDescriptor& descriptor) {
    return OxString::format(descriptor.isInput ? "Cannot open MIDI input device \"%s\":"
                                               : "Cannot open MIDI output device \"%s\":",
                            descriptor.GetName().c_str());
}

OxString alsaOpenErrorText(const MidiDeviceDescriptor& descriptor, int error) {
    if (descriptor.isInput)
        return snd_strerror(error);
    return OxString::format("%s %s", alsaCannotOpenText(descriptor).c_str(), snd_strerror(error));
}

std::shared_ptr<AlsaSequencer> alsaPrepareOpen(const MidiDeviceDescriptor& descriptor,
                                               OxStringList* errors) {
    int error = 0;
    std::shared_ptr<AlsaSequencer> sequencer = AlsaSequencer::shared(&error);
    OxString text;
    AlsaPortIdentity listed;
    if (!sequencer)
        text = alsaOpenErrorText(descriptor, error);
    else if (!alsaLookUpPort(sequencer->handle(), sequencer->clientId(), descriptor.address,
                             descriptor.isInput, listed) ||
             !(listed.name.sameAs(descriptor.name, 0) ||
               isNumberedForm(descriptor.name, listed.name)))
        text = alsaCannotOpenText(descriptor);
    if (text.isEmpty())
        return sequencer;
    if (errors != nullptr)
        errors->list.add(text);
    return nullptr;
}

} // namespace Lk
