#include "juce/common/ABaseDialog.h"

#include "juce/common/JuceUtils.h"

namespace {
const int FADE_MS = 100;
}

ABaseDialog::ABaseDialog(const juce::String& title, juce::Component* parentComponent, bool isModal)
    : juce::DialogWindow(title, juce::Colours::lightgrey, true, false), modal(isModal),
      parent(parentComponent) {}

ABaseDialog::~ABaseDialog() {
    cancelPendingUpdate();
}

void ABaseDialog::init() {
    setWindowResizable();
    setContentOwned(initContent(), false);
    reposition();
}

void ABaseDialog::reposition() {
    setContentComponentSize(getPreferredContentWidth(), getPreferredContentHeight());
    juce::Component* top = parent != nullptr ? parent->getTopLevelComponent() : nullptr;
    if (top == nullptr || top->getWidth() < 1 || top->getHeight() < 1)
        centreWithSize(getWidth(), getHeight());
    else
        JuceUtils::center(this, top);
}

void ABaseDialog::showTheDialog(bool doReposition) {
    if (doReposition)
        reposition();
    // The modal state ends when the window changes while it is hidden: create it before.
    if (!isOnDesktop())
        addToDesktop();
    if (modal && !isCurrentlyModal()) {
        // Entering the modal state shows the dialog through setVisible, so it fades in.
        runModalLoop();
        toFront(false);
        return;
    }
    setVisible(true);
    toFront(false);
}

void ABaseDialog::setVisible(bool visible) {
    if (visible && getContentComponent() == nullptr)
        init();
    if (inTransition) {
        juce::DialogWindow::setVisible(visible);
        return;
    }
    if (visible && !isVisible())
        showWindow();
    else if (!visible && isVisible())
        hideWindow();
}

bool ABaseDialog::mustDefer() const {
    // Without a message manager there is no window to touch nor a thread to leave it to.
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    return mm != nullptr && !mm->currentThreadHasLockedMessageManager();
}

void ABaseDialog::showWindow() {
    changeVisibility(Request::show);
}

void ABaseDialog::hideWindow() {
    changeVisibility(Request::hide);
}

void ABaseDialog::changeVisibility(Request request) {
    if (mustDefer()) {
        pendingRequest = request;
        triggerAsyncUpdate();
        return;
    }
    const bool show = request == Request::show;
    inTransition = true;
    auto& animator = juce::Desktop::getInstance().getAnimator();
    animator.cancelAnimation(this, false);
    // A native window exists only while the dialog is shown: a hidden one would still cost
    // the toolkit's work for every window. The fade-out draws its own copy of the dialog.
    if (show && !isOnDesktop())
        addToDesktop();
    if (show)
        animator.fadeIn(this, FADE_MS);
    else
        animator.fadeOut(this, FADE_MS);
    juce::DialogWindow::setVisible(show);
    if (!show) {
        exitModalState(0);
        removeFromDesktop();
    }
    inTransition = false;
}

void ABaseDialog::closeButtonPressed() {
    hideWindow();
}

void ABaseDialog::handleAsyncUpdate() {
    const Request request = pendingRequest.exchange(Request::none);
    if (request != Request::none)
        changeVisibility(request);
}
