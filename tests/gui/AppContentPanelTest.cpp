#include "juce/face/FaceDrawing.h"
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
using Look = ActivityLight::Look;

// The start text stays at least four seconds. Without an input port it gives way to the
// hint, which a port that fails to open leaves, reporting it in a box, as a settings folder
// that cannot be written does not stop the close; with a port, a message shown before the
// start text goes stays. The lights beside the sockets show the ports' states and flash.
TEST_F(AppPanelTest, startTextGivesWayToTheHintAndFailuresAreReportedOrSurvivedAndMessagesStay) {
    home.write(".Fennic Labs", "not a folder");
    startApp();
    const juce::uint32 started = juce::Time::getMillisecondCounter();
    EXPECT_EQ(line1(), "VERSION");
    EXPECT_EQ(line2(), "1.1");
    saveScreenshot(*window, "main_window_start"); // and the lights dark
    EXPECT_EQ(panel->getThruLight().getTooltip(), "MIDI THRU: no port chosen");
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
    factory->failOpen(factory->addPort(0, "Gone"), "unplugged");
    refresh();
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Gone");
    ASSERT_TRUE(pumpUntil([this] { return panel->getThruLight().getLook() == Look::red; }));
    EXPECT_TRUE(panel->getInputLight().getTooltip().startsWith(
        "MIDI IN \"Broken\": pending: device is busy"));
    saveScreenshot(*window, "lights_red_after_failed_opens");
    EXPECT_FALSE(panel->saveSettings());
    stopApp();
    EXPECT_EQ(home.read(".Fennic Labs"), "not a folder");

    const int keys = factory->addPort(1, "Keys");
    factory->addPort(0, "Synth");
    bindAlias(AppContentPanel::ALIAS_INPUT, Lk::atIn, "Keys");
    bindAlias(AppContentPanel::ALIAS_THRU, Lk::atOut, "Synth");
    startApp();
    ASSERT_TRUE(pumpUntil([this] { return panel->getThruLight().getLook() == Look::dim; }));
    EXPECT_EQ(panel->getInputLight().getLook(), Look::dim);
    saveScreenshot(*window, "lights_open");
    ProgramNames names;
    names[5] = "Grand Piano Left";
    panel->getProgramNames().set(names);
    factory->feed(keys, Bytes{0xC0, 0x05});
    ASSERT_TRUE(pumpUntil([this] { return line1() == "GRAND PI"; }));
    // A flash is short, and each light keeps its own pace under a flood: a note at a time,
    // each once both lights are out, until a poll sees them lit together.
    bool together = false;
    for (int tries = 0; tries < 20 && !together; ++tries) {
        pumpFor(3 * ActivityLight::FLASH_MS);
        factory->feed(keys, Bytes{0x80, 0x40, 0x00});
        together = pumpUntil([this] {
            return panel->getInputLight().getLook() == Look::bright &&
                   panel->getThruLight().getLook() == Look::bright;
        }, 2 * ActivityLight::FLASH_MS);
    }
    ASSERT_TRUE(together);
    saveScreenshot(*window, "lights_flash");
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

// Of what is printed on the face where the web link lies, only the maker's name is not
// covered by a button: a click on a caption never opens the page, a click on the name does.
TEST_F(AppPanelTest, onlyTheMakersNameOpensTheWebPageNotTheCaptionsBesideIt) {
    const dokatest::TempDir folder("doka-open");
    recordOpens(folder);
    startApp();
    const juce::Image face =
        PictureAtScale(FaceDrawing::draw, FaceDrawing::WIDTH, FaceDrawing::HEIGHT).render(1.0f);
    const juce::Rectangle<int> link(336, 16, 231, 77);
    int printedOnName = 0;
    for (int y = link.getY(); y < link.getBottom(); ++y)
        for (int x = link.getX(); x < link.getRight(); ++x) {
            const juce::Colour c = face.getPixelAt(x, y);
            if (std::min({c.getRed(), c.getGreen(), c.getBlue()}) < 150 ||
                !dynamic_cast<juce::HyperlinkButton*>(panel->getComponentAt(x, y)))
                continue;
            EXPECT_TRUE(FaceDrawing::BRAND_AREA.contains(x, y)) << "at " << x << ", " << y;
            ++printedOnName;
        }
    EXPECT_GT(printedOnName, 300);

    auto& dialog = panel->getPortDialog();
    ModalScript close(dialog, [&dialog] { dialog.closeButtonPressed(); });
    click({534, 56}); // "SELECT DEVICE" under the right button
    EXPECT_TRUE(close.runUntilClosed());
    // Fading out, the dialog's picture still covers the name.
    ASSERT_TRUE(
        pumpUntil([] { return !juce::Desktop::getInstance().getAnimator().isAnimating(); }));
    click(FaceDrawing::BRAND_AREA.getCentre());
    EXPECT_TRUE(pumpUntil(
        [&] { return folder.read("args") == AppContentPanel::PRODUCT_URL + std::string("\n"); }));
    Lk::setOpenCommand("xdg-open");
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

// Typing, Return and another program chosen meanwhile are real keys in ProgramProcess.
TEST_F(AppPanelTest, programNamesOkAppliesCancelAndCloseDiscard) {
    startApp();
    auto& dialog = panel->getProgramDialog();
    EXPECT_FALSE(dialog.isOnDesktop()); // a hidden dialog holds no native window
    dialog.setCurrentProgram(5);
    auto* content = dialog.getContent();
    const std::pair<std::function<void()>, const char*> ends[] = {
        {[&] { content->getCancelButton().triggerClick(); }, ""},
        {[&] { dialog.closeButtonPressed(); }, ""},
        {[&] { content->getOkButton().triggerClick(); }, "Changed"}};
    for (const auto& end : ends) {
        ModalScript script(dialog, [&] {
            saveScreenshot(dialog, "program_names_dialog");
            content->getNameEditor().setText("Changed");
            end.first();
        });
        panel->getProgramNamesButton()->triggerClick(); // a click on the display
        ASSERT_TRUE(script.runUntilClosed());
        EXPECT_EQ((*panel->getProgramNames().get())[5], end.second);
    }
    EXPECT_TRUE(pumpUntil([&] { return !dialog.isVisible(); }));
    EXPECT_FALSE(dialog.isOnDesktop());
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
