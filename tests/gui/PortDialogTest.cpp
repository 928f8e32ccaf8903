#include "juce/common/AliasChooserDialog.h"
#include "src/Autostart.h"
#include "tests/gui/support/AppWindowFixture.h"

#include <thread>

namespace {

juce::StringArray itemTexts(const juce::ComboBox& box) {
    juce::StringArray texts;
    for (int i = 0; i < box.getNumItems(); ++i)
        texts.add(box.getItemText(i));
    return texts;
}

class PortDialogTest : public AppWindowFixture {
protected:
    void SetUp() override {
        AppWindowFixture::SetUp();
        manager->SetSuspended(0);
    }
    Lk::TMidiAlias* alias(const char* name, Lk::TAliasType type) {
        return Lk::TMidiAliasManager::instance()->GetAliasByName(name, type, 1, -1);
    }
};

// A backend that says what is missing has it said above the rows; the start-with-the-desktop
// box writes the autostart entry on OK; the dialog first fits what it holds, and reopened it
// keeps the content size the user gave it (not that plus its frame).
TEST_F(PortDialogTest, okBindsTheChangedAliasAndThePanelOpensThatPortOnly) {
    factory->problem = "No MIDI sequencer: load its module.";
    const int keys9 = factory->addPort(1, "Keys 9");
    const int keys10 = factory->addPort(1, "Keys 10");
    const int synth = factory->addPort(0, "Synth");
    refresh();
    startApp();
    // Thru bound to an unplugged port: untouched by OK, it stays bound.
    bindAlias("MIDI Thru", Lk::atOut, "Gone");
    bindAlias("MIDI Input", Lk::atIn, "Keys 9");
    ASSERT_TRUE(pumpUntil([&] { return factory->openPortObjects(keys9) == 1; }));

    auto& dialog = panel->getPortDialog();
    juce::String resizedContent;
    ModalScript choose(dialog, [&] {
        saveScreenshot(dialog, "port_settings_dialog");
        const juce::Label& notice = dialog.getContent()->getServiceNotice();
        EXPECT_TRUE(notice.isVisible() &&
                    notice.getText() == "No MIDI sequencer: load its module.");
        EXPECT_LT(notice.getBottom(), dialog.getContent()->getRow(0).nameLabel->getY());
        // Opened for the first time, it shows all it holds without scrolling.
        EXPECT_GE(dialog.getContent()->getViewport().getHeight(),
                  dialog.getContent()->getViewed().getHeight());
        dialog.getContent()->getStartWithDesktopToggle().setToggleState(true,
                                                                        juce::sendNotification);
        dialog.setSize(dialog.getWidth() + 60, dialog.getHeight() - 20); // by its corner
        resizedContent = dialog.getContentComponent()->getLocalBounds().toString();
        dialog.getContent()->getRow(0).inputBox->setSelectedId(
            manager->GetDevIndex("Keys 10", 1) + 1, juce::sendNotificationSync);
        dialog.getContent()->getOkButton().triggerClick();
    });
    panel->getSelectDeviceButton()->triggerClick();
    ASSERT_TRUE(choose.runUntilClosed());
    ASSERT_TRUE(pumpUntil([&] { return factory->openPortObjects(keys10) == 1; }));
    EXPECT_EQ(factory->openPortObjects(keys9), 0);
    EXPECT_EQ(factory->openPortObjects(synth), 0);
    EXPECT_EQ(alias("MIDI Input", Lk::atIn)->deviceName, "Keys 10");
    EXPECT_EQ(alias("MIDI Thru", Lk::atOut)->deviceName, "Gone");
    EXPECT_TRUE(Autostart::isOn());
    for (int open = 0; open < 3; ++open) {
        ModalScript reopen(dialog, [&] {
            EXPECT_EQ(dialog.getContentComponent()->getLocalBounds().toString(), resizedContent);
            dialog.getContent()->getCancelButton().triggerClick();
        });
        panel->getSelectDeviceButton()->triggerClick();
        ASSERT_TRUE(reopen.runUntilClosed());
    }
}

// The web view's check box and address: Cancel keeps nothing, OK waits for an address that
// parses, starts the view and keeps the choice for the next start; a port in use is said.
TEST_F(PortDialogTest, webViewIsChosenWithItsAddressAndAPortInUseIsSaid) {
    WebViewServer other; // takes a port
    ASSERT_EQ(other.start({WebViewEndpoint::LOOPBACK, 0}), "");
    const juce::String port(other.boundPort());
    startApp();
    auto content = [&] { return panel->getPortDialog().getContent(); }; // a restart replaces it
    auto option = [&]() -> WebViewOption& { return content()->getWebViewOption(); };
    auto run = [&](std::vector<ModalScript::Step> steps) {
        ModalScript script(panel->getPortDialog(), std::move(steps));
        panel->getSelectDeviceButton()->triggerClick();
        ASSERT_TRUE(script.runUntilClosed());
    };
    auto choose = [&](bool on, juce::String address) {
        return [&, on, address] {
            return option().getToggle().setToggleState(on, juce::sendNotificationSync),
                   option().getAddressField().setText(address), true;
        };
    };
    auto click = [&](juce::TextButton& (AliasChooserDialogContent::*button)()) {
        return [&, button] { return (content()->*button)().triggerClick(), true; };
    };
    const auto ok = &AliasChooserDialogContent::getOkButton;
    const auto cancel = &AliasChooserDialogContent::getCancelButton;
    run({choose(true, "0"), click(cancel)});
    EXPECT_EQ(panel->getWebView(), nullptr);
    run({choose(true, "0:x"), [&] { return option().getNote().invalid; }, click(ok),
         [&] { return panel->getPortDialog().isCurrentlyModal(); }, choose(true, "0"), click(ok)});
    ASSERT_NE(panel->getWebView(), nullptr);
    stopApp();
    startApp();
    ASSERT_NE(panel->getWebView(), nullptr);
    const juce::String url = "http://127.0.0.1:" + juce::String(panel->getWebView()->boundPort());
    run({[&] { return option().getNote().text.contains(url); }, choose(true, port), click(ok)});
    EXPECT_TRUE(panel->getWebView() == nullptr && boxes.size() == 1);
    run({[&] { return option().getNote().failed && option().getNote().text.contains(port); },
         [&] { return saveScreenshot(panel->getPortDialog(), "port_settings_web_view"), true; },
         click(cancel)});
}

// Committing "(none)" on an alias bound to a port that the manager does not list unbinds it.
TEST_F(PortDialogTest, noneCommittedUnbindsAnAliasBoundToAnUnlistedPort) {
    ComboBoxMidi box(1);
    box.setAlias(alias("MIDI Input", Lk::atIn));
    bindAlias("MIDI Input", Lk::atIn, "Unknown");
    box.display();
    EXPECT_EQ(box.getSelectedId(), ComboBoxMidi::ID_NONE);
    box.commit();
    EXPECT_TRUE(alias("MIDI Input", Lk::atIn)->deviceName.isEmpty());
}

// A row for each of the two aliases, its box listing present and pending ports in natural
// order, its state line under it. The ports change on another thread, as the hotplug
// watcher and the retry timer do; the state lines and the lists follow.
TEST_F(PortDialogTest, rowsListThePortsAndStateLinesFollowThemWhileTheDialogIsOpen) {
    // Plugged, opened and unplugged: the port stays pending.
    const int pads = factory->addPort(1, "Pads");
    refresh();
    manager->Open(manager->GetDevIndex("Pads", 1), 1, nullptr);
    factory->removePort(pads);
    const int keys = factory->addPort(1, "Keys 9");
    factory->addPort(1, "Keys 10");
    const int synth = factory->addPort(0, "Synth");
    refresh();
    bindAlias("MIDI Input", Lk::atIn, "Keys 9");
    bindAlias("MIDI Thru", Lk::atOut, "Synth");
    ASSERT_EQ(manager->Open(manager->GetDevIndex("Keys 9", 1), 1, nullptr), 1);
    ASSERT_EQ(manager->Open(manager->GetDevIndex("Synth", 0), 0, nullptr), 1);

    AliasChooserDialog dialog(nullptr); // on its own, with a row for each of the two aliases
    dialog.onlyUsedAliases = false;
    dialog.includeAssignToNone = false;
    dialog.init();
    auto elsewhere = [this](std::function<void()> change) {
        return [this, change] {
            std::thread([this, change] {
                change();
                refresh();
            }).join();
            return true;
        };
    };
    auto row = [&](int i) -> AliasCache& { return dialog.getContent()->getRow(i); };
    auto input = [&] { return row(0).inputState->getText(); };
    auto thru = [&] { return row(1).outputState->getText(); };
    auto inputIs = [&](const char* text) { return [&, text] { return input() == text; }; };
    auto choose = [&](const char* port) {
        return [&, port] {
            const int id = port ? manager->GetDevIndex(port, 1) + 1 : ComboBoxMidi::ID_NONE;
            row(0).inputBox->setSelectedId(id, juce::sendNotificationSync);
            return true;
        };
    };
    auto rows = [&] {
        EXPECT_EQ(row(0).displayName, "MIDI Input");
        EXPECT_EQ(row(1).displayName, "MIDI Thru");
        EXPECT_TRUE(row(0).inputBox->isVisible());
        EXPECT_FALSE(row(0).outputBox->isVisible());
        EXPECT_EQ(itemTexts(*row(0).inputBox),
                  juce::StringArray({"(none)", "Keys 9", "Keys 10", "Pads (pending)"}));
        EXPECT_EQ(itemTexts(*row(1).outputBox), juce::StringArray({"(none)", "Synth"}));
        EXPECT_EQ(row(0).inputState->getY(), row(0).inputBox->getBottom());
        EXPECT_LE(row(0).inputState->getBottom(), row(1).nameLabel->getY());
        return true;
    };
    ModalScript script(
        dialog, {[&] { return dialog.getContent()->getRowCount() == 2; },
                 [&] { return input() == "open" && thru() == "open"; }, rows,
                 elsewhere([&] { factory->removePort(keys); }), inputIs("absent (not plugged in)"),
                 elsewhere([&] { factory->replugPort(keys); }), inputIs("open"),
                 elsewhere([&] { factory->addPort(1, "Late"); }),
                 [&] { return itemTexts(*row(0).inputBox).contains("Late"); }, elsewhere([&] {
                     const int index = manager->GetDevIndex("Synth", 0);
                     manager->Close(index, 0, 0);
                     factory->failOpen(synth, "Synth is busy");
                     manager->Open(index, 0, nullptr);
                 }),
                 [&] {
                     return thru().startsWith(
                         "pending: Synth is busy / MIDI output \"Synth\" could not be opened");
                 },
                 [&] {
                     // The whole text is in the tooltip.
                     EXPECT_EQ(row(1).outputState->getTooltip(), thru());
                     return true;
                 },
                 choose(nullptr), inputIs("no port chosen"), choose("Keys 10"), inputIs("closed"),
                 [&] {
                     // The picture shows one state of each kind.
                     saveScreenshot(dialog, "port_settings_states");
                     dialog.getContent()->getCancelButton().triggerClick();
                     return true;
                 }});
    dialog.showTheDialog(true); // returns when the script has closed it
    EXPECT_TRUE(script.finished()) << "stuck at step " << script.stoppedAt() << ": input \""
                                   << input() << "\", thru \"" << thru() << "\"";
    // Cancel leaves the alias as it was.
    EXPECT_EQ(alias("MIDI Input", Lk::atIn)->deviceName, "Keys 9");
}

} // namespace
