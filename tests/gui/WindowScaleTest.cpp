// The main window's scale, always-on-top and shortcuts. Runs on a 2048 x 1536 screen, on
// which the face fits up to 300 %.
#include "core/inifile/TIniFile.h"
#include "juce/common/DisplayScale.h"
#include "juce/face/FaceDrawing.h"
#include "src/AppContentPanel.h"
#include "src/AppMain.h"
#include "tests/gui/support/GuiTestSupport.h"

namespace {

const juce::Point<int> FACE{FaceDrawing::WIDTH, FaceDrawing::HEIGHT};

TEST(DisplayScale, stepsStopAtTheEndsAndStoredGarbageGivesOwnSize) {
    EXPECT_EQ(DisplayScale::larger(100), 150);
    EXPECT_EQ(DisplayScale::larger(350), 400);
    EXPECT_EQ(DisplayScale::larger(400), 400);
    EXPECT_EQ(DisplayScale::smaller(150), 100);
    EXPECT_EQ(DisplayScale::smaller(100), 100);
    // A hand-written value between the steps moves to the neighbouring step.
    EXPECT_EQ(DisplayScale::larger(175), 200);
    EXPECT_EQ(DisplayScale::smaller(175), 150);
    for (int garbage : {0, -100, 99, 401, 100000})
        EXPECT_EQ(DisplayScale::fromStored(garbage), 100) << garbage;
    EXPECT_EQ(DisplayScale::fromStored(250), 250);

    EXPECT_EQ(DisplayScale::scaledSize(FACE, 300), juce::Point<int>(1950, 1434));
    EXPECT_EQ(DisplayScale::largestFitting(400, FACE, {0, 0, 2048, 1536}), 300);
    EXPECT_EQ(DisplayScale::largestFitting(250, FACE, {0, 0, 3840, 2160}), 250);
    EXPECT_EQ(DisplayScale::largestFitting(400, FACE, {0, 0, 3840, 2160}), 400);
    // Not even the face's own size fits: that size all the same.
    EXPECT_EQ(DisplayScale::largestFitting(400, FACE, {0, 0, 640, 480}), 100);
}

float brightness(const juce::Image& image, int x, int y) {
    return image.getPixelAt(x, y).getPerceivedBrightness();
}

// The x at which the brightness along row y changes most from one pixel to the next.
int strongestEdge(const juce::Image& image, int y, int fromX, int toX) {
    int edge = fromX;
    float largest = 0.0f;
    for (int x = fromX; x < toX; ++x) {
        const float step = std::abs(brightness(image, x + 1, y) - brightness(image, x, y));
        if (step > largest) {
            largest = step;
            edge = x;
        }
    }
    return edge;
}

// How many pixels along row y, from one flat colour to another, lie between the two: at
// most one or two for a sharp edge, more for a stretched one.
int blurredPixelsAcrossEdge(const juce::Image& image, int y, int fromX, int toX) {
    float low = 1.0f, high = 0.0f;
    for (int x = fromX; x <= toX; ++x) {
        low = std::min(low, brightness(image, x, y));
        high = std::max(high, brightness(image, x, y));
    }
    int between = 0;
    for (int x = fromX; x <= toX; ++x) {
        const float level = (brightness(image, x, y) - low) / (high - low);
        if (level > 0.1f && level < 0.9f)
            ++between;
    }
    return between;
}

class WindowScaleTest : public MidiBackendFixture {
protected:
    void TearDown() override {
        window.reset();
        MidiBackendFixture::TearDown();
    }

    void startApp() {
        window = std::make_unique<AppWindow>("Fennic DOKA");
        window->init({}, true);
        panel = dynamic_cast<AppContentPanel*>(window->getContent());
        ASSERT_NE(panel, nullptr);
        controls = panel->getWindowControls();
        ASSERT_NE(controls, nullptr);
        ASSERT_TRUE(pumpUntil([this] { return panel->isStarted(); }));
    }
    void stopApp() {
        window.reset();
        panel = nullptr;
        controls = nullptr;
        Lk::OrvoSystem::shutdown();
        installBackend();
    }
    // A key as the window system delivers it to the window.
    bool press(int keyCode, int modifiers = juce::ModifierKeys::ctrlModifier) {
        return window->getPeer()->handleKeyPress(
            juce::KeyPress(keyCode, juce::ModifierKeys(modifiers), 0));
    }
    juce::File settingsFile() const {
        return juce::File(Lk::JuceStringFrom(panel->getSettingsFile()));
    }
    void storeSettings(const juce::File& file, const char* key, const char* value) {
        Lk::TIniFile ini(Lk::StringFrom(file.getFullPathName()));
        ini.ReadFromFileNoException();
        ini.WriteString("Current", key, value);
        ASSERT_TRUE(ini.WriteToFile());
    }
    juce::Rectangle<int> screenArea() const {
        return juce::Desktop::getInstance().getDisplays().getPrimaryDisplay()->userArea;
    }
    void expectScale(int percent) {
        EXPECT_EQ(controls->getScale(), percent);
        EXPECT_EQ(window->getBounds().getWidth(), FACE.x * percent / 100);
        EXPECT_EQ(window->getBounds().getHeight(), FACE.y * percent / 100);
        EXPECT_TRUE(screenArea().contains(window->getBounds())) << window->getBounds().toString();
        // Everything on the face grows with it: the invisible buttons and the selector.
        EXPECT_NEAR(panel->getCloseButton()->getScreenBounds().getWidth(), 41 * percent / 100, 1);
        EXPECT_NEAR(panel->getChannelSelector()->getScreenBounds().getWidth(), 110 * percent / 100,
                    1);
    }

