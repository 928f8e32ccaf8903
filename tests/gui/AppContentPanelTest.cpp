#include "src/AppContentPanel.h"
#include "juce/common/JuceUtils.h"
#include "midi/MidiAlias.h"
#include "src/AppMain.h"
#include "tests/gui/support/GuiTestSupport.h"

#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<unsigned char>;

juce::String shown(juce::TextEditor* editor) {
    return editor->getText().trim();
}

// Runs `action` once the dialog has entered its modal loop and the messages it posted on
// the way (its first selection, for one) have been handled.
class WhenModal : public juce::Timer {
public:
    WhenModal(juce::Component& d, std::function<void()> a) : dialog(d), action(std::move(a)) {
        startTimer(10);
    }
    void timerCallback() override {
        if (!dialog.isCurrentlyModal() || !dialog.isVisible())
            return;
        stopTimer();
        whenIdle(action);
    }

private:
    juce::Component& dialog;
    std::function<void()> action;
};

class AppPanelTest : public MidiBackendFixture {
protected:
    void SetUp() override {
        MidiBackendFixture::SetUp();
        JuceUtils::setMessageBoxHandler(
            [this](bool isError, const juce::String&, const juce::String& text) {
                boxes.push_back(
                    {isError, text, juce::MessageManager::getInstance()->isThisTheMessageThread()});
            });
    }
    void TearDown() override {
        window.reset();
        JuceUtils::setMessageBoxHandler(nullptr);
        MidiBackendFixture::TearDown();
    }

    void startApp(const juce::String& commandLine = {}) {
        window = std::make_unique<AppWindow>("Fennic DOKA");
        window->init(commandLine, true);
        panel = dynamic_cast<AppContentPanel*>(window->getContent());
        ASSERT_NE(panel, nullptr);
        ASSERT_TRUE(pumpUntil([this] { return panel->isStarted(); }));
    }
    // Closes the window as the program does at its end; the next start finds a new
    // MIDI library, as a new process would.
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

    struct Box {
        bool isError;
        juce::String text;
        bool onMessageThread;
    };
    TemporaryHome home;
    std::unique_ptr<AppWindow> window;
    AppContentPanel* panel = nullptr;
    std::vector<Box> boxes;
};

TEST_F(AppPanelTest, startTextGivesWayToHintWithoutInputAndOpeningAPortBlanksIt) {
    startApp();
    EXPECT_EQ(shown(panel->getLine1Editor()), "VERSION");
    EXPECT_EQ(shown(panel->getLine2Editor()), "1.1");
    saveScreenshot(*window, "main_window_start");

    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()) == "SELECT"; }, 15000));
    EXPECT_EQ(shown(panel->getLine2Editor()), "DEVICE");
    const juce::Image hint = saveScreenshot(*window, "main_window_hint");
    EXPECT_GT(countAmberPixels(hint, {21, 95, 600, 226}), 2000);

    const int keys = factory->addPort(1, "Keys");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()).isEmpty(); }));
    EXPECT_TRUE(shown(panel->getLine2Editor()).isEmpty());
    EXPECT_EQ(factory->openPortObjects(keys), 1);
}

TEST_F(AppPanelTest, startTextBlanksWhenTheInputPortIsPresentAndAnEarlyMessageStays) {
    const int keys = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    EXPECT_EQ(factory->openPortObjects(keys), 1);
    const juce::uint32 started = juce::Time::getMillisecondCounter();
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()).isEmpty(); }, 15000));
    EXPECT_GE(juce::Time::getMillisecondCounter() - started, 4000u);

    stopApp();
    const int keysAgain = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    factory->feed(keysAgain, Bytes{0xF0, 0x77, 0x08, 0x05, 0x0C, 0x0C, 0x0F, 0x75, 0xF7});
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()) == "HELLO"; }));
    pumpFor(6000);
    EXPECT_EQ(shown(panel->getLine1Editor()), "HELLO");
}

TEST_F(AppPanelTest, displayMessagesAndProgramChangesReachTheEditorsLastOfABurstWins) {
    const int keys = factory->addPort(1, "Keys");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    startApp();
    ProgramNames names;
    names[5] = "Grand Piano Left";
    panel->getProgramNames().set(names);

    factory->feed(keys, Bytes{0xC0, 0x05});
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()) == "GRAND PI"; }));
    EXPECT_EQ(shown(panel->getLine2Editor()), "ANO LEFT");
    EXPECT_EQ(panel->getCurrentProgram(), 5);
    const juce::Image image = saveScreenshot(*window, "main_window_program");
    EXPECT_GT(countAmberPixels(image, {21, 95, 600, 226}), 2000);

    for (unsigned char code = 1; code <= 26; ++code)
        factory->feed(keys, Bytes{0xF0, 0x77, code, code, 0x75, 0xF7});
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()) == "ZZ"; }));
    EXPECT_EQ(panel->getCurrentProgram(), -1);

    // Channel 3 only: a Program Change on channel 1 is ignored.
    panel->getChannelSelector()->setSelectedItemIndex(3, juce::sendNotificationSync);
    EXPECT_EQ(panel->getReceiveChannel(), 2);
    factory->feed(keys, Bytes{0xC0, 0x05});
    factory->feed(keys, Bytes{0xC2, 0x07});
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()) == "PROGRAM"; }));
    EXPECT_EQ(shown(panel->getLine2Editor()), "008");
}

