#pragma once

#include "juce/common/SystemUtils.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

// Runs the message loop until `condition` holds or the deadline passes.
inline bool pumpUntil(const std::function<bool()>& condition, unsigned timeoutMs = 10000) {
    return dokatest::waitUntil(
        condition, timeoutMs, [] { juce::MessageManager::getInstance()->runDispatchLoopUntil(5); });
}

inline void pumpFor(int ms) {
    juce::MessageManager::getInstance()->runDispatchLoopUntil(ms);
}

// Acts on a dialog from inside its modal loop. Once the dialog runs modally and shows, the
// steps are tried one per tick of 10 ms (so that what a step set off has been handled before
// the next one), each again until it returns true. A script that does not get through in
// time closes the dialog, so that the modal loop ends and the test can say where it stopped.
class ModalScript : private juce::Timer {
public:
    using Step = std::function<bool()>;

    ModalScript(juce::DocumentWindow& dialog, std::vector<Step> steps, int timeoutMs = 15000)
        : dialog(dialog), steps(std::move(steps)),
          deadline(juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs)) {
        startTimer(10);
    }
    // A single action.
    ModalScript(juce::DocumentWindow& dialog, std::function<void()> action)
        : ModalScript(dialog, std::vector<Step>{[action] {
                          action();
                          return true;
                      }}) {}

    bool finished() const { return next == steps.size(); }
    size_t stoppedAt() const { return next; }
    // Runs the message loop until the script is through and the dialog has left its loop.
    bool runUntilClosed() {
        return pumpUntil([this] { return (finished() || gaveUp) && !dialog.isCurrentlyModal(); },
                         20000) &&
               finished();
    }

private:
    void timerCallback() override {
        if (!running)
            running = dialog.isCurrentlyModal() && dialog.isVisible();
        else if (steps[next]())
            ++next;
        if (finished()) {
            stopTimer();
        } else if (juce::Time::getMillisecondCounter() > deadline) {
            gaveUp = true;
            stopTimer();
            if (dialog.isCurrentlyModal())
                dialog.closeButtonPressed();
        }
    }

    juce::DocumentWindow& dialog;
    std::vector<Step> steps;
    juce::uint32 deadline;
    size_t next = 0;
    bool running = false;
    bool gaveUp = false;
};

// Writes a picture of the component into the build tree's screenshot folder.
inline juce::Image saveScreenshot(juce::Component& component, const juce::String& name) {
    const juce::Image image = component.createComponentSnapshot(component.getLocalBounds());
    const juce::File folder(DOKA_SCREENSHOT_DIR);
    folder.createDirectory();
    const juce::File file = folder.getChildFile(name + ".png");
    file.deleteFile();
    juce::FileOutputStream stream(file);
    juce::PNGImageFormat().writeImageToStream(image, stream);
    return image;
}

// Counts the pixels of the display's amber within the area.
inline int countAmberPixels(const juce::Image& image, juce::Rectangle<int> area) {
    int amber = 0;
    const juce::Image::BitmapData pixels(image, juce::Image::BitmapData::readOnly);
    for (int y = area.getY(); y < area.getBottom() && y < image.getHeight(); ++y)
        for (int x = area.getX(); x < area.getRight() && x < image.getWidth(); ++x) {
            const juce::Colour c = pixels.getPixelColour(x, y);
            if (c.getRed() > 200 && c.getGreen() > 130 && c.getGreen() < 215 && c.getBlue() < 80)
                ++amber;
        }
    return amber;
}

// Makes the program open files and pages with a stand-in for xdg-open that writes its
// arguments, one a line, to the folder's file "args" and exits with $DOKA_OPEN_STATUS.
inline void recordOpens(const dokatest::TempDir& folder) {
    folder.write("opener", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                               folder.file("args") + "'\nexit ${DOKA_OPEN_STATUS:-0}\n");
    ::chmod(folder.file("opener").c_str(), 0755);
    Lk::setOpenCommand(folder.file("opener").c_str());
}