    TemporaryHome home;
    std::unique_ptr<AppWindow> window;
    AppContentPanel* panel = nullptr;
    WindowControls* controls = nullptr;
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
    EXPECT_TRUE(press('+', juce::ModifierKeys::ctrlModifier | juce::ModifierKeys::shiftModifier));
    expectScale(200);
    EXPECT_TRUE(press(juce::KeyPress::numberPadAdd));
    expectScale(250);
    EXPECT_TRUE(press('='));
    expectScale(300);
    EXPECT_TRUE(press('=')); // 350 % would not fit the screen
    expectScale(300);

    EXPECT_TRUE(press('-'));
    expectScale(250);
    EXPECT_TRUE(press(juce::KeyPress::numberPadSubtract));
    expectScale(200);
    EXPECT_TRUE(press('0'));
    expectScale(100);
    EXPECT_TRUE(press('-'));
    expectScale(100);
    // Without Ctrl the keys are not ours.
    EXPECT_FALSE(press('=', 0));
    expectScale(100);
}

TEST_F(WindowScaleTest, scaleAndAlwaysOnTopAreSavedAndReadBackAndGarbageGivesOwnSize) {
    startApp();
    EXPECT_FALSE(controls->isAlwaysOnTop());
    press('=');
    press('=');
    EXPECT_TRUE(press('t'));
    EXPECT_TRUE(window->isAlwaysOnTop());
    window->setTopLeftPosition(300, 200);
    const juce::File file = settingsFile();
    stopApp();
    const juce::String saved = file.loadFileAsString();
    EXPECT_TRUE(saved.contains("DisplayScale=200")) << saved;
    EXPECT_TRUE(saved.contains("AlwaysOnTop=1")) << saved;

    startApp();
    expectScale(200);
    EXPECT_TRUE(window->isAlwaysOnTop());
    EXPECT_EQ(window->getPosition(), juce::Point<int>(300, 200));
    press('T');
    EXPECT_FALSE(window->isAlwaysOnTop());
    stopApp();
    EXPECT_TRUE(file.loadFileAsString().contains("AlwaysOnTop=0"));

    for (const char* garbage : {"abc", "99", "401", "-300", ""}) {
        storeSettings(file, "DisplayScale", garbage);
        startApp();
        expectScale(100);
        stopApp();
    }
    // Larger than the screen holds: the largest that fits, placed on the screen.
    storeSettings(file, "DisplayScale", "400");
    storeSettings(file, "MainLeft", "1800");
    storeSettings(file, "MainTop", "1400");
    startApp();
    expectScale(300);
}

TEST_F(WindowScaleTest, theFaceIsDrawnAtTheScaleNotStretched) {
    startApp();
    const juce::Image ownSize = saveScreenshot(*window, "main_window_scale_100");
    controls->setScale(300);
    const juce::Image large = saveScreenshot(*window, "main_window_scale_300");
    ASSERT_EQ(large.getWidth(), 1950);
    EXPECT_GT(panel->getScalableBackground()->getRenderedScale(), 2.99f);

    // The left side of the amber "D" on the model plate: what the picture stretched three
    // times would show, and what the window shows.
    const juce::Image stretched =
        ownSize.rescaled(1950, 1434, juce::Graphics::highResamplingQuality);
    const int edge = strongestEdge(ownSize, 380, 50, 100);
    const int row = 380 * 3 + 1, from = (edge - 4) * 3, to = (edge + 4) * 3;
    const int blurred = blurredPixelsAcrossEdge(stretched, row, from, to);
    const int shown = blurredPixelsAcrossEdge(large, row, from, to);
    EXPECT_LE(shown, 2);
    EXPECT_GE(blurred, 2 * shown + 2);
    // Where no control lies over it (the sockets), the face is the drawing at that scale.
    PictureAtScale drawing(FaceDrawing::draw, FaceDrawing::WIDTH, FaceDrawing::HEIGHT);
    const juce::Image expected = drawing.render(3.0f);
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

    controls->setScale(100);
    const juce::Image back = saveScreenshot(*window, "main_window_scale_back_to_100");
    EXPECT_EQ(back.getPixelAt(610, 20), ownSize.getPixelAt(610, 20));
    EXPECT_EQ(panel->getScalableBackground()->getRenderedScale(), 0.0f) << "image let go";
}

// Closes `dialog` from inside its modal loop once it runs one; `seen` tells that it did.
void closeWhenModal(juce::DocumentWindow& dialog, bool& seen) {
    whenIdle([&dialog, &seen] {
        if (!dialog.isCurrentlyModal() || !dialog.isVisible()) {
            closeWhenModal(dialog, seen);
            return;
        }
        seen = true;
        dialog.closeButtonPressed();
    });
}

TEST_F(WindowScaleTest, shortcutsOpenTheDialogsAndTheTooltipsNameThem) {
    startApp();
    EXPECT_EQ(panel->getProgramNamesButton()->getTooltip(), "Edit Program Names (Ctrl+P)");
    EXPECT_EQ(panel->getSelectDeviceButton()->getTooltip(), "Select MIDI device (Ctrl+M)");
    EXPECT_EQ(panel->getCloseButton()->getTooltip(), "Close (Ctrl+Q)");

    auto& programs = panel->getProgramDialog();
    bool programsShown = false;
    EXPECT_TRUE(press('p'));
    closeWhenModal(programs, programsShown);
    ASSERT_TRUE(pumpUntil([&] { return programsShown && !programs.isCurrentlyModal(); }));

    auto& ports = panel->getPortDialog();
    bool portsShown = false;
    EXPECT_TRUE(press('M', juce::ModifierKeys::ctrlModifier | juce::ModifierKeys::shiftModifier));
    closeWhenModal(ports, portsShown);
    ASSERT_TRUE(pumpUntil([&] { return portsShown && !ports.isCurrentlyModal(); }));
}

TEST_F(WindowScaleTest, rightClickOnTheFaceOpensTheMenuWithTheCurrentChoices) {
    startApp();
    controls->setScale(300);
    const juce::PopupMenu menu = controls->createMenu();
    std::map<int, const juce::PopupMenu::Item*> items;
    for (juce::PopupMenu::MenuItemIterator i(menu, true); i.next();)
        items[i.getItem().itemID] = &i.getItem();
    ASSERT_EQ(items.count(WindowControls::scaleBase + 300), 1u);
    EXPECT_TRUE(items[WindowControls::scaleBase + 300]->isTicked);
    EXPECT_FALSE(items[WindowControls::scaleBase + 350]->isEnabled) << "does not fit the screen";
    EXPECT_FALSE(items[WindowControls::larger]->isEnabled);
    EXPECT_EQ(items[WindowControls::programNames]->shortcutKeyDescription, "Ctrl+P");
    controls->perform(WindowControls::scaleBase + 150);
    EXPECT_EQ(controls->getScale(), 150);
    controls->perform(WindowControls::alwaysOnTop);
    EXPECT_TRUE(window->isAlwaysOnTop());

    // A right click on the bare face, between the sockets and the selector.
    const auto at = juce::Point<float>(400.0f, 440.0f) * 1.5f;
    auto* peer = window->getPeer();
    const auto now = juce::Time::currentTimeMillis();
    peer->handleMouseEvent(juce::MouseInputSource::InputSourceType::mouse, at,
                           juce::ModifierKeys(juce::ModifierKeys::rightButtonModifier),
                           juce::MouseInputSource::defaultPressure,
                           juce::MouseInputSource::defaultOrientation, now);
    EXPECT_TRUE(pumpUntil(
        [] { return juce::ModalComponentManager::getInstance()->getNumModalComponents() > 0; }));
    peer->handleMouseEvent(juce::MouseInputSource::InputSourceType::mouse, at, juce::ModifierKeys(),
                           juce::MouseInputSource::defaultPressure,
                           juce::MouseInputSource::defaultOrientation, now + 10);
    juce::PopupMenu::dismissAllActiveMenus();
    EXPECT_TRUE(pumpUntil(
        [] { return juce::ModalComponentManager::getInstance()->getNumModalComponents() == 0; }));
}

// Last: quitting stops this process's message loop.
TEST_F(WindowScaleTest, closeShortcutQuitsLikeTheCloseButton) {
    startApp();
    EXPECT_TRUE(press('w'));
    EXPECT_TRUE(
        pumpUntil([] { return juce::MessageManager::getInstance()->hasStopMessageBeenSent(); }));
}

} // namespace
