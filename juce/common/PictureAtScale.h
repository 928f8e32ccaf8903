#pragma once

#include <juce_graphics/juce_graphics.h>

#include <functional>

// A picture drawn by code, kept as an image at the pixel scale it was last shown at: a
// repaint at that scale only copies pixels, a new scale draws it afresh, so it is sharp at
// every window scale and display density instead of a stretched bitmap.
class PictureAtScale {
public:
    using DrawFunction = std::function<void(juce::Graphics&)>;

    // `draw` paints into (0, 0, width, height) of the context it is given.
    PictureAtScale(DrawFunction draw, int width, int height);

    // Draws the picture over (0, 0, width, height) at the context's pixel scale.
    void paint(juce::Graphics& g);
    // Lets the image go; the next paint draws it again.
    void release();
    // The pixel scale of the image kept, 0 when none is.
    float getRenderedScale() const { return renderedScale; }
    // A new image of the picture at `scale` image pixels per unit.
    juce::Image render(float scale) const;

private:
    DrawFunction draw;
    int width;
    int height;
    juce::Image image;
    float renderedScale = 0.0f;
};
