#pragma once

#include "juce/common/JuceUtils.h"
#include "juce/common/OxContentBase.h"

// The main window: owns one content component and drives its life: build, init, show,
// start 20 ms later on the message thread, close before deletion.
class OxWindow : public juce::DocumentWindow,
                 public juce::Timer,
                 public Runnable,
                 public juce::AsyncUpdater {
public:
    static constexpr int START_DELAY_MS = 20;

    explicit OxWindow(const juce::String& name);
    ~OxWindow() override;

    // The first window constructed; null before and after its life.
    static OxWindow* getInstance();

    virtual void init(const juce::String& commandLine, bool borderless);
    virtual void anotherInstanceStarted(const juce::String& commandLine);
    void run(void* data, int value) override;
    void timerCallback() override;
    virtual void setMinimised(bool minimised) { juce::DocumentWindow::setMinimised(minimised); }
    void minimisationStateChanged(bool isNowMinimised) override;
    void paint(juce::Graphics& g) override;
    void closeButtonPressed() override;
    void hideWindow();
    void toForegroundDirectly();

    OxContentBase* getContent() const { return content; }
    bool isBorderless() const { return borderless; }

    // The content drawn at `percent` % of its own size (see DisplayScale; other values
    // give 100), the window sized to it and kept inside the user area of its display,
    // its top-left corner staying where it is when the window fits there.
    void setContentScale(int percent);
    int getContentScale() const { return scalePercent; }
    // The window's size at `percent` for the content's preferred size.
    juce::Point<int> getScaledSize(int percent) const;
    // The largest of `percent` and the steps below it at which the window fits its display.
    int getLargestFittingScale(int percent) const;
    // The user area of the display the window is on.
    juce::Rectangle<int> getDisplayArea() const;

protected:
    virtual OxContentBase* createContentPanel() = 0;
    void handleAsyncUpdate() override;

private:
    class ScaledHolder;

    void initImpl(const juce::String& commandLine);

    OxContentBase* content = nullptr; // owned by holder
    ScaledHolder* holder = nullptr;   // owned by the window's content slot
    int scalePercent = 100;
    bool borderless = false;
    bool startPending = false;
    std::atomic<bool> hidePending{false};
};
