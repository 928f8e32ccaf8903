#pragma once

#include "core/linux/AlsaSequencer.h"
#include "midi/MidiDeviceDescriptor.h"
#include "platform/OxList.h"

namespace Lk {

// The first step of opening a port: the shared client, and the port at the descriptor's
// address still listed under the descriptor's name (a stale address may by now belong to
// another device). Null with the error text appended to `errors` otherwise.
std::shared_ptr<AlsaSequencer> alsaPrepareOpen(const MidiDeviceDescriptor& descriptor,
                                               OxStringList* errors);

// "Cannot open MIDI input device "<name>":" or the output form.
OxString alsaCannotOpenText(const MidiDeviceDescriptor& descriptor);

// The text of an ALSA error in the form of the port's direction.
OxString alsaOpenErrorText(const MidiDeviceDescriptor& descriptor, int error);

} // namespace Lk
