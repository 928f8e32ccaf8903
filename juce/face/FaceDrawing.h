#pragma once
// The module's front panel, drawn by code: the window's whole face. The build renders it
// to "background.png"; the program draws it again at the window's scale, so it stays sharp
// however large the window is shown.
// Button, display and selector positions match the controls the main panel lays over it.

#include <juce_graphics/juce_graphics.h>

namespace FaceDrawing {

constexpr int WIDTH = 650;
constexpr int HEIGHT = 478;
// The centres of the activity lights beside the MIDI IN and MIDI THRU sockets: the face
// draws their unlit lenses, the main panel lays the lights over them.
constexpr int IN_LIGHT_X = 378;
constexpr int THRU_LIGHT_X = 468;
constexpr int LIGHT_Y = 368;
// The maker's name: within the main panel's web link (336, 16, 231, 77), left of the right
// "SELECT DEVICE" button (from x 482), which lies over that link.
const juce::Rectangle<int> BRAND_AREA(338, 18, 140, 50);

// Draws the face over (0, 0, WIDTH, HEIGHT) of `g`, at whatever scale `g` draws.
void draw(juce::Graphics& g);

} // namespace FaceDrawing
