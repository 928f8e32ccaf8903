#pragma once

#include "juce/common/OxWindow.h"
#include "src/SingleInstance.h"

#include <memory>

// The program's window: borderless, its face is the content's background picture.
class AppWindow : public OxWindow {
public:
    explicit AppWindow(const juce::String& name);

protected:
    OxContentBase* createContentPanel() override;
};

class AppApplication : public juce::JUCEApplication {
public:
    static constexpr const char* NAME = "Fennic DOKA";
    static constexpr const char* VERSION = DOKA_VERSION;

    ~AppApplication() override;
    const juce::String getApplicationName() override { return NAME; }
    const juce::String getApplicationVersion() override { return VERSION; }
    // The toolkit's own check uses one lock for every user of the machine: ours is per user.
    bool moreThanOneInstanceAllowed() override { return true; }
    void initialise(const juce::String& commandLine) override;
    // Also runs in a second start, which made no window.
    void shutdown() override;
    void anotherInstanceStarted(const juce::String& commandLine) override;

private:
    std::unique_ptr<SingleInstance> instance; // held until the window has saved the settings
    std::unique_ptr<AppWindow> window;
};

// SIGTERM and SIGINT end the program as the Close button does: the message loop stops,
// the settings are saved and the dump file is closed. The handler only writes to a pipe
// that the message loop watches.
void installQuitSignalHandlers();
void removeQuitSignalHandlers();
