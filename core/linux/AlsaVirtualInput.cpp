#include "core/linux/AlsaVirtualInput.h"

#include "core/linux/AlsaOpen.h"
#include "core/linux/AlsaSequencer.h"

namespace Lk {

int AlsaVirtualInput::OpenImpl(OxStringList* errors) {
    int error = 0;
    std::shared_ptr<AlsaSequencer> shared = AlsaSequencer::shared(&error);
    const int result =
        shared ? shared->openVirtualInput(this, GetDescriptor()->GetName().c_str()) : error;
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

} // namespace Lk