TEST_F(AppPanelTest, clickOnDisplayOpensProgramNamesAndReturnApplies) {
    startApp();
    auto& dialog = panel->getProgramDialog();
    WhenModal edit(dialog, [&] {
        auto* content = dialog.getContent();
        saveScreenshot(dialog, "program_names_dialog");
        content->getNameEditor().setText("Strings");
        content->keyPressed(juce::KeyPress(juce::KeyPress::returnKey), &content->getNameEditor());
    });
    panel->getProgramNamesButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return (*panel->getProgramNames().get())[0] == "Strings"; }));
    EXPECT_TRUE(pumpUntil([&] { return !dialog.isVisible(); }));
}

TEST_F(AppPanelTest, okAppliesEditsOfTwoProgramsCancelAndCloseDiscard) {
    startApp();
    auto& dialog = panel->getProgramDialog();
    dialog.setCurrentProgram(4);
    pumpFor(50);
    bool done = false;
    WhenModal editTwo(dialog, [&] {
        auto* content = dialog.getContent();
        content->getNameEditor().setText("Five");
        content->getSelector().setSelectedItemIndex(5, juce::sendNotificationSync);
        // Typing comes after the editor has settled on program 6's name, as a user's would.
        whenIdle([&, content] {
            content->getNameEditor().insertTextAtCaret("ABCDEFGHIJKLMNOPQ");
            EXPECT_EQ(content->getNameEditor().getText(), "ABCDEFGHIJKLMNOP");
            content->getOkButton().triggerClick();
            done = true;
        });
    });
    panel->getProgramNamesButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return done && !dialog.isCurrentlyModal(); }));
    pumpFor(50);
    auto names = panel->getProgramNames().get();
    EXPECT_EQ((*names)[4], "Five");
    EXPECT_EQ((*names)[5], "ABCDEFGHIJKLMNOP");
    // The panel shows the current program again: the one last selected in the dialog is
    // not a received one, so the display keeps what it had.

    done = false;
    WhenModal cancel(dialog, [&] {
        dialog.getContent()->getNameEditor().setText("Cancelled");
        dialog.getContent()->getCancelButton().triggerClick();
        done = true;
    });
    panel->getProgramNamesButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return done && !dialog.isCurrentlyModal(); }));
    EXPECT_EQ((*panel->getProgramNames().get())[5], "ABCDEFGHIJKLMNOP");

    done = false;
    WhenModal closeBox(dialog, [&] {
        dialog.getContent()->getNameEditor().setText("Closed");
        dialog.closeButtonPressed();
        done = true;
    });
    panel->getProgramNamesButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return done && !dialog.isCurrentlyModal(); }));
    EXPECT_EQ((*panel->getProgramNames().get())[5], "ABCDEFGHIJKLMNOP");
}

TEST_F(AppPanelTest, settingsAreWrittenAtCloseAndReadBackWithTheWindowOnScreen) {
    startApp();
    panel->getChannelSelector()->setSelectedItemIndex(10, juce::sendNotificationSync);
    ProgramNames names;
    names[3] = "  Pad ";
    names[9] = "Say \"hi\"";
    panel->getProgramNames().set(names);
    window->setTopLeftPosition(5000, -3000);
    const juce::File file = settingsFile();
    stopApp();
    ASSERT_TRUE(file.existsAsFile());
    EXPECT_TRUE(file.loadFileAsString().contains("ReceiveChannel=9"));

    startApp();
    EXPECT_EQ(panel->getReceiveChannel(), 9);
    EXPECT_EQ(panel->getChannelSelector()->getSelectedItemIndex(), 10);
    EXPECT_EQ((*panel->getProgramNames().get())[3], "  Pad ");
    EXPECT_EQ((*panel->getProgramNames().get())[9], "Say \"hi\"");
    const auto area = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
    EXPECT_EQ(window->getRight(), area.getRight());
    EXPECT_EQ(window->getY(), area.getY());

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
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine2Editor()) == "002"; }));
    stopApp();
    juce::MemoryBlock dumped;
    home.get().getChildFile("DOKA_dump.syx").loadFileAsData(dumped);
    previous.setAsCurrentWorkingDirectory();
    EXPECT_EQ(Bytes(static_cast<const unsigned char*>(dumped.getData()),
                    static_cast<const unsigned char*>(dumped.getData()) + dumped.getSize()),
              sent);
}

