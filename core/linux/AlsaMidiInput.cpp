#include "core/linux/AlsaMidiInput.h"

#include "core/linux/AlsaOpen.h"

namespace Lk {

AlsaMidiInput::AlsaMidiInput(MidiDeviceDescriptor* descriptor) : TMidiInputBase(descriptor) {}

AlsaMidiInput::~AlsaMidiInput() {
    Close();
}

int AlsaMidiInput::OpenImpl(OxStringList* errors) {
    std::shared_ptr<AlsaSequencer> shared = alsaPrepareOpen(*GetDescriptor(), errors);
    if (!shared)
        return 0;
    const int result = shared->openInput(this, GetDescriptor()->address);
    if (result < 0) {
        if (errors != nullptr)
            errors->list.add(alsaOpenErrorText(*GetDescriptor(), result));
        return 0;
    }
    sequencer = shared;
    port = result;
    setHandle(sequencer.get());
    return 1;
}

int AlsaMidiInput::CloseImpl(void*) {
    if (sequencer && port >= 0)
        sequencer->closeInput(port);
    port = -1;
    return 1;
}

} // namespace Lk
