#pragma once

#include "midi/MidiPortState.h"

#include <juce_core/juce_core.h>

// What a managed port is doing now, in the words the port dialog and the lights show:
// "open", "pending: <why its last open failed>", "absent (not plugged in)" and so on.
juce::String portStateText(const Lk::MidiPortState& state);
