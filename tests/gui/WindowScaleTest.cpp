// The main window's scale, always-on-top and shortcuts. Runs on a 2048 x 1536 screen, on
// which the face fits up to 300 %.
#include "juce/common/DisplayScale.h"
#include "juce/face/FaceDrawing.h"
#include "tests/gui/support/AppWindowFixture.h"

namespace {

const juce::Point<int> FACE{FaceDrawing::WIDTH, FaceDrawing::HEIGHT};

TEST(DisplayScale, aValueBetweenStepsMovesToItsNeighbourAndOutOfRangeOrATooSmallScreenOwnSize) {
    for (int stored : {99, 401, -300})
        EXPECT_EQ(DisplayScale::fromStored(stored), 100) << stored;
    EXPECT_EQ(DisplayScale::larger(175), 200);
    EXPECT_EQ(DisplayScale::smaller(175), 150);
    EXPECT_EQ(DisplayScale::largestFitting(400, FACE, {0, 0, 3840, 2160}), 400);
    EXPECT_EQ(DisplayScale::largestFitting(400, FACE, {0, 0, 640, 480}), 100);
}

class WindowScaleTest : public AppWindowFixture {
protected:
    WindowControls& controls() { return *panel->getWindowControls(); }
    void expectScale(int percent) {
        EXPECT_EQ(controls().getScale(), percent);
        EXPECT_EQ(window->getBounds().getWidth(), FACE.x * percent / 100);
        EXPECT_EQ(window->getBounds().getHeight(), FACE.y * percent / 100);
        const auto screen =
            juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
        EXPECT_TRUE(screen.contains(window->getBounds())) << window->getBounds().toString();
        // Everything on the face grows with it: the invisible buttons and the selector.
        EXPECT_NEAR(panel->getCloseButton()->getScreenBounds().getWidth(), 41 * percent / 100, 1);
        EXPECT_NEAR(panel->getChannelSelector()->getScreenBounds().getWidth(), 110 * percent / 100,
                    1);
    }
};

TEST_F(WindowScaleTest, keysStepTheScaleAsFarAsTheScreenHoldsAndTheWindowStaysOnIt) {
    startApp();
    expectScale(100);
    window->setTopLeftPosition(100, 50);
    EXPECT_TRUE(press('='));
    expectScale(150);
    EXPECT_EQ(window->getPosition(), juce::Point<int>(100, 50)) << "kept where it fits";

    // Near the bottom right corner the larger window is pulled back onto the screen.
    window->setTopLeftPosition(1500, 1200);
    const int ctrl = juce::ModifierKeys::ctrlModifier;
    const struct {
        int key, modifiers, scale;
    } steps[] = {{'+', ctrl | juce::ModifierKeys::shiftModifier, 200},
                 {juce::KeyPress::numberPadAdd, ctrl, 250},
                 {'=', ctrl, 300},
                 {'=', ctrl, 300}, // 350 % would not fit the screen
                 {'-', ctrl, 250},
                 {juce::KeyPress::numberPadSubtract, ctrl, 200},
                 {'0', ctrl, 100},
                 {'-', ctrl, 100}};
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "key " << step.key << " to " << step.scale << " %");
        EXPECT_TRUE(press(step.key, step.modifiers));
        expectScale(step.scale);
    }
    // Without Ctrl the keys are not ours.
    EXPECT_FALSE(press('=', 0));
    expectScale(100);
}

