#pragma once

#include "juce/common/PictureAtScale.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

// The main window's content: paints the background picture, which also gives the window
// its size, and lets the user drag the window by that background.
class OxContentBase : public juce::Component, public juce::AsyncUpdater {
public:
    static constexpr int NO_DRAG = -50000;

    OxContentBase();
    ~OxContentBase() override;

    virtual void createComponents();
    virtual bool init(const juce::String& commandLine);
    virtual void anotherInstanceStarted(const juce::String&) {}
    virtual void start(bool) { started = true; }
    virtual bool canQuit() { return true; }
    virtual void close() {}
    virtual void enableButtons() {}
    virtual bool isResizable() { return false; }
    virtual bool showWindowOnStart();
    void handleAsyncUpdate() override;

    void mouseDown(const juce::MouseEvent& e) override;
    void mouseDrag(const juce::MouseEvent& e) override;
    void mouseUp(const juce::MouseEvent& e) override;
    void mouseDoubleClick(const juce::MouseEvent& e) override;
    virtual void minimisationStateChanged(bool) {}
    void paint(juce::Graphics& g) override;

    // An invisible area over the picture that opens the URL; the caller places and owns it.
    juce::HyperlinkButton* createLinkButton(const juce::String& url);

    // The background picture drawn by code in the picture's coordinates. It stands in for
    // the picture wherever the content is shown at another pixel scale (a larger window
    // scale, a HiDPI display), drawn at that scale so that it stays sharp.
    void setScalableBackground(PictureAtScale::DrawFunction draw, int width, int height);
    PictureAtScale* getScalableBackground() const { return scalableBackground.get(); }

    int getPreferredWidth() const { return preferredWidth; }
    int getPreferredHeight() const { return preferredHeight; }
    bool isStarted() const { return started; }

protected:
    std::unique_ptr<juce::Drawable> background;
    std::unique_ptr<PictureAtScale> scalableBackground;
    int preferredWidth = 365;
    int preferredHeight = 255;
    std::atomic<bool> repaintPending{false};
    std::atomic<bool> enableButtonsPending{false};
    bool started = false;
    int dragStartX = NO_DRAG;
    int dragStartY = NO_DRAG;
    bool startMinimised = false;

private:
    void moveWindowWithDrag(const juce::MouseEvent& e);
};
