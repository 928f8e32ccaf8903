#include "juce/common/OxContentBase.h"

#include "juce/common/JuceUtils.h"
#include "juce/common/OxWindow.h"
#include "juce/common/SystemUtils.h"

OxContentBase::OxContentBase() = default;

OxContentBase::~OxContentBase() {
    cancelPendingUpdate();
    if (auto* window = OxWindow::getInstance())
        window->removeMouseListener(this);
}

void OxContentBase::createComponents() {
    background = JuceUtils::getDrawable("background.png");
    if (background != nullptr) {
        preferredWidth = static_cast<int>(background->getDrawableBounds().getWidth());
        preferredHeight = static_cast<int>(background->getDrawableBounds().getHeight());
    }
    if (auto* window = OxWindow::getInstance())
        window->addMouseListener(this, false);
}

namespace {
// Opens its page through the system's opener, as every file the program opens.
class LinkArea : public juce::HyperlinkButton {
public:
    using juce::HyperlinkButton::HyperlinkButton;
    void clicked() override { Lk::OpenURL(Lk::StringFrom(getURL().toString(false))); }
};
} // namespace

juce::HyperlinkButton* OxContentBase::createLinkButton(const juce::String& url) {
    auto* link = new LinkArea(" ", juce::URL(url));
    link->setColour(juce::HyperlinkButton::textColourId, juce::Colours::transparentWhite);
    addAndMakeVisible(link);
    return link;
}

void OxContentBase::setScalableBackground(PictureAtScale::DrawFunction draw, int width,
                                          int height) {
    scalableBackground = std::make_unique<PictureAtScale>(std::move(draw), width, height);
    repaint();
}

bool OxContentBase::init(const juce::String&) {
    const Lk::OxString installed = Lk::checkApplicationInstallation();
    if (installed.isEmpty())
        return true;
    if (!Lk::ExecuteFile(installed, "", false))
        JuceUtils::FYI("Error restarting " +
                       Lk::JuceStringFrom(installed.extractFileNameWithoutExtension()) +
                       ".\nPlease start it manually.");
    return false;
}

bool OxContentBase::showWindowOnStart() {
    if (startMinimised)
        if (auto* window = OxWindow::getInstance())
            window->setMinimised(true);
    return true;
}

void OxContentBase::handleAsyncUpdate() {
    if (enableButtonsPending.exchange(false))
        enableButtons();
    if (repaintPending.exchange(false))
        repaint();
}

void OxContentBase::mouseDown(const juce::MouseEvent& e) {
    auto* window = OxWindow::getInstance();
    if (e.mods.isLeftButtonDown() && window != nullptr) {
        dragStartX = window->getX();
        dragStartY = window->getY();
    }
    juce::Component::mouseDown(e);
}

void OxContentBase::mouseDrag(const juce::MouseEvent& e) {
    moveWindowWithDrag(e);
    juce::Component::mouseDrag(e);
}

void OxContentBase::mouseUp(const juce::MouseEvent& e) {
    moveWindowWithDrag(e);
    if (e.mods.isLeftButtonDown()) {
        dragStartX = NO_DRAG;
        dragStartY = NO_DRAG;
    }
    juce::Component::mouseUp(e);
}

void OxContentBase::moveWindowWithDrag(const juce::MouseEvent& e) {
    auto* window = OxWindow::getInstance();
    if (dragStartX == NO_DRAG || window == nullptr)
        return;
    // Measured on the screen: the component moves with the window under the mouse.
    const auto travel = e.getScreenPosition() - e.getMouseDownScreenPosition();
    window->setTopLeftPosition(dragStartX + travel.x, dragStartY + travel.y);
}

void OxContentBase::mouseDoubleClick(const juce::MouseEvent& e) {
    auto* window = OxWindow::getInstance();
    if (window == nullptr || e.eventComponent != window) {
        juce::Component::mouseDoubleClick(e);
        return;
    }
    if (e.mods.isLeftButtonDown() && !e.mods.isRightButtonDown() &&
        e.y < window->getTitleBarHeight())
        window->setMinimised(true);
}

void OxContentBase::paint(juce::Graphics& g) {
    g.setOpacity(1.0f);
    auto* window = OxWindow::getInstance();
    if (window != nullptr && window->isBorderless())
        g.fillAll(juce::Colours::transparentWhite);
    if (background == nullptr)
        return;
    const bool atOwnScale = g.getInternalContext().getPhysicalPixelScaleFactor() == 1.0f;
    if (scalableBackground == nullptr || atOwnScale) {
        background->draw(g, 1.0f);
        if (scalableBackground != nullptr)
            scalableBackground->release();
        return;
    }
    scalableBackground->paint(g);
}