// Channel, program names, scale, always-on-top and position are written at the close and
// read back at the next start; a name cleared meanwhile does not come back from the file.
TEST_F(WindowScaleTest, settingsAreWrittenAtCloseAndReadBackAndATooLargeScaleFitsTheScreen) {
    startApp();
    panel->getChannelSelector()->setSelectedItemIndex(10, juce::sendNotificationSync);
    ProgramNames names;
    names[3] = "  Pad ";
    names[9] = "Say \"hi\" \\o/";
    panel->getProgramNames().set(names);
    press('=');
    press('=');
    EXPECT_TRUE(press('t'));
    EXPECT_TRUE(window->isAlwaysOnTop());
    window->setTopLeftPosition(300, 200);
    const juce::File file = settingsFile();
    stopApp();
    for (const char* entry : {"ReceiveChannel=9", "DisplayScale=200", "AlwaysOnTop=1"})
        EXPECT_TRUE(file.loadFileAsString().contains(entry)) << entry;

    startApp();
    EXPECT_EQ(panel->getReceiveChannel(), 9);
    EXPECT_EQ(panel->getChannelSelector()->getSelectedItemIndex(), 10);
    EXPECT_EQ(*panel->getProgramNames().get(), names);
    expectScale(200);
    EXPECT_TRUE(window->isAlwaysOnTop());
    EXPECT_EQ(window->getPosition(), juce::Point<int>(300, 200));
    press('T');
    EXPECT_FALSE(window->isAlwaysOnTop());
    names[3] = "";
    panel->getProgramNames().set(names);
    stopApp();
    EXPECT_TRUE(file.loadFileAsString().contains("AlwaysOnTop=0"));
    startApp();
    EXPECT_TRUE((*panel->getProgramNames().get())[3].isEmpty());
    stopApp();

    // Larger than the screen holds: the largest that fits, placed on the screen.
    file.replaceWithText("[Current]\nDisplayScale=400\nMainLeft=1800\nMainTop=1400\n");
    startApp();
    expectScale(300);

    // A number past either end of 32 or 64 bits reads as the default, not as what it wraps
    // to (a value that counts, or one that overflows where it is used); so does garbage.
    const auto state = [this] {
        const auto* input = Lk::TMidiAliasManager::instance()->GetAliasByName(
            AppContentPanel::ALIAS_INPUT, Lk::atIn, 0, -1);
        return juce::StringArray{juce::String(panel->getReceiveChannel()),
                                 panel->getChannelSelector()->getText(),
                                 juce::String(controls().getScale()),
                                 juce::String(int(window->isAlwaysOnTop())),
                                 juce::String(int(panel->getPortDialog().virtualInputEnabled)),
                                 juce::String(int(panel->getPortDialog().webViewEnabled)),
                                 panel->getPortDialog().webViewAddress,
                                 window->getPosition().toString(),
                                 input ? Lk::JuceStringFrom(input->deviceName) : ""}
            .joinIntoString(" ");
    };
    stopApp();
    file.deleteFile();
    startApp();
    const juce::String defaults = state();
    const auto decimal = [](__int128 v) {
        std::string text;
        for (unsigned __int128 rest = v < 0 ? -v : v; text.empty() || rest > 0; rest /= 10)
            text.insert(text.begin(), char('0' + int(rest % 10)));
        return v < 0 ? "-" + text : text;
    };
    // Each key with a value that counts and what follows it in the file.
    const std::tuple<const char*, int, const char*> keys[] = {
        {"[Current]\nReceiveChannel", 9, ""},
        {"VirtualPort", 1, ""},
        {"WebView", 1, ""},
        {"WebViewAddress", 8231, ""},
        {"DisplayScale", 200, ""},
        {"AlwaysOnTop", 1, ""},
        {"MainLeft", 300, ""},
        {"MainTop", 200, ""},
        {"[MIDI.alias]\nName0=MIDI Input\nDevice0", 1, ":Keys"}};
    const __int128 two32 = __int128(1) << 32, two64 = __int128(1) << 64;
    const __int128 offsets[] = {two32, -two32, two64, -two64};
    const char* const others[] = {"-2147483649", "2147483648", "1x"};
    for (size_t form = 0; form < std::size(offsets) + std::size(others); ++form) {
        stopApp();
        std::string text;
        for (const auto& [key, counts, after] : keys)
            text += std::string(key) + "=" +
                    (form < std::size(offsets) ? decimal(counts + offsets[form])
                                               : others[form - std::size(offsets)]) +
                    after + "\n";
        file.replaceWithText(text);
        startApp();
        EXPECT_EQ(state(), defaults) << text;
    }
    stopApp();
    file.replaceWithText("[Current]\nReceiveChannel=16\n"); // no channel: OMNI, shown as such
    startApp();
    EXPECT_EQ(state(), defaults);
}

