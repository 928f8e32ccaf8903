#include "juce/common/OxWindow.h"

#include "juce/common/DisplayScale.h"

#include <exception>

namespace {
OxWindow* mainWindow = nullptr;
const float BORDERLESS_CORNER_RADIUS = 50.0f;
const int INITIAL_CONTENT_SIZE = 300;
} // namespace

// Sits in the window's content slot, which lays out its content to the window's size and
// must not be transformed itself, and draws the content scaled: the content keeps its own
// coordinates, so its children, text and vector drawing come out sharp at any scale.
class OxWindow::ScaledHolder : public juce::Component {
public:
    explicit ScaledHolder(OxContentBase* c) : content(c) { addAndMakeVisible(content.get()); }

    void setScale(float newScale) {
        scale = newScale;
        resized();
    }
    void resized() override {
        content->setTransform(scale == 1.0f ? juce::AffineTransform()
                                            : juce::AffineTransform::scale(scale));
        content->setBounds(0, 0, juce::roundToInt(getWidth() / scale),
                           juce::roundToInt(getHeight() / scale));
    }

private:
    std::unique_ptr<OxContentBase> content;
    float scale = 1.0f;
};

OxWindow::OxWindow(const juce::String& name)
    : juce::DocumentWindow(name, juce::Colours::black,
                           juce::DocumentWindow::minimiseButton | juce::DocumentWindow::closeButton,
                           true) {
    if (mainWindow == nullptr)
        mainWindow = this;
}

OxWindow::~OxWindow() {
    stopTimer();
    cancelPendingUpdate();
    if (content != nullptr)
        content->close();
    if (mainWindow == this)
        mainWindow = nullptr;
}

OxWindow* OxWindow::getInstance() {
    return mainWindow;
}

void OxWindow::init(const juce::String& commandLine, bool isBorderless) {
    const juce::MessageManagerLock lock;
    try {
        borderless = isBorderless;
        initImpl(JuceUtils::cutProcessSerialNumberFromCommandLine(commandLine));
    } catch (const std::exception& e) {
        juce::AlertWindow::showMessageBox(juce::MessageBoxIconType::WarningIcon, "Fatal Error",
                                          juce::String("The following error occured:\n") +
                                              e.what() + "\nThis program will close now.");
        juce::JUCEApplicationBase::quit();
    }
}

void OxWindow::initImpl(const juce::String& commandLine) {
    content = createContentPanel();
    holder = new ScaledHolder(content);
    setContentOwned(holder, false);
    content->createComponents();
    content->enableButtons();
    const bool resizable = content->isResizable();
    setResizable(resizable, resizable);
    content->setSize(INITIAL_CONTENT_SIZE, INITIAL_CONTENT_SIZE);
    if (!content->init(commandLine)) {
        juce::JUCEApplicationBase::quit();
        return;
    }
    content->setSize(content->getPreferredWidth(), content->getPreferredHeight());
    if (borderless) {
        setUsingNativeTitleBar(false);
        setDropShadowEnabled(false);
        setBackgroundColour(juce::Colours::transparentWhite);
    }
    if (content->showWindowOnStart())
        setVisible(true);
    startPending = true;
    startTimer(START_DELAY_MS);
}

void OxWindow::anotherInstanceStarted(const juce::String& commandLine) {
    if (content != nullptr)
        content->anotherInstanceStarted(commandLine);
}

void OxWindow::run(void*, int) {
    if (content == nullptr)
        return;
    content->start(true);
    content->enableButtons();
}

void OxWindow::timerCallback() {
    if (!startPending)
        return;
    startPending = false;
    if (content != nullptr)
        JuceUtils::invokeLater(this);
    stopTimer();
}

void OxWindow::minimisationStateChanged(bool isNowMinimised) {
    if (content != nullptr)
        content->minimisationStateChanged(isNowMinimised);
}

void OxWindow::paint(juce::Graphics& g) {
    if (!borderless) {
        juce::DocumentWindow::paint(g);
        return;
    }
    g.setColour(juce::Colours::black);
    g.fillRoundedRectangle(0.0f, 0.0f, static_cast<float>(getWidth()),
                           static_cast<float>(getHeight()), BORDERLESS_CORNER_RADIUS);
}

void OxWindow::closeButtonPressed() {
    if (content == nullptr || content->canQuit())
        juce::JUCEApplicationBase::quit();
}

void OxWindow::hideWindow() {
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    const bool locked = mm != nullptr && mm->currentThreadHasLockedMessageManager();
    if (!locked && isOnDesktop()) {
        hidePending = true;
        triggerAsyncUpdate();
        return;
    }
    setVisible(false);
}

void OxWindow::toForegroundDirectly() {
    if (isMinimised())
        setMinimised(false);
    juce::Process::makeForegroundProcess();
    setVisible(true);
    toFront(true);
}

void OxWindow::handleAsyncUpdate() {
    if (hidePending.exchange(false))
        hideWindow();
}

void OxWindow::setContentScale(int percent) {
    scalePercent = DisplayScale::fromStored(percent);
    if (holder == nullptr)
        return;
    holder->setScale(static_cast<float>(scalePercent) / 100.0f);
    const auto size = getScaledSize(scalePercent);
    const auto area = getDisplayArea();
    // Inside the area where it fits; a window too large for it starts at its top-left.
    const int x =
        juce::jlimit(area.getX(), juce::jmax(area.getX(), area.getRight() - size.x), getX());
    const int y =
        juce::jlimit(area.getY(), juce::jmax(area.getY(), area.getBottom() - size.y), getY());
    setBounds(x, y, size.x, size.y);
}

juce::Point<int> OxWindow::getScaledSize(int percent) const {
    const juce::Point<int> own =
        content != nullptr
            ? juce::Point<int>(content->getPreferredWidth(), content->getPreferredHeight())
            : juce::Point<int>(getWidth(), getHeight());
    return DisplayScale::scaledSize(own, percent);
}

int OxWindow::getLargestFittingScale(int percent) const {
    return DisplayScale::largestFitting(percent, getScaledSize(100), getDisplayArea());
}

juce::Rectangle<int> OxWindow::getDisplayArea() const {
    const auto& displays = juce::Desktop::getInstance().getDisplays();
    const auto* display = displays.getDisplayForRect(getScreenBounds());
    if (display == nullptr)
        display = displays.getPrimaryDisplay();
    return display != nullptr ? display->userArea : juce::Rectangle<int>(0, 0, 1024, 768);
}
