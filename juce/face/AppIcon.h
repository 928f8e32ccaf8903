#pragma once
// The program's icon: the module's display in miniature, the panel's body around a dark
// glass with "DOKA" lit in amber. Drawn at the size asked for, so that the small sizes
// keep whole-pixel edges instead of being a blurred copy of the large one.

#include <juce_graphics/juce_graphics.h>

juce::Image drawAppIcon(int size);