TEST_F(AppPanelTest, errorsFromOtherThreadsAppearOnTheMessageThreadOneBoxEach) {
    startApp();
    std::thread reporter([this] {
        for (int i = 0; i < 3; ++i)
            panel->OnMidiErrorMessage(0, 1, Lk::OxString::format("failure %d", i));
    });
    reporter.join(); // returns without the message thread's help
    ASSERT_TRUE(pumpUntil([this] { return boxes.size() == 3; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(boxes[static_cast<size_t>(i)].isError);
        EXPECT_TRUE(boxes[static_cast<size_t>(i)].onMessageThread);
        EXPECT_EQ(boxes[static_cast<size_t>(i)].text, "failure " + juce::String(i));
    }

    // A port that fails to open, reported by the MIDI manager itself.
    const int broken = factory->addPort(1, "Broken");
    factory->failOpen(broken, "device is busy");
    refresh();
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Broken");
    ASSERT_TRUE(pumpUntil([this] { return boxes.size() > 3; }));
    EXPECT_TRUE(boxes.back().onMessageThread);
}

TEST_F(AppPanelTest, virtualPortBoxOpensOurPortOnOkIsKeptInTheSettingsCancelLeavesNothing) {
    const int synth = factory->addPort(0, "Synth");
    refresh();
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Synth");
    startApp();
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    auto& dialog = panel->getPortDialog();

    bool done = false;
    WhenModal cancel(dialog, [&] {
        juce::ToggleButton& box = dialog.getContent()->getVirtualInputToggle();
        EXPECT_TRUE(box.isShowing());
        EXPECT_FALSE(box.getToggleState());
        box.setToggleState(true, juce::sendNotificationSync);
        dialog.getContent()->getCancelButton().triggerClick();
        done = true;
    });
    panel->getSelectDeviceButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return done && !dialog.isCurrentlyModal(); }));
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    EXPECT_EQ(factory->virtualInputId(AppContentPanel::VIRTUAL_PORT_NAME), 0);

    done = false;
    WhenModal ok(dialog, [&] {
        juce::ToggleButton& box = dialog.getContent()->getVirtualInputToggle();
        EXPECT_FALSE(box.getToggleState()); // the ticking that was cancelled is gone
        box.setToggleState(true, juce::sendNotificationSync);
        saveScreenshot(dialog, "port_settings_virtual_port");
        dialog.getContent()->getOkButton().triggerClick();
        done = true;
    });
    panel->getSelectDeviceButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return done && !dialog.isCurrentlyModal(); }));
    EXPECT_EQ(manager->IsVirtualInputOpen(), 1);
    // Another program's display message is shown and passed on as the module's would be.
    const Bytes hello{0xF0, 0x77, 0x08, 0x05, 0x0C, 0x0C, 0x0F, 0x75, 0xF7};
    EXPECT_EQ(factory->feed(factory->virtualInputId(AppContentPanel::VIRTUAL_PORT_NAME), hello), 1);
    ASSERT_TRUE(pumpUntil([this] { return shown(panel->getLine1Editor()) == "HELLO"; }));
    const auto sent = factory->sentMessages(synth);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, hello);

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
    bool done = false;
    WhenModal untick(dialog, [&] {
        juce::ToggleButton& box = dialog.getContent()->getVirtualInputToggle();
        EXPECT_TRUE(box.getToggleState());
        box.setToggleState(false, juce::sendNotificationSync);
        dialog.getContent()->getOkButton().triggerClick();
        done = true;
    });
    panel->getSelectDeviceButton()->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return done && !dialog.isCurrentlyModal(); }));
    EXPECT_EQ(manager->IsVirtualInputOpen(), 0);
    stopApp();

    // A backend without ports of its own: the user is told why.
    factory->offerVirtualInputs(false);
    startApp("--virtual-port");
    ASSERT_TRUE(pumpUntil([this] { return !boxes.empty(); }));
    EXPECT_TRUE(boxes.back().isError);
    EXPECT_TRUE(boxes.back().text.contains("\"DOKA Display\" cannot be offered"));
}

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

    factory->feed(keys, Bytes{0xC0, 0x05, 0xF0, 0x01, 0xF7});
    const juce::String waiting = tips.getTipFor(display);
    EXPECT_TRUE(waiting.startsWith("Edit Program Names")) << waiting;
    EXPECT_TRUE(waiting.contains("\nReceived: 2 messages, 5 bytes\n")) << waiting;
    EXPECT_TRUE(waiting.contains("Passed to MIDI Thru: 2 messages, 5 bytes")) << waiting;
    // Elsewhere the tips stay as they were.
    EXPECT_TRUE(tips.getTipFor(*panel->getCloseButton()).startsWith("Close"));
    EXPECT_FALSE(tips.getTipFor(*panel->getCloseButton()).contains("Received"));

    // Hidden, the text keeps still so that it can appear; shown, it follows the traffic.
    EXPECT_TRUE(tips.getTipFor(display).startsWith("Edit Program Names"));
    factory->feed(keys, Bytes{0x90, 0x40, 0x7F});
    EXPECT_EQ(tips.getTipFor(display), waiting);
    tips.displayTip(display.getScreenBounds().getCentre(), waiting);
    ASSERT_TRUE(pumpUntil([&] { return tips.isVisible(); }));
    EXPECT_TRUE(tips.getTipFor(display).contains("Received: 3 messages, 8 bytes"));
    tips.hideTip();
}

} // namespace
