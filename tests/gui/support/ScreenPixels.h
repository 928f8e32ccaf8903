#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

// A digest of the pixels that the X server holds for an area of a native window: what is on
// the screen, not what a component would paint. Any thread may call it; each reads through
// an X connection of its own.
unsigned long screenDigest(void* nativeWindow, juce::Rectangle<int> area);
