#pragma once
// The colours of the module's front panel, shared by the face and the program's icon so
// that both show the same anodised body and amber display.

#include <juce_graphics/juce_graphics.h>

namespace FacePalette {

const juce::Colour PANEL_TOP(0xff34373b);
const juce::Colour PANEL_BOTTOM(0xff1b1d20);
const juce::Colour PRINT(0xffd9d6cc); // silk-screen white
const juce::Colour PRINT_DIM(0xff8e8b84);
const juce::Colour AMBER(0xffffbb00);
const juce::Colour BEZEL_TOP(0xff0b0c0d);
const juce::Colour BEZEL_BOTTOM(0xff2a2c2f);
const juce::Colour GLASS_TOP(0xff150d03);
const juce::Colour GLASS_BOTTOM(0xff070502);

} // namespace FacePalette
