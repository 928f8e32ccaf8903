#include "tests/gui/support/AppWindowFixture.h"
#include "tests/support/MidiBytes.h"

#include <thread>

namespace {

using dokatest::Bytes;

// "HELLO" as the module sends it.
const Bytes hello{0xF0, 0x77, 0x08, 0x05, 0x0C, 0x0C, 0x0F, 0x75, 0xF7};
// Where the display's characters lie in the window's picture.
const juce::Rectangle<int> displayArea{21, 95, 600, 226};

using AppPanelTest = AppWindowFixture;

TEST_F(AppPanelTest, startTextGivesWayToHintWithoutInputAndOpeningAPortBlanksIt) {
    startApp();
    EXPECT_EQ(line1(), "VERSION");
    EXPECT_EQ(line2(), "1.1");
    saveScreenshot(*window, "main_window_start");

    ASSERT_TRUE(pumpUntil([this] { return line1() == "SELECT"; }, 15000));
    EXPECT_EQ(line2(), "DEVICE");
    EXPECT_GT(countAmberPixels(saveScreenshot(*window, "main_window_hint"), displayArea), 2000);

    const int keys = factory->addPort(1, "Keys");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    ASSERT_TRUE(pumpUntil([this] { return line1().isEmpty(); }));
    EXPECT_TRUE(line2().isEmpty());
    EXPECT_EQ(factory->openPortObjects(keys), 1);
}

TEST_F(AppPanelTest, startTextBlanksWhenTheInputPortIsPresentAndAnEarlyMessageStays) {
    const int keys = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    EXPECT_EQ(factory->openPortObjects(keys), 1);
    const juce::uint32 started = juce::Time::getMillisecondCounter();
    ASSERT_TRUE(pumpUntil([this] { return line1().isEmpty(); }, 15000));
    EXPECT_GE(juce::Time::getMillisecondCounter() - started, 4000u);

    stopApp();
    const int keysAgain = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    factory->feed(keysAgain, hello);
    ASSERT_TRUE(pumpUntil([this] { return line1() == "HELLO"; }));
    pumpFor(6000);
    EXPECT_EQ(line1(), "HELLO");
}

TEST_F(AppPanelTest, displayMessagesAndProgramChangesReachTheEditorsLastOfABurstWins) {
    const int keys = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    ProgramNames names;
    names[5] = "Grand Piano Left";
    panel->getProgramNames().set(names);

    factory->feed(keys, Bytes{0xC0, 0x05});
    ASSERT_TRUE(pumpUntil([this] { return line1() == "GRAND PI"; }));
    EXPECT_EQ(line2(), "ANO LEFT");
    EXPECT_EQ(panel->getCurrentProgram(), 5);
    EXPECT_GT(countAmberPixels(saveScreenshot(*window, "main_window_program"), displayArea), 2000);

    for (unsigned char code = 1; code <= 26; ++code)
        factory->feed(keys, Bytes{0xF0, 0x77, code, code, 0x75, 0xF7});
    ASSERT_TRUE(pumpUntil([this] { return line1() == "ZZ"; }));
    EXPECT_EQ(panel->getCurrentProgram(), -1);

    // Channel 3 only: a Program Change on channel 1 is ignored.
    panel->getChannelSelector()->setSelectedItemIndex(3, juce::sendNotificationSync);
    EXPECT_EQ(panel->getReceiveChannel(), 2);
    factory->feed(keys, Bytes{0xC0, 0x05});
    factory->feed(keys, Bytes{0xC2, 0x07});
    ASSERT_TRUE(pumpUntil([this] { return line1() == "PROGRAM"; }));
    EXPECT_EQ(line2(), "008");
}

TEST_F(AppPanelTest, programNamesReturnAndOkApplyCancelAndCloseDiscard) {
    startApp();
    auto& dialog = panel->getProgramDialog();
    auto names = [this](int program) { return (*panel->getProgramNames().get())[program]; };
    ModalScript returnKey(dialog, [&] {
        auto* content = dialog.getContent();
        saveScreenshot(dialog, "program_names_dialog");
        content->getNameEditor().setText("Strings");
        content->keyPressed(juce::KeyPress(juce::KeyPress::returnKey), &content->getNameEditor());
    });
    panel->getProgramNamesButton()->triggerClick(); // a click on the display
    ASSERT_TRUE(returnKey.runUntilClosed());
    EXPECT_EQ(names(0), "Strings");
    EXPECT_TRUE(pumpUntil([&] { return !dialog.isVisible(); }));

    // Two programs edited, the second after the editor has settled on its name as a user's
    // typing would; the name is cut at 16 characters.
    dialog.setCurrentProgram(4);
    ModalScript twoPrograms(dialog, {[&] {
                                         auto* content = dialog.getContent();
                                         content->getNameEditor().setText("Five");
                                         content->getSelector().setSelectedItemIndex(
                                             5, juce::sendNotificationSync);
                                         return true;
                                     },
                                     [&] {
                                         auto& editor = dialog.getContent()->getNameEditor();
                                         editor.insertTextAtCaret("ABCDEFGHIJKLMNOPQ");
                                         EXPECT_EQ(editor.getText(), "ABCDEFGHIJKLMNOP");
                                         dialog.getContent()->getOkButton().triggerClick();
                                         return true;
                                     }});
    panel->getProgramNamesButton()->triggerClick();
    ASSERT_TRUE(twoPrograms.runUntilClosed());
    EXPECT_EQ(names(4), "Five");
    EXPECT_EQ(names(5), "ABCDEFGHIJKLMNOP");

    for (bool cancel : {true, false}) {
        ModalScript discard(dialog, [&] {
            dialog.getContent()->getNameEditor().setText("Discarded");
            if (cancel)
                dialog.getContent()->getCancelButton().triggerClick();
            else
                dialog.closeButtonPressed();
        });
        panel->getProgramNamesButton()->triggerClick();
        ASSERT_TRUE(discard.runUntilClosed());
        EXPECT_EQ(names(5), "ABCDEFGHIJKLMNOP") << (cancel ? "Cancel" : "close box");
    }
}

TEST_F(AppPanelTest, settingsAreWrittenAtCloseAndReadBack) {
    startApp();
    panel->getChannelSelector()->setSelectedItemIndex(10, juce::sendNotificationSync);
    ProgramNames names;
    names[3] = "  Pad ";
    names[9] = "Say \"hi\"";
    panel->getProgramNames().set(names);
    const juce::File file = settingsFile();
    stopApp();
    EXPECT_TRUE(file.loadFileAsString().contains("ReceiveChannel=9"));

    startApp();
    EXPECT_EQ(panel->getReceiveChannel(), 9);
    EXPECT_EQ(panel->getChannelSelector()->getSelectedItemIndex(), 10);
    EXPECT_EQ(*panel->getProgramNames().get(), names);

    // A name cleared in the dialog does not come back from the file.
    names[3] = "";
    panel->getProgramNames().set(names);
    stopApp();
    startApp();
    EXPECT_TRUE((*panel->getProgramNames().get())[3].isEmpty());
}

TEST_F(AppPanelTest, anUnwritableSettingsFileDoesNotStopTheClose) {
    // The settings folder's name is taken by a plain file: nothing can be written there.
    home.get().getChildFile(".Fennic Labs").replaceWithText("not a folder");
    startApp();
    EXPECT_FALSE(panel->saveSettings());
    stopApp();
    EXPECT_EQ(home.get().getChildFile(".Fennic Labs").loadFileAsString(), "not a folder");
}

TEST_F(AppPanelTest, dumpModeWritesEveryReceivedByte) {
    const juce::File previous = juce::File::getCurrentWorkingDirectory();
    home.get().setAsCurrentWorkingDirectory();
    home.get().getChildFile("DOKA_dump.syx").replaceWithText("old content");
    const int keys = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp("-DUMP");
    EXPECT_TRUE(panel->isDumping());
    // A display message, a note, a Program Change, a foreign System Exclusive message.
    const Bytes sent{0xF0, 0x77, 0x01, 0x75, 0xF7, 0x90, 0x40, 0x7F, 0xC3, 0x01, 0xF0, 0x01, 0xF7};
    factory->feed(keys, sent);
    ASSERT_TRUE(pumpUntil([this] { return line2() == "002"; }));
    stopApp();
    juce::MemoryBlock dumped;
    home.get().getChildFile("DOKA_dump.syx").loadFileAsData(dumped);
    previous.setAsCurrentWorkingDirectory();
    const auto* data = static_cast<const unsigned char*>(dumped.getData());
    EXPECT_TRUE(dokatest::sameBytes(Bytes(data, data + dumped.getSize()), sent));
}

TEST_F(AppPanelTest, errorsFromOtherThreadsAppearOnTheMessageThreadOneBoxEach) {
    startApp();
    std::thread reporter([this] {
        for (int i = 0; i < 3; ++i)
            panel->OnMidiErrorMessage(0, 1, Lk::OxString::format("failure %d", i));
    });
    reporter.join(); // returns without the message thread's help
    ASSERT_TRUE(pumpUntil([this] { return boxes.size() == 3; }));
    const auto shown = boxes.take();
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_TRUE(shown[i].isError && shown[i].onMessageThread);
        EXPECT_EQ(shown[i].text, "failure " + juce::String(i));
    }

