#include "juce/common/AliasChooserDialog.h"
#include "midi/MidiAlias.h"
#include "src/AppContentPanel.h"
#include "src/AppMain.h"
#include "tests/gui/support/GuiTestSupport.h"

#include <functional>
#include <thread>
#include <vector>

namespace {

juce::StringArray itemTexts(const juce::ComboBox& box) {
    juce::StringArray texts;
    for (int i = 0; i < box.getNumItems(); ++i)
        texts.add(box.getItemText(i));
    return texts;
}

class PortDialogTest : public MidiBackendFixture {
protected:
    void SetUp() override {
        MidiBackendFixture::SetUp();
        manager->SetSuspended(0);
        aliases = Lk::TMidiAliasManager::instance();
    }
    Lk::TMidiAlias* alias(const char* name, Lk::TAliasType type) {
        return aliases->GetAliasByName(name, type, 1, -1);
    }
    // Plugs an input, opens it through the alias and unplugs it: the port stays pending.
    int makePendingInput(const char* name) {
        const int id = factory->addPort(1, name);
        refresh();
        manager->Open(manager->GetDevIndex(name, 1), 1, nullptr);
        factory->removePort(id);
        refresh();
        return id;
    }

    Lk::TMidiAliasManager* aliases = nullptr;
};

TEST_F(PortDialogTest, rowsForTheTwoAliasesListPresentAndPendingPortsInNaturalOrder) {
    alias("MIDI Input", Lk::atIn);
    alias("MIDI Thru", Lk::atOut);
    makePendingInput("Pads");
    factory->addPort(1, "Keys 10");
    factory->addPort(1, "Keys 9");
    factory->addPort(0, "Synth");
    refresh();

    AliasChooserDialog dialog(nullptr);
    dialog.onlyUsedAliases = false;
    dialog.includeAssignToNone = false;
    dialog.init();
    dialog.updateContent();
    auto* content = dialog.getContent();
    content->display(1);
    pumpFor(50);

    ASSERT_EQ(content->getRowCount(), 2);
    AliasCache& input = content->getRow(0);
    AliasCache& thru = content->getRow(1);
    EXPECT_EQ(input.displayName, "MIDI Input");
    EXPECT_EQ(thru.displayName, "MIDI Thru");
    EXPECT_TRUE(input.inputBox->isVisible());
    EXPECT_FALSE(input.outputBox->isVisible());
    EXPECT_EQ(itemTexts(*input.inputBox),
              juce::StringArray({"(none)", "Keys 9", "Keys 10", "Pads (pending)"}));
    EXPECT_EQ(itemTexts(*thru.outputBox), juce::StringArray({"(none)", "Synth"}));
    EXPECT_EQ(input.inputBox->getSelectedId(), ComboBoxMidi::ID_NONE);
    // A paired row lies 114 pixels high, a single one 74: name, box and state line.
    EXPECT_EQ(thru.nameLabel->getY() - input.nameLabel->getY(), 74);
    EXPECT_EQ(input.inputState->getY(), input.inputBox->getBottom());
    EXPECT_EQ(input.inputState->getText(), "no port chosen");
}

TEST_F(PortDialogTest, okBindsTheChangedAliasAndThePanelOpensThatPortOnly) {
    TemporaryHome home;
    const int keys9 = factory->addPort(1, "Keys 9");
    const int keys10 = factory->addPort(1, "Keys 10");
    const int synth = factory->addPort(0, "Synth");
    refresh();
    auto window = std::make_unique<AppWindow>("Fennic DOKA");
    window->init({}, true);
    auto* panel = dynamic_cast<AppContentPanel*>(window->getContent());
    ASSERT_TRUE(pumpUntil([&] { return panel->isStarted(); }));
    // Thru bound to an unplugged port: untouched by OK, it stays bound.
    aliases->SetAliasDevice(alias("MIDI Thru", Lk::atOut), "Gone");
    aliases->SetAliasDevice(alias("MIDI Input", Lk::atIn), "Keys 9");
    ASSERT_TRUE(pumpUntil([&] { return factory->openPortObjects(keys9) == 1; }));

    auto& dialog = panel->getPortDialog();
    bool done = false;
    struct Chooser : juce::Timer {
        std::function<bool()> step;
        void timerCallback() override {
            if (step())
                stopTimer();
        }
    } chooser;
    chooser.step = [&] {
        if (!dialog.isCurrentlyModal())
            return false;
        auto* content = dialog.getContent();
        saveScreenshot(dialog, "port_settings_dialog");
        ComboBoxMidi& box = *content->getRow(0).inputBox;
        box.setSelectedId(manager->GetDevIndex("Keys 10", 1) + 1, juce::sendNotificationSync);
        content->getOkButton().triggerClick();
        done = true;
        return true;
    };
    chooser.startTimer(10);
    panel->getSelectDeviceButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return done && !dialog.isCurrentlyModal(); }));
    ASSERT_TRUE(pumpUntil([&] { return factory->openPortObjects(keys10) == 1; }));
    EXPECT_EQ(factory->openPortObjects(keys9), 0);
    EXPECT_EQ(factory->openPortObjects(synth), 0);
    EXPECT_EQ(alias("MIDI Input", Lk::atIn)->deviceName, "Keys 10");
    EXPECT_EQ(alias("MIDI Thru", Lk::atOut)->deviceName, "Gone");
    window.reset();
}

