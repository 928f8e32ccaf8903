#include "tests/gui/support/AppWindowFixture.h"
#include "tests/support/MidiBytes.h"

namespace {

using dokatest::Bytes;

// "HELLO" as the module sends it.
const Bytes hello{0xF0, 0x77, 0x08, 0x05, 0x0C, 0x0C, 0x0F, 0x75, 0xF7};
// Where the display's characters lie in the window's picture.
const juce::Rectangle<int> displayArea{21, 95, 600, 226};

using AppPanelTest = AppWindowFixture;

// The start text stays at least four seconds. Without an input port it gives way to the
// hint, which the port's opening blanks; with one, it blanks by itself, but a message
// shown before that stays.
TEST_F(AppPanelTest, startTextGivesWayToTheHintOrBlanksAndAnEarlyMessageStays) {
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
    ASSERT_TRUE(pumpUntil([this] { return line1().isEmpty() && line2().isEmpty(); }));
    EXPECT_EQ(factory->openPortObjects(keys), 1);
    stopApp();

    const int present = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    EXPECT_EQ(factory->openPortObjects(present), 1);
    const juce::uint32 started = juce::Time::getMillisecondCounter();
    ASSERT_TRUE(pumpUntil([this] { return line1().isEmpty(); }, 15000));
    EXPECT_GE(juce::Time::getMillisecondCounter() - started, 4000u);
    stopApp();

    const int early = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    factory->feed(early, hello);
    ASSERT_TRUE(pumpUntil([this] { return line1() == "HELLO"; }));
    pumpFor(6000);
    EXPECT_EQ(line1(), "HELLO");
}

// In dump mode every received byte lands in DOKA_dump.syx in the working folder, whatever
// the display made of it.
TEST_F(AppPanelTest, displayMessagesAndProgramChangesReachTheEditorsAndTheDumpHoldsEveryByte) {
    const juce::File previous = juce::File::getCurrentWorkingDirectory();
    home.get().setAsCurrentWorkingDirectory();
    home.get().getChildFile("DOKA_dump.syx").replaceWithText("old content");
    const int keys = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp("-DUMP");
    EXPECT_TRUE(panel->isDumping());
    ProgramNames names;
    names[5] = "Grand Piano Left";
    panel->getProgramNames().set(names);
    std::vector<Bytes> sent;
    auto feed = [&](const Bytes& bytes) {
        sent.push_back(bytes);
        factory->feed(keys, bytes);
    };

    feed({0xC0, 0x05});
    ASSERT_TRUE(pumpUntil([this] { return line1() == "GRAND PI"; }));
    EXPECT_EQ(line2(), "ANO LEFT");
    EXPECT_EQ(panel->getCurrentProgram(), 5);
    EXPECT_GT(countAmberPixels(saveScreenshot(*window, "main_window_program"), displayArea), 2000);

    // A burst of display messages: the last one stays.
    for (unsigned char code = 1; code <= 26; ++code)
        feed({0xF0, 0x77, code, code, 0x75, 0xF7});
    ASSERT_TRUE(pumpUntil([this] { return line1() == "ZZ"; }));
    EXPECT_EQ(panel->getCurrentProgram(), -1);

    // Channel 3 only: a Program Change on channel 1 is ignored, as are a note and a foreign
    // System Exclusive message.
    panel->getChannelSelector()->setSelectedItemIndex(3, juce::sendNotificationSync);
    EXPECT_EQ(panel->getReceiveChannel(), 2);
    feed({0xC0, 0x05, 0x90, 0x40, 0x7F, 0xF0, 0x01, 0xF7});
    feed({0xC2, 0x07});
    ASSERT_TRUE(pumpUntil([this] { return line1() == "PROGRAM"; }));
    EXPECT_EQ(line2(), "008");

    stopApp();
    juce::MemoryBlock dumped;
    home.get().getChildFile("DOKA_dump.syx").loadFileAsData(dumped);
    previous.setAsCurrentWorkingDirectory();
    const auto* data = static_cast<const unsigned char*>(dumped.getData());
    EXPECT_TRUE(dokatest::sameBytes(Bytes(data, data + dumped.getSize()), dokatest::joined(sent)));
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
    auto editFiveGoToSix = [&] {
        dialog.getContent()->getNameEditor().setText("Five");
        dialog.getContent()->getSelector().setSelectedItemIndex(5, juce::sendNotificationSync);
        return true;
    };
    auto typeSixThenOk = [&] {
        dialog.getContent()->getNameEditor().insertTextAtCaret("ABCDEFGHIJKLMNOPQ");
        EXPECT_EQ(dialog.getContent()->getNameEditor().getText(), "ABCDEFGHIJKLMNOP");
        dialog.getContent()->getOkButton().triggerClick();
        return true;
    };
    ModalScript twoPrograms(dialog, {editFiveGoToSix, typeSixThenOk});
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

TEST_F(AppPanelTest, anUnwritableSettingsFileDoesNotStopTheClose) {
    // The settings folder's name is taken by a plain file: nothing can be written there.
    home.get().getChildFile(".Fennic Labs").replaceWithText("not a folder");
    startApp();
    EXPECT_FALSE(panel->saveSettings());
    stopApp();
    EXPECT_EQ(home.get().getChildFile(".Fennic Labs").loadFileAsString(), "not a folder");
}

// A port that fails to open, reported by the MIDI manager, reaches the user in a box.
TEST_F(AppPanelTest, aPortThatFailsToOpenIsReportedInABox) {
    startApp();
    const int broken = factory->addPort(1, "Broken");
    factory->failOpen(broken, "device is busy");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Broken");
    ASSERT_TRUE(pumpUntil([this] { return boxes.size() > 0; }));
    const Box box = boxes.snapshot().front();
    EXPECT_TRUE(box.isError && box.onMessageThread);
    EXPECT_TRUE(box.text.contains("\"Broken\" could not be opened")) << box.text;
}

// Ticked in the MIDI Port Settings dialog, or asked for on the command line for one run.
TEST_F(AppPanelTest, virtualPortOpensOnOkOrForOneRunCancelLeavesNothingUntickingCloses) {
    const int synth = factory->addPort(0, "Synth");
    refresh();
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Synth");
    startApp();
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    // Sets the box in the dialog, and ends it with OK or Cancel.
    auto setBox = [this](bool ticked, bool ok, const char* picture = nullptr) {
        auto& dialog = panel->getPortDialog();
        ModalScript script(dialog, [&] {
            juce::ToggleButton& box = dialog.getContent()->getVirtualInputToggle();
            EXPECT_TRUE(box.isShowing());
            EXPECT_EQ(box.getToggleState(), !ticked) << "the box shows the port as it is";
            box.setToggleState(ticked, juce::sendNotificationSync);
            if (picture != nullptr)
                saveScreenshot(dialog, picture);
            (ok ? dialog.getContent()->getOkButton() : dialog.getContent()->getCancelButton())
                .triggerClick();
        });
        panel->getSelectDeviceButton()->triggerClick();
        ASSERT_TRUE(script.runUntilClosed());
    };
    setBox(true, false);
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    EXPECT_EQ(factory->virtualInputId(AppContentPanel::VIRTUAL_PORT_NAME), 0);
    setBox(true, true, "port_settings_virtual_port");
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
    setBox(false, true);
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    stopApp();

    // From the command line the port is open, and the setting stays as it was.
    startApp("--virtual-port");
    EXPECT_EQ(manager->IsVirtualInputOpen(), 1);
    EXPECT_TRUE(panel->getPortDialog().virtualInputEnabled);
    EXPECT_FALSE(panel->isVirtualPortStored());
    stopApp();
    EXPECT_TRUE(file.loadFileAsString().contains("VirtualPort=0"));
    startApp();
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
// they were. Waiting to appear it keeps still, shown it follows the traffic, and the pointer
// coming back from elsewhere reads the counters anew.
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
    factory->feed(keys, Bytes{0xF8});
    EXPECT_FALSE(tips.getTipFor(*panel->getCloseButton()).contains("Received"));
    EXPECT_TRUE(tips.getTipFor(display).contains("Received: 4 messages, 9 bytes"));
}

} // namespace
