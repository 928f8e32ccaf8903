#pragma once

#include <juce_graphics/juce_graphics.h>

// The sizes the main window is offered in, in percent of its content's own size. Steps of
// 50 % keep a face of even width and height on whole pixels at every step.
namespace DisplayScale {

constexpr int MIN_PERCENT = 100;
constexpr int MAX_PERCENT = 400;
constexpr int STEPS[] = {100, 150, 200, 250, 300, 350, 400};

// A stored value within MIN_PERCENT … MAX_PERCENT as it is, anything else 100.
int fromStored(int percent);

// The next step above or below `percent`; the same value at the ends.
int larger(int percent);
int smaller(int percent);

// `size` at `percent`, rounded to whole pixels.
juce::Point<int> scaledSize(juce::Point<int> size, int percent);

// The largest of `percent` and the steps below it at which `size` fits into `area`;
// MIN_PERCENT when none does.
int largestFitting(int percent, juce::Point<int> size, juce::Rectangle<int> area);

} // namespace DisplayScale
