#pragma once

#include "core/hotplugwatcher/HotplugWatcher.h"
#include "midi/MidiManager.h"
#include "platform/OrvoSystem.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>
#include <gtest/gtest.h>

// Runs the message loop until `condition` holds or the deadline passes.
inline bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto deadline =
        juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs);
    while (!condition()) {
        if (juce::Time::getMillisecondCounter() > deadline)
            return false;
        juce::MessageManager::getInstance()->runDispatchLoopUntil(5);
    }
    return true;
}

inline void pumpFor(int ms) {
    juce::MessageManager::getInstance()->runDispatchLoopUntil(ms);
}

// Runs `action` on the message thread as soon as the loop is free, e.g. while a modal
// dialog runs its own loop.
inline void whenIdle(std::function<void()> action) {
    juce::MessageManager::callAsync(std::move(action));
}

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

// A temporary folder that also serves as HOME, so the settings land in it.
class TemporaryHome {
public:
    TemporaryHome()
        : folder(juce::File::createTempFile("doka-home")), previousHome(std::getenv("HOME")) {
        folder.createDirectory();
        setenv("HOME", folder.getFullPathName().toRawUTF8(), 1);
    }
    ~TemporaryHome() {
        setenv("HOME", previousHome.toRawUTF8(), 1);
        folder.deleteRecursively();
    }
    const juce::File& get() const { return folder; }

private:
    juce::File folder;
    juce::String previousHome;
};

// The MIDI library on the in-process backend, as the program would have it with a real one.
class MidiBackendFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Lk::HotplugWatcher::setSourceFactory([]() -> std::unique_ptr<Lk::HotplugSource> {
            return std::make_unique<FakeHotplugSource>();
        });
        installBackend();
    }
    void TearDown() override { Lk::OrvoSystem::shutdown(); }

    // After a shutdown (which deletes the backend with the manager) a new one is needed.
    void installBackend() {
        manager = Lk::MidiManager::instance();
        factory = new Lk::TestMidiFactory();
        factory->setClock(1000);
        manager->AddFactory(factory, 0);
    }
    // A refresh that sees the backend as it is now.
    void refresh() {
        factory->advanceClock(2 * Lk::MidiDeviceFactory::CACHE_LIFETIME_MS);
        manager->RefreshDevList(1, 1);
    }

    Lk::MidiManager* manager = nullptr;
    Lk::TestMidiFactory* factory = nullptr;
};
