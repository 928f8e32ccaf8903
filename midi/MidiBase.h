#pragma once

// Descriptors, factories and port objects: what a MIDI backend implements.
#include "midi/MidiDevice.h"
#include "midi/MidiDeviceDescriptor.h"
#include "midi/MidiDeviceFactory.h"
#include "midi/MidiInput.h"
