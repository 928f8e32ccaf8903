#pragma once

#include "core/hotplugwatcher/HotplugWatcher.h"
#include "juce/common/JuceUtils.h"
#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"
#include "platform/OrvoSystem.h"
#include "src/AppContentPanel.h"
#include "src/AppMain.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/gui/support/GuiTestSupport.h"
#include "tests/midi/support/TestMidiFactory.h"
#include "tests/support/Recorder.h"
#include "tests/support/TempDir.h"

#include <cstdlib>

// The main window as the program opens it, with the MIDI library on the in-process backend
// and HOME in a temporary folder; message boxes are recorded instead of shown.
class AppWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOME", home.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", home.file(".config").c_str(), 1); // the autostart entry
        Lk::HotplugWatcher::setSourceFactory([]() -> std::unique_ptr<Lk::HotplugSource> {
            return std::make_unique<FakeHotplugSource>();
        });
        installBackend();
        JuceUtils::setMessageBoxHandler(
            [this](bool, const juce::String&, const juce::String& text) { boxes.add(text); });
    }
    void TearDown() override {
        window.reset();
        JuceUtils::setMessageBoxHandler(nullptr);
        Lk::OrvoSystem::shutdown();
        setenv("HOME", previousHome.c_str(), 1);
    }

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

    void startApp(const juce::String& commandLine = {}) {
        window = std::make_unique<AppWindow>("Fennic DOKA");
        window->init(commandLine, true);
        panel = dynamic_cast<AppContentPanel*>(window->getContent());
        ASSERT_NE(panel, nullptr);
        ASSERT_TRUE(pumpUntil([this] { return panel->isStarted(); }));
    }
    // Closes the window as the program does at its end; the next start finds a new MIDI
    // library, as a new process would.
    void stopApp() {
        window.reset();
        panel = nullptr;
        Lk::OrvoSystem::shutdown();
        installBackend();
    }
    void bindAlias(const char* alias, Lk::TAliasType type, const char* port) {
        auto* aliases = Lk::TMidiAliasManager::instance();
        aliases->SetAliasDevice(aliases->GetAliasByName(alias, type, 1, -1), port);
    }
    juce::File settingsFile() const {
        return juce::File(Lk::JuceStringFrom(panel->getSettingsFile()));
    }
    juce::String line1() const { return panel->getLine1Editor()->getText().trim(); }
    juce::String line2() const { return panel->getLine2Editor()->getText().trim(); }
    // A press and release at a point of the face, as the window system delivers them.
    void click(juce::Point<int> at, int button = juce::ModifierKeys::leftButtonModifier) {
        const auto now = juce::Time::currentTimeMillis();
        for (int buttons : {button, 0})
            window->getPeer()->handleMouseEvent(
                juce::MouseInputSource::InputSourceType::mouse,
                window->getLocalPoint(panel, at.toFloat()), juce::ModifierKeys(buttons),
                juce::MouseInputSource::defaultPressure, juce::MouseInputSource::defaultOrientation,
                now + (buttons == 0 ? 10 : 0));
    }
    // A key as the window system delivers it to the window.
    bool press(int keyCode, int modifiers = juce::ModifierKeys::ctrlModifier) {
        return window->getPeer()->handleKeyPress(
            juce::KeyPress(keyCode, juce::ModifierKeys(modifiers), 0));
    }

    Lk::MidiManager* manager = nullptr;
    Lk::TestMidiFactory* factory = nullptr;
    const std::string previousHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const dokatest::TempDir home{"doka-home"}; // HOME, so that the settings land in it
    std::unique_ptr<AppWindow> window;
    AppContentPanel* panel = nullptr;
    dokatest::Recorder<juce::String> boxes;
};
