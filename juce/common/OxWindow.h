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

protected:
    virtual OxContentBase* createContentPanel() = 0;
    void handleAsyncUpdate() override;

private:
    void initImpl(const juce::String& commandLine);

    OxContentBase* content = nullptr; // owned by the window's content slot
    bool borderless = false;
    bool startPending = false;
    std::atomic<bool> hidePending{false};
};
