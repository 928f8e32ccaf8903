#pragma once

#include "midi/MidiPortState.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>

// A light beside a port's socket on the face: dark while no port is chosen or the port is
// absent, dim while it is open, red while it is pending after a failed open or drops
// messages, and a short bright flash when a message passes. The face beneath draws the unlit
// lens; the light draws only what shines. Nothing runs while no message passes: a message
// sets a flag and wakes the message thread only when the flag was clear; a flash stays lit
// for FLASH_MS, then dark for FLASH_MS, and what passes meanwhile waits in the flag for the
// next flash. So a flood costs at most two repaints of the light per 2 * FLASH_MS.
class ActivityLight : public juce::Component,
                      public juce::SettableTooltipClient,
                      private juce::AsyncUpdater,
                      private juce::Timer {
public:
    enum class Look { dark, dim, red, bright };
    static constexpr int FLASH_MS = 50;
    static constexpr int MAX_REPAINTS_PER_SECOND = 1000 / FLASH_MS;

    // `socket` begins the tooltip ("MIDI IN"); `flashMeaning` ends it while the port is open
    // ("a message arrives").
    ActivityLight(const juce::String& socket, const juce::String& flashMeaning);
    ~ActivityLight() override;

    static Look lookFor(const Lk::MidiPortState& state);
    // The chosen port, by name (empty for none), and what it is doing. Message thread.
    void setState(const juce::String& port, const Lk::MidiPortState& state);
    // A message passed. Any thread; it neither waits nor allocates.
    void messagePassed();
    // What the light shows now: bright while a flash is lit.
    Look getLook() const { return lit ? Look::bright : steady; }

    void paint(juce::Graphics& g) override;

private:
    void handleAsyncUpdate() override;
    void timerCallback() override;
    void flash();

    const juce::String socket;
    const juce::String flashMeaning;
    Look steady = Look::dark;
    bool lit = false;
    std::atomic<bool> passed{false}; // set by any thread, taken by a flash
};
