#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

// A plain area of one colour (separator lines of the port dialog).
class SolidComponent : public juce::Component {
public:
    explicit SolidComponent(juce::Colour c) : colour(c) {}
    void paint(juce::Graphics& g) override { g.fillAll(colour); }

private:
    juce::Colour colour;
};
