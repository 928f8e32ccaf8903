#include "juce/common/ActivityLight.h"

#include "juce/common/PortStateText.h"

namespace {
const juce::Colour LED_GREEN(0xff4dff6a);
const juce::Colour LED_RED(0xffff3b2f);
const float LENS_DIAMETER = 9.0f;
} // namespace

ActivityLight::ActivityLight(const juce::String& s, const juce::String& meaning)
    : socket(s), flashMeaning(meaning) {
    setState({}, {});
}

ActivityLight::~ActivityLight() {
    cancelPendingUpdate();
    stopTimer();
}

ActivityLight::Look ActivityLight::lookFor(const Lk::MidiPortState& state) {
    switch (state.status) {
    case Lk::MidiPortStatus::open:
        return state.dropping ? Look::red : Look::dim;
    case Lk::MidiPortStatus::pending:
        return Look::red;
    default:
        return Look::dark;
    }
}

void ActivityLight::setState(const juce::String& port, const Lk::MidiPortState& state) {
    juce::String tip =
        socket + (port.isEmpty() ? "" : " \"" + port + "\"") + ": " + portStateText(state);
    if (lookFor(state) == Look::dim)
        tip << "; the light flashes when " << flashMeaning;
    setTooltip(tip);
    if (lookFor(state) == steady)
        return;
    steady = lookFor(state);
    if (!lit)
        repaint();
}

void ActivityLight::messagePassed() {
    if (!passed.exchange(true))
        triggerAsyncUpdate();
}

void ActivityLight::handleAsyncUpdate() {
    // While a flash or the dark after it runs, the flag waits for the timer.
    if (!isTimerRunning())
        flash();
}

void ActivityLight::flash() {
    passed = false;
    lit = true;
    repaint();
    startTimer(FLASH_MS);
}

void ActivityLight::timerCallback() {
    if (lit) {
        lit = false; // and dark for FLASH_MS, whatever passes meanwhile
        repaint();
    } else if (passed.load()) {
        flash();
    } else {
        stopTimer();
    }
}

void ActivityLight::paint(juce::Graphics& g) {
    const Look look = getLook();
    if (look == Look::dark)
        return;
    const juce::Colour colour = look == Look::red ? LED_RED : LED_GREEN;
    const auto centre = getLocalBounds().toFloat().getCentre();
    const auto lens = juce::Rectangle<float>(LENS_DIAMETER, LENS_DIAMETER).withCentre(centre);
    if (look == Look::bright) {
        const float glow = getWidth() / 2.0f;
        g.setGradientFill(juce::ColourGradient(colour.withAlpha(0.8f), centre,
                                               colour.withAlpha(0.0f), centre.translated(glow, 0),
                                               true));
        g.fillEllipse(getLocalBounds().toFloat());
    }
    const float strength = look == Look::dim ? 0.35f : 1.0f;
    g.setGradientFill(juce::ColourGradient(
        colour.brighter(look == Look::bright ? 1.5f : 0.6f).withAlpha(strength),
        centre.translated(-1.5f, -1.5f), colour.darker(0.5f).withAlpha(strength),
        lens.getBottomRight(), true));
    g.fillEllipse(lens);
}
