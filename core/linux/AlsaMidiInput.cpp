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
    sourceLost = false;
    int result = shared->openInput(this, GetDescriptor()->address, &sourceLost);
    if (result >= 0) {
        sequencer = shared;
        port = result;
        // Open before the subscription: the receive thread feeds open ports only, and the
        // source may send at once.
        setHandle(sequencer.get());
        if ((result = sequencer->subscribeInput(port)) >= 0)
            return 1;
        setHandle(nullptr);
        sequencer->closeInput(port);
        port = -1;
    }
    if (errors != nullptr)
        errors->list.add(alsaOpenErrorText(*GetDescriptor(), result));
    return 0;
}

void AlsaMidiInput::deliverPendingInput() {
    if (sequencer && port >= 0)
        sequencer->deliverPendingInput(port);
}

int AlsaMidiInput::CloseImpl(void*) {
    if (sequencer && port >= 0)
        sequencer->closeInput(port);
    port = -1;
    return 1;
}

} // namespace Lk
