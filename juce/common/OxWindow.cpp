#include "juce/common/OxWindow.h"

#include <exception>

namespace {
OxWindow* mainWindow = nullptr;
const float BORDERLESS_CORNER_RADIUS = 50.0f;
const int INITIAL_CONTENT_SIZE = 300;
} // namespace

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
    setContentOwned(content, false);
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
