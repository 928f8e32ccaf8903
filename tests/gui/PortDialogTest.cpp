#include "juce/common/AliasChooserDialog.h"
#include "midi/MidiAlias.h"
#include "src/AppContentPanel.h"
#include "src/AppMain.h"
#include "tests/gui/support/GuiTestSupport.h"

#include <thread>

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
    // A paired row lies 82 pixels high, a single one 58.
    EXPECT_EQ(thru.nameLabel->getY() - input.nameLabel->getY(), 58);
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

} // namespace
