#include "juce/common/PortStateText.h"

#include "juce/common/JuceUtils.h"

juce::String portStateText(const Lk::MidiPortState& state) {
    switch (state.status) {
    case Lk::MidiPortStatus::notChosen:
        return "no port chosen";
    case Lk::MidiPortStatus::absent:
        return "absent (not plugged in)";
    case Lk::MidiPortStatus::closed:
        return "closed";
    case Lk::MidiPortStatus::open:
        return state.dropping ? "dropping: the output is slower than the input" : "open";
    case Lk::MidiPortStatus::pending:
        break;
    }
    const juce::String error = Lk::JuceStringFrom(state.lastError).trim();
    return error.isEmpty() ? juce::String("pending")
                           : "pending: " + error.replace("\n", " / ").replaceCharacter('\r', ' ');
}
