// A bare JUCE window with two text editors, built against the same toolkit as the program:
// the baseline that scripts/measure-app.sh prints the program's idle figures beside.
#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

namespace {

class TwoEditors : public juce::Component {
public:
    TwoEditors() {
        addAndMakeVisible(first);
        addAndMakeVisible(second);
        setSize(400, 120);
    }
    void resized() override {
        first.setBounds(10, 10, 380, 40);
        second.setBounds(10, 70, 380, 40);
    }

private:
    juce::TextEditor first, second;
};

class BareWindow : public juce::DocumentWindow {
public:
    BareWindow() : juce::DocumentWindow("Bare JUCE window", juce::Colours::lightgrey, allButtons) {
        setUsingNativeTitleBar(true);
        setContentOwned(new TwoEditors(), true);
        setVisible(true);
    }
    void closeButtonPressed() override { juce::JUCEApplication::quit(); }
};

class BareWindowApplication : public juce::JUCEApplication {
public:
    const juce::String getApplicationName() override { return "Bare JUCE window"; }
    const juce::String getApplicationVersion() override { return "1.0"; }
    void initialise(const juce::String&) override { window = std::make_unique<BareWindow>(); }
    void shutdown() override { window.reset(); }

private:
    std::unique_ptr<BareWindow> window;
};

} // namespace

START_JUCE_APPLICATION(BareWindowApplication)