    // A port that fails to open, reported by the MIDI manager itself.
    const int broken = factory->addPort(1, "Broken");
    factory->failOpen(broken, "device is busy");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Broken");
    ASSERT_TRUE(pumpUntil([this] { return boxes.size() > 0; }));
    EXPECT_TRUE(boxes.snapshot().back().onMessageThread);
}

TEST_F(AppPanelTest, virtualPortBoxOpensOurPortOnOkIsKeptInTheSettingsCancelLeavesNothing) {
    const int synth = factory->addPort(0, "Synth");
    refresh();
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Synth");
    startApp();
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    auto& dialog = panel->getPortDialog();
    auto tickThen = [&](const char* picture, bool ok) {
        return ModalScript(dialog, [&dialog, picture, ok] {
            juce::ToggleButton& box = dialog.getContent()->getVirtualInputToggle();
            EXPECT_TRUE(box.isShowing());
            EXPECT_FALSE(box.getToggleState()) << "a cancelled ticking is gone";
            box.setToggleState(true, juce::sendNotificationSync);
            if (picture != nullptr)
                saveScreenshot(dialog, picture);
            (ok ? dialog.getContent()->getOkButton() : dialog.getContent()->getCancelButton())
                .triggerClick();
        });
    };
    {
        auto cancel = tickThen(nullptr, false);
        panel->getSelectDeviceButton()->triggerClick();
        ASSERT_TRUE(cancel.runUntilClosed());
    }
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    EXPECT_EQ(factory->virtualInputId(AppContentPanel::VIRTUAL_PORT_NAME), 0);
    {
        auto ok = tickThen("port_settings_virtual_port", true);
        panel->getSelectDeviceButton()->triggerClick();
        ASSERT_TRUE(ok.runUntilClosed());
    }
    EXPECT_EQ(manager->IsVirtualInputOpen(), 1);
    // Another program's display message is shown and passed on as the module's would be.
    EXPECT_EQ(factory->feed(factory->virtualInputId(AppContentPanel::VIRTUAL_PORT_NAME), hello), 1);
    ASSERT_TRUE(pumpUntil([this] { return line1() == "HELLO"; }));
    const auto sent = factory->sentMessages(synth);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(dokatest::sameBytes(sent[0].bytes, hello));

    const juce::File file = settingsFile();
    stopApp();
    EXPECT_TRUE(file.loadFileAsString().contains("VirtualPort=1"));
    startApp();
    EXPECT_EQ(manager->IsVirtualInputOpen(), 1);
    EXPECT_TRUE(panel->getPortDialog().virtualInputEnabled);
}

