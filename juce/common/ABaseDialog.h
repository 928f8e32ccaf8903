#pragma once

#include <juce_gui_basics/juce_gui_basics.h>

// The base of the application's dialogs: builds its content on first show, centres itself
// over its parent's window, fades in and out and may run modally. Showing and hiding may
// be asked for from any thread; the work is done on the message thread.
class ABaseDialog : public juce::DialogWindow, public juce::AsyncUpdater {
public:
    ABaseDialog(const juce::String& title, juce::Component* parent, bool modal);
    ~ABaseDialog() override;

    void init();
    void reposition();
    virtual void showTheDialog(bool reposition);
    void setVisible(bool visible) override;
    void showWindow();
    void hideWindow();
    void closeButtonPressed() override;

protected:
    // Returns the content component, created on the first call; the window owns it.
    virtual juce::Component* initContent() = 0;
    virtual void setWindowResizable() = 0;
    virtual int getPreferredContentWidth() = 0;
    virtual int getPreferredContentHeight() = 0;
    void handleAsyncUpdate() override;

    bool modal;
    juce::Component* parent;

private:
    enum class Request { none, show, hide };
    // Whether this thread may touch the window now, or must leave it to the message thread.
    bool mustDefer() const;
    // Fades the window in (show) or out (hide), or leaves that to the message thread.
    void changeVisibility(Request request);

    bool inTransition = false;
    std::atomic<Request> pendingRequest{Request::none};
};
