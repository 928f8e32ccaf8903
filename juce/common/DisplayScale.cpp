#include "juce/common/DisplayScale.h"

#include <iterator>

namespace DisplayScale {

int fromStored(int percent) {
    return percent >= MIN_PERCENT && percent <= MAX_PERCENT ? percent : MIN_PERCENT;
}

int larger(int percent) {
    for (int step : STEPS)
        if (step > percent)
            return step;
    return fromStored(percent);
}

int smaller(int percent) {
    for (auto step = std::rbegin(STEPS); step != std::rend(STEPS); ++step)
        if (*step < percent)
            return *step;
    return fromStored(percent);
}

juce::Point<int> scaledSize(juce::Point<int> size, int percent) {
    return {juce::roundToInt(size.x * percent / 100.0), juce::roundToInt(size.y * percent / 100.0)};
}

int largestFitting(int percent, juce::Point<int> size, juce::Rectangle<int> area) {
    const auto fits = [&](int p) {
        const auto scaled = scaledSize(size, p);
        return scaled.x <= area.getWidth() && scaled.y <= area.getHeight();
    };
    percent = fromStored(percent);
    while (percent > MIN_PERCENT && !fits(percent))
        percent = smaller(percent);
    return percent;
}

} // namespace DisplayScale
