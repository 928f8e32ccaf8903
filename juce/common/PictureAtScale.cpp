#include "juce/common/PictureAtScale.h"

#include <cmath>

PictureAtScale::PictureAtScale(DrawFunction d, int w, int h)
    : draw(std::move(d)), width(w), height(h) {}

void PictureAtScale::paint(juce::Graphics& g) {
    const float scale = g.getInternalContext().getPhysicalPixelScaleFactor();
    if (!image.isValid() || scale != renderedScale) {
        image = render(scale);
        renderedScale = scale;
    }
    // Undoes the context's scale: one image pixel lands on one device pixel, a plain copy.
    g.drawImageTransformed(image, juce::AffineTransform::scale(1.0f / scale));
}

void PictureAtScale::release() {
    image = {};
    renderedScale = 0.0f;
}

juce::Image PictureAtScale::render(float scale) const {
    juce::Image picture(juce::Image::ARGB, static_cast<int>(std::ceil(width * scale)),
                        static_cast<int>(std::ceil(height * scale)), true);
    juce::Graphics g(picture);
    g.addTransform(juce::AffineTransform::scale(scale));
    draw(g);
    return picture;
}