TEST_F(PortDialogTest, comboBoxFollowsDeviceListChangesFromAnotherThread) {
    ComboBoxMidi box(1);
    box.setAlias(alias("MIDI Input", Lk::atIn));
    box.display();
    pumpFor(20);
    EXPECT_EQ(itemTexts(box), juce::StringArray({"(none)"}));
    std::thread plugger([this] {
        factory->addPort(1, "Late");
        refresh();
    });
    plugger.join();
    ASSERT_TRUE(pumpUntil([&] { return box.getNumItems() == 2; }));
    EXPECT_EQ(box.getItemText(1), "Late");
    // Committing "(none)" on an alias bound to a port that the manager does not list
    // unbinds it.
    aliases->SetAliasDevice(alias("MIDI Input", Lk::atIn), "Unknown");
    box.display();
    EXPECT_EQ(box.getSelectedId(), ComboBoxMidi::ID_NONE);
    box.commit();
    EXPECT_TRUE(alias("MIDI Input", Lk::atIn)->deviceName.isEmpty());
}

// Runs its steps one after another on the message thread, also inside a modal loop; a
// step is tried again every 10 ms until it returns true. Gives up after `timeoutMs`; either
// way `atEnd` runs last (for example to close the modal dialog).
class StepRunner : public juce::Timer {
public:
    StepRunner(std::vector<std::function<bool()>> steps, std::function<void()> atEnd,
               int timeoutMs = 15000)
        : steps(std::move(steps)), atEnd(std::move(atEnd)),
          deadline(juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs)) {
        startTimer(10);
    }
    bool finished() const { return next == steps.size(); }
    bool timedOut() const { return gaveUp; }
    size_t failedStep() const { return next; }

private:
    void timerCallback() override {
        while (next < steps.size() && steps[next]())
            ++next;
        if (next < steps.size() && juce::Time::getMillisecondCounter() > deadline)
            gaveUp = true;
        if (!finished() && !gaveUp)
            return;
        stopTimer();
        atEnd();
    }

    std::vector<std::function<bool()>> steps;
    std::function<void()> atEnd;
    size_t next = 0;
    juce::uint32 deadline;
    bool gaveUp = false;
};

TEST_F(PortDialogTest, stateLinesFollowTheirPortsWhileTheDialogIsOpen) {
    const int keys = factory->addPort(1, "Keys");
    const int synth = factory->addPort(0, "Synth");
    factory->addPort(1, "Pads");
    refresh();
    aliases->SetAliasDevice(alias("MIDI Input", Lk::atIn), "Keys");
    aliases->SetAliasDevice(alias("MIDI Thru", Lk::atOut), "Synth");
    ASSERT_EQ(manager->Open(manager->GetDevIndex("Keys", 1), 1, nullptr), 1);
    ASSERT_EQ(manager->Open(manager->GetDevIndex("Synth", 0), 0, nullptr), 1);

    AliasChooserDialog dialog(nullptr);
    dialog.onlyUsedAliases = false;
    dialog.includeAssignToNone = false;
    dialog.init();
    // Everything below changes the ports on another thread, as the hotplug watcher and the
    // retry timer do.
    auto elsewhere = [](std::function<void()> change) { std::thread(std::move(change)).join(); };
    auto input = [&]() -> juce::Label& { return *dialog.getContent()->getRow(0).inputState; };
    auto thru = [&]() -> juce::Label& { return *dialog.getContent()->getRow(1).outputState; };
    const juce::String pendingSynth =
        "pending: Synth is busy / MIDI output \"Synth\" could not be opened";
    StepRunner script(
        {[&] { return dialog.isCurrentlyModal() && dialog.getContent()->getRowCount() == 2; },
         [&] { return input().getText() == "open" && thru().getText() == "open"; },
         [&] {
             elsewhere([&] {
                 factory->removePort(keys);
                 refresh();
             });
             return true;
         },
         [&] { return input().getText() == "absent (not plugged in)"; },
         [&] {
             elsewhere([&] {
                 factory->replugPort(keys);
                 refresh();
             });
             return true;
         },
         [&] { return input().getText() == "open"; },
         [&] {
             elsewhere([&] {
                 const int index = manager->GetDevIndex("Synth", 0);
                 manager->Close(index, 0, 0);
                 factory->failOpen(synth, "Synth is busy");
                 manager->Open(index, 0, nullptr);
             });
             return true;
         },
         [&] { return thru().getText().startsWith(pendingSynth); },
         [&] {
             // The whole text is in the tooltip; the picture shows one state of each kind.
             EXPECT_EQ(thru().getTooltip(), thru().getText());
             dialog.getContent()->getRow(0).inputBox->setSelectedId(
                 manager->GetDevIndex("Pads", 1) + 1, juce::sendNotificationSync);
             return true;
         },
         [&] { return input().getText() == "closed"; },
         [&] {
             saveScreenshot(dialog, "port_settings_states");
             return true;
         }},
        [&] { dialog.getContent()->getCancelButton().triggerClick(); });
    dialog.showTheDialog(true); // returns when the script has closed it
    EXPECT_TRUE(script.finished())
        << "stuck at step " << script.failedStep() << ": input \"" << input().getText()
        << "\", thru \"" << thru().getText() << "\"";
    // Cancel leaves the alias as it was.
    EXPECT_EQ(alias("MIDI Input", Lk::atIn)->deviceName, "Keys");
}

} // namespace
