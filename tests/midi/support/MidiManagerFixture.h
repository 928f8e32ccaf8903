#pragma once

#include "midi/MidiManager.h"
#include "platform/OrvoSystem.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Lk {

// Keeps every control-listener call as one line, e.g. "afterOpen 0 1" or "error 0 1 <text>".
class ControlLog : public MidiManagerDeviceControlListener {
public:
    void OnBeforeOpenMidiDevice(int i, int in) override { add("beforeOpen", i, in); }
    void OnAfterOpenMidiDevice(int i, int in) override { add("afterOpen", i, in); }
    void OnBeforeCloseMidiDevice(int i, int in) override { add("beforeClose", i, in); }
    void OnAfterCloseMidiDevice(int i, int in) override { add("afterClose", i, in); }
    void OnMidiStringMessage(int i, int in, const OxString& t) override { add("text", i, in, t); }
    void OnMidiErrorMessage(int i, int in, const OxString& t) override { add("error", i, in, t); }

    std::vector<std::string> take() {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<std::string> taken;
        taken.swap(lines);
        return taken;
    }

private:
    void add(const char* what, int i, int in, const OxString& t = OxString()) {
        std::string line = std::string(what) + " " + std::to_string(i) + " " + std::to_string(in);
        if (t.isNotEmpty())
            line += std::string(" ") + t.c_str();
        std::lock_guard<std::mutex> hold(mutex);
        lines.push_back(line);
    }

    std::mutex mutex;
    std::vector<std::string> lines;
};

// A resumed manager with one test backend whose enumeration cache the test ages by hand;
// everything is shut down after each test.
class MidiManagerTestBase : public ::testing::Test {
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
        log.take();
    }
    void TearDown() override { OrvoSystem::shutdown(); }

    // A refresh that sees the backend as it is now.
    int refresh() {
        factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
        return manager->RefreshDevList(1, 1);
    }
    int plug(int isInput, const char* name, const char* serial = "") {
        const int id = factory->addPort(isInput, name, serial);
        refresh();
        return id;
    }
    int indexOf(const char* name, int isInput) { return manager->GetDevIndex(name, isInput); }

    MidiManager* manager = nullptr;
    TestMidiFactory* factory = nullptr;
    ControlLog log;
    // The notifications of the shared watcher, which the shutdown deletes.
    static inline FakeHotplugSource* hotplugSource = nullptr;
};

} // namespace Lk