// Where no control lies over it (the sockets), the face at 300 % is the drawing rendered at
// that scale pixel for pixel, not the picture at its own size stretched. A right click on the
// face opens the menu, which shows the current choices.
TEST_F(WindowScaleTest, theFaceIsDrawnAtTheScaleNotStretchedAndItsMenuShowsTheChoices) {
    startApp();
    const juce::Image ownSize = saveScreenshot(*window, "main_window_scale_100");
    controls().setScale(300);
    const juce::Image large = saveScreenshot(*window, "main_window_scale_300");
    ASSERT_EQ(large.getWidth(), 1950);
    EXPECT_GT(panel->getScalableBackground()->getRenderedScale(), 2.99f);
    const juce::Image expected =
        PictureAtScale(FaceDrawing::draw, FaceDrawing::WIDTH, FaceDrawing::HEIGHT).render(3.0f);
    const auto offset = panel->getScreenPosition() - window->getScreenPosition(); // the border
    int different = 0;
    for (int y = 355 * 3; y < 415 * 3; ++y)
        for (int x = 320 * 3; x < 480 * 3; ++x) {
            const juce::Colour a = large.getPixelAt(x + offset.x, y + offset.y);
            const juce::Colour b = expected.getPixelAt(x, y);
            if (std::abs(a.getRed() - b.getRed()) > 2 ||
                std::abs(a.getGreen() - b.getGreen()) > 2 ||
                std::abs(a.getBlue() - b.getBlue()) > 2)
                ++different;
        }
    EXPECT_EQ(different, 0);

    const juce::PopupMenu menu = controls().createMenu();
    std::map<int, juce::PopupMenu::Item> items;
    for (juce::PopupMenu::MenuItemIterator i(menu, true); i.next();)
        items[i.getItem().itemID] = i.getItem();
    ASSERT_EQ(items.count(WindowControls::scaleBase + 300), 1u);
    EXPECT_TRUE(items[WindowControls::scaleBase + 300].isTicked);
    EXPECT_FALSE(items[WindowControls::scaleBase + 350].isEnabled) << "does not fit the screen";
    EXPECT_FALSE(items[WindowControls::larger].isEnabled);
    auto modals = [] {
        return juce::ModalComponentManager::getInstance()->getNumModalComponents();
    };
    // A right click on the bare face, between the sockets and the selector.
    click({400, 440}, juce::ModifierKeys::rightButtonModifier);
    EXPECT_TRUE(pumpUntil([&] { return modals() > 0; }));
    juce::PopupMenu::dismissAllActiveMenus();
    EXPECT_TRUE(pumpUntil([&] { return modals() == 0; }));

    controls().perform(WindowControls::alwaysOnTop);
    EXPECT_TRUE(window->isAlwaysOnTop());
    controls().perform(WindowControls::scaleBase + 100);
    const juce::Image back = saveScreenshot(*window, "main_window_scale_back_to_100");
    EXPECT_EQ(back.getPixelAt(610, 20), ownSize.getPixelAt(610, 20));
    EXPECT_EQ(panel->getScalableBackground()->getRenderedScale(), 0.0f) << "image let go";
}

// Quitting stops this process's message loop: when the test program runs all tests at once,
// this one comes last.
TEST_F(WindowScaleTest, shortcutsOpenTheDialogsAndCloseQuitsLikeTheCloseButton) {
    startApp();
    auto opens = [this](int key, int modifiers, juce::DocumentWindow& dialog) {
        ModalScript close(dialog, [&dialog] { dialog.closeButtonPressed(); });
        EXPECT_TRUE(press(key, modifiers));
        EXPECT_TRUE(close.runUntilClosed()) << dialog.getName();
    };
    opens('p', juce::ModifierKeys::ctrlModifier, panel->getProgramDialog());
    opens('M', juce::ModifierKeys::ctrlModifier | juce::ModifierKeys::shiftModifier,
          panel->getPortDialog());
    EXPECT_TRUE(press('w'));
    EXPECT_TRUE(
        pumpUntil([] { return juce::MessageManager::getInstance()->hasStopMessageBeenSent(); }));
}

} // namespace
