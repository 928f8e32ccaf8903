#pragma once

#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"
#include "platform/OrvoSystem.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/midi/support/MessageRecorder.h"
#include "tests/midi/support/TestMidiFactory.h"
#include "tests/support/Recorder.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace Lk {

// Keeps every control-listener call as one line, e.g. "afterOpen 0 1" or "error 0 1 <text>".
class ControlLog : public MidiManagerDeviceControlListener, public dokatest::Recorder<std::string> {
public:
    void OnBeforeOpenMidiDevice(int i, int in) override { line("beforeOpen", i, in); }
    void OnAfterOpenMidiDevice(int i, int in) override { line("afterOpen", i, in); }
    void OnBeforeCloseMidiDevice(int i, int in) override { line("beforeClose", i, in); }
    void OnAfterCloseMidiDevice(int i, int in) override { line("afterClose", i, in); }
    void OnMidiStringMessage(int i, int in, const OxString& t) override { line("text", i, in, t); }
    void OnMidiErrorMessage(int i, int in, const OxString& t) override { line("error", i, in, t); }

    // How many of the lines so far contain `text`; they are forgotten here.
    size_t takeContaining(const char* text) {
        size_t n = 0;
        for (const std::string& line : take())
            n += line.find(text) != std::string::npos;
        return n;
    }

private:
    void line(const char* what, int i, int in, const OxString& t = OxString()) {
        std::string text = std::string(what) + " " + std::to_string(i) + " " + std::to_string(in);
        if (t.isNotEmpty())
            text += std::string(" ") + t.c_str();
        add(std::move(text));
    }
};

// Runs the test's code from inside the manager's calls, as an application's listeners do.
struct ManagerHooks : MidiManagerDeviceControlListener, TMidiDeviceListListener {
    void OnAfterOpenMidiDevice(int index, int isInput) override { afterOpen(index, isInput); }
    void OnMidiErrorMessage(int, int, const OxString&) override {}
    void OnMidiDeviceListChanged() override { listChanged(); }

    std::function<void(int index, int isInput)> afterOpen = [](int, int) {};
    std::function<void()> listChanged = [] {};
};

// A resumed manager with one test backend whose enumeration cache the test ages by hand;
// everything is shut down after each test.
class MidiManagerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // Plugging is notified, as on the real platform, instead of being polled every 10 s.
        HotplugWatcher::setSourceFactory([]() -> std::unique_ptr<HotplugSource> {
            auto source = std::make_unique<FakeHotplugSource>();
            hotplugSource = source.get();
            return source;
        });
        manager = MidiManager::instance();
        // Registered after the manager, so that the shutdown deletes it after the ports.
        factory = new TestMidiFactory();
        factory->setClock(1000);
        manager->AddFactory(factory, 0);
        manager->AddDeviceControlListener(&log);
        manager->SetSuspended(0);
        aliases = TMidiAliasManager::instance();
        log.clear();
    }
    void TearDown() override { OrvoSystem::shutdown(); }

    // The clock stands still: only a refresh that enumerates again sees the changes.
    int refresh() { return manager->RefreshDevList(1, 1); }
    int plug(int isInput, const char* name, const char* serial = "") {
        const int id = factory->addPort(isInput, name, serial);
        refresh();
        return id;
    }
    int indexOf(const char* name, int isInput) { return manager->GetDevIndex(name, isInput); }

    // An alias bound to the port of that name, opened when the port is there.
    TMidiAlias* openAlias(const char* name, TAliasType type, const char* port) {
        TMidiAlias* alias = aliases->GetAliasByName(name, type, 1, -1);
        aliases->SetAliasDevice(alias, port);
        if (alias->userID >= 0) {
            EXPECT_EQ(manager->Open(alias->userID, type == atIn, nullptr), 1) << name;
        }
        return alias;
    }
    // The program's thru: "MIDI Input" on a new port Keys routed to "MIDI Thru" on a new port
    // Synth, with this test's recorder as the data listener.
    void routeThru() {
        keys = plug(1, "Keys");
        synth = plug(0, "Synth");
        input = openAlias("MIDI Input", atIn, "Keys");
        thru = openAlias("MIDI Thru", atOut, "Synth");
        ASSERT_GE(TMidiRouter::instance()->AddRoute(input, thru), 0);
        manager->SetDataListener(&data);
        log.clear();
    }

    MidiManager* manager = nullptr;
    TestMidiFactory* factory = nullptr;
    TMidiAliasManager* aliases = nullptr;
    ControlLog log;
    MessageRecorder data;
    TMidiAlias* input = nullptr;
    TMidiAlias* thru = nullptr;
    int keys = 0;
    int synth = 0;
    // The notifications of the shared watcher, which the shutdown deletes.
    static inline FakeHotplugSource* hotplugSource = nullptr;
};

} // namespace Lk
