#include "tests/gui/support/AppWindowFixture.h"
#include "tests/gui/support/ScreenPixels.h"
#include "tests/support/MidiBytes.h"

#include <cerrno>
#include <csignal>

namespace {

using dokatest::Bytes;

// "HELLO" as the module sends it.
const Bytes hello{0xF0, 0x77, 0x08, 0x05, 0x0C, 0x0C, 0x0F, 0x75, 0xF7};
// Where the display's characters lie in the window's picture.
const juce::Rectangle<int> displayArea{21, 95, 600, 226};

using AppPanelTest = AppWindowFixture;

// The start text stays at least four seconds. Without an input port it gives way to the
// hint, which a port that fails to open leaves, reporting it in a box, as a settings folder
// that cannot be written does not stop the close; with a port, a message shown before the
// start text goes stays.
TEST_F(AppPanelTest, startTextGivesWayToTheHintAndFailuresAreReportedOrSurvivedAndMessagesStay) {
    home.write(".Fennic Labs", "not a folder");
    startApp();
    const juce::uint32 started = juce::Time::getMillisecondCounter();
    EXPECT_EQ(line1(), "VERSION");
    EXPECT_EQ(line2(), "1.1");
    saveScreenshot(*window, "main_window_start");
    ASSERT_TRUE(pumpUntil([this] { return line1() == "SELECT"; }, 15000));
    EXPECT_GE(juce::Time::getMillisecondCounter() - started, 4000u);
    EXPECT_EQ(line2(), "DEVICE");
    EXPECT_GT(countAmberPixels(saveScreenshot(*window, "main_window_hint"), displayArea), 2000);
    factory->failOpen(factory->addPort(1, "Broken"), "device is busy");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Broken");
    ASSERT_TRUE(pumpUntil([this] { return boxes.size() > 0; }));
    EXPECT_TRUE(boxes.snapshot().front().contains("\"Broken\" could not be opened"));
    EXPECT_EQ(line1(), "SELECT");
    EXPECT_FALSE(panel->saveSettings());
    stopApp();
    EXPECT_EQ(home.read(".Fennic Labs"), "not a folder");

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
    factory->feed(keys, hello);
    ASSERT_TRUE(pumpUntil([this] { return line1() == "HELLO"; }));
    EXPECT_EQ(panel->getCurrentProgram(), -1);
    pumpFor(6000);
    EXPECT_EQ(line1(), "HELLO");
    // After the idle pause the window shows a message at once, not at its next timer.
    void* const nativeWindow = window->getPeer()->getNativeHandle();
    const auto area = window->getLocalArea(panel, displayArea);
    const unsigned long idle = screenDigest(nativeWindow, area);
    factory->feed(keys, Bytes{0xC0, 0x05});
    EXPECT_TRUE(pumpUntil([&] { return screenDigest(nativeWindow, area) != idle; }, 500));
}

// An input that is not plugged in is a normal state: other ports coming and going neither
// report it again in a box nor take the hint away; only the opening of that input does.
TEST_F(AppPanelTest, anAbsentInputIsNoErrorAndOnlyItsOpeningClearsTheHint) {
    const int keys = factory->addPort(1, "Keys");
    factory->addPort(0, "Synth");
    refresh();
    factory->removePort(keys);
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Synth");
    startApp();
    ASSERT_TRUE(pumpUntil([this] { return line1() == "SELECT"; }, 15000));
    auto othersComeAndGo = [this] {
        for (int i = 0; i < 2; ++i) {
            factory->removePort(factory->addPort(1, "Other"));
            refresh();
            pumpFor(300);
        }
    };
    othersComeAndGo();
    EXPECT_EQ(line1(), "SELECT");
    factory->replugPort(keys);
    refresh();
    EXPECT_TRUE(pumpUntil([this] { return line1().isEmpty(); }));
    factory->removePort(keys);
    refresh();
    othersComeAndGo();
    ASSERT_EQ(boxes.size(), 1u); // the unplug itself is reported once
    EXPECT_TRUE(boxes.snapshot().front().contains("\"Keys\" unplugged"));
}

TEST_F(AppPanelTest, programNamesReturnAndOkApplyCancelAndCloseDiscard) {
    startApp();
    auto& dialog = panel->getProgramDialog();
    EXPECT_FALSE(dialog.isOnDesktop()); // a hidden dialog holds no native window
    auto names = [this](int program) { return (*panel->getProgramNames().get())[program]; };
    // Two programs edited, the second after the editor has settled on its name as a user's
    // typing would; the name is cut at 16 characters.
    dialog.setCurrentProgram(4);
    auto editFiveGoToSix = [&] {
        saveScreenshot(dialog, "program_names_dialog");
        dialog.getContent()->getNameEditor().setText("Five");
        dialog.getContent()->getSelector().setSelectedItemIndex(5, juce::sendNotificationSync);
        return true;
    };
    auto typeSixThenReturn = [&] {
        juce::TextEditor& editor = dialog.getContent()->getNameEditor();
        editor.insertTextAtCaret("ABCDEFGHIJKLMNOPQ");
        dialog.getContent()->keyPressed(juce::KeyPress(juce::KeyPress::returnKey), &editor);
        return true;
    };
    ModalScript twoPrograms(dialog, {editFiveGoToSix, typeSixThenReturn});
    panel->getProgramNamesButton()->triggerClick(); // a click on the display
    ASSERT_TRUE(twoPrograms.runUntilClosed());
    EXPECT_EQ(names(4), "Five");
    EXPECT_EQ(names(5), "ABCDEFGHIJKLMNOP");
    EXPECT_TRUE(pumpUntil([&] { return !dialog.isVisible(); }));
    EXPECT_FALSE(dialog.isOnDesktop());

    auto* content = dialog.getContent();
    const std::pair<std::function<void()>, const char*> ends[] = {
        {[&] { content->getCancelButton().triggerClick(); }, "ABCDEFGHIJKLMNOP"},
        {[&] { dialog.closeButtonPressed(); }, "ABCDEFGHIJKLMNOP"},
        {[&] { content->getOkButton().triggerClick(); }, "Changed"}};
    for (const auto& end : ends) {
        ModalScript script(dialog, [&] {
            content->getNameEditor().setText("Changed");
            end.first();
        });
        panel->getProgramNamesButton()->triggerClick();
        ASSERT_TRUE(script.runUntilClosed());
        EXPECT_EQ(names(5), end.second);
    }
}

// Ticked in the MIDI Port Settings dialog, or asked for on the command line for one run.
TEST_F(AppPanelTest, virtualPortOpensOnOkOrForOneRunCancelLeavesNothingUntickingCloses) {
    const int synth = factory->addPort(0, "Synth");
    refresh();
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Synth");
    startApp();
    // Sets the box in the dialog, and ends it with OK or Cancel.
    auto setBox = [this](bool ticked, bool ok) {
        auto& dialog = panel->getPortDialog();
        ModalScript script(dialog, [&] {
            juce::ToggleButton& box = dialog.getContent()->getVirtualInputToggle();
            EXPECT_EQ(box.getToggleState(), !ticked) << "the box shows the port as it is";
            box.setToggleState(ticked, juce::sendNotificationSync);
            if (ticked && ok)
                saveScreenshot(dialog, "port_settings_virtual_port");
            (ok ? dialog.getContent()->getOkButton() : dialog.getContent()->getCancelButton())
                .triggerClick();
        });
        panel->getSelectDeviceButton()->triggerClick();
        ASSERT_TRUE(script.runUntilClosed());
    };
    setBox(true, false);
    EXPECT_EQ(factory->virtualInputId(AppContentPanel::VIRTUAL_PORT_NAME), 0);
    setBox(true, true);
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
    stopApp();
    EXPECT_TRUE(file.loadFileAsString().contains("VirtualPort=0"));
}

// The tip over the display adds the thru counters to its own text; elsewhere tips stay as
// they were. Waiting to appear it keeps still, shown it follows the traffic, and the pointer
// coming back from elsewhere reads the counters anew.
TEST_F(AppPanelTest, displayTooltipCarriesTheThruCountersAndFollowsThemWhileShown) {
    const int keys = factory->addPort(1, "Keys");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    juce::TooltipWindow& tips = panel->getTooltipWindow();
    juce::Component& display = *panel->getProgramNamesButton();

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

// The quit signal's handler leaves errno as it was, also when its pipe is full and the
// write fails.
TEST(QuitSignal, keepsErrnoAlsoWhenItsPipeIsFull) {
    installQuitSignalHandlers();
    for (int i = 0; i < 70000; ++i) // more bytes than a pipe holds
        std::raise(SIGINT);
    errno = ERANGE;
    std::raise(SIGINT);
    EXPECT_EQ(errno, ERANGE);
    removeQuitSignalHandlers();
}

} // namespace