TEST_F(AppPanelTest, commandLineOffersTheVirtualPortForThisRunOnly) {
    startApp("--virtual-port");
    EXPECT_EQ(manager->IsVirtualInputOpen(), 1);
    EXPECT_TRUE(panel->getPortDialog().virtualInputEnabled);
    EXPECT_FALSE(panel->isVirtualPortStored());
    const juce::File file = settingsFile();
    stopApp();
    EXPECT_TRUE(file.loadFileAsString().contains("VirtualPort=0"));
    startApp();
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    stopApp();

    // Unticked in the dialog, the port closes at once.
    startApp("--virtual-port");
    auto& dialog = panel->getPortDialog();
    ModalScript untick(dialog, [&] {
        juce::ToggleButton& box = dialog.getContent()->getVirtualInputToggle();
        EXPECT_TRUE(box.getToggleState());
        box.setToggleState(false, juce::sendNotificationSync);
        dialog.getContent()->getOkButton().triggerClick();
    });
    panel->getSelectDeviceButton()->triggerClick();
    ASSERT_TRUE(untick.runUntilClosed());
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    stopApp();

    // A backend without ports of its own: the user is told why.
    factory->offerVirtualInputs(false);
    startApp("--virtual-port");
    ASSERT_TRUE(pumpUntil([this] { return boxes.size() > 0; }));
    EXPECT_TRUE(boxes.snapshot().back().isError);
    EXPECT_TRUE(boxes.snapshot().back().text.contains("\"DOKA Display\" cannot be offered"));
}

// The tip over the display adds the thru counters to its own text; elsewhere tips stay as
// they were. Waiting to appear it keeps still, shown it follows the traffic.
TEST_F(AppPanelTest, displayTooltipCarriesTheThruCountersAndFollowsThemWhileShown) {
    const int keys = factory->addPort(1, "Keys");
    const int synth = factory->addPort(0, "Synth");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Synth");
    startApp();
    ASSERT_EQ(factory->openPortObjects(synth), 1);
    juce::TooltipWindow& tips = panel->getTooltipWindow();
    juce::Component& display = *panel->getProgramNamesButton();

    EXPECT_FALSE(tips.getTipFor(*panel->getCloseButton()).contains("Received"));
    factory->feed(keys, Bytes{0xC0, 0x05, 0xF0, 0x01, 0xF7});
    const juce::String waiting = tips.getTipFor(display);
    EXPECT_TRUE(waiting.startsWith("Edit Program Names")) << waiting;
    EXPECT_TRUE(waiting.contains("\nReceived: 2 messages, 5 bytes\n")) << waiting;

    factory->feed(keys, Bytes{0x90, 0x40, 0x7F});
    EXPECT_EQ(tips.getTipFor(display), waiting);
    tips.displayTip(display.getScreenBounds().getCentre(), waiting);
    ASSERT_TRUE(pumpUntil([&] { return tips.isVisible(); }));
    EXPECT_TRUE(tips.getTipFor(display).contains("Received: 3 messages, 8 bytes"));
    tips.hideTip();
}

} // namespace
