#pragma once

#include "core/linux/AlsaMidiInput.h"

namespace Lk {

// An input port of the shared client that other programs find by its name and send to
// (a DAW, aplaymidi, aconnect): writable and subscribable by anybody. The receive thread
// feeds it what arrives from any sender, as it feeds an input subscribed from a source.
class AlsaVirtualInput : public AlsaMidiInput {
public:
    using AlsaMidiInput::AlsaMidiInput;

    int OpenImpl(OxStringList* errors) override;
};

} // namespace Lk
