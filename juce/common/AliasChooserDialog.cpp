#include "juce/common/AliasChooserDialog.h"

#include "juce/common/PortStateText.h"
#include "midi/MidiPortNames.h"

#include <algorithm>
#include <cmath>

namespace {
const juce::Colour PALE_YELLOW(255, 255, 179);
const juce::Colour DARK_RED(128, 8, 8);
const int ROW_HEIGHT = 24;
const int STATE_HEIGHT = 16;
const float STATE_FONT_HEIGHT = 13.0f;
const int MIN_ROW_WIDTH = 200;
const float TITLE_FONT_SCALE = 1.3f;
const juce::Colour FAILED_STATE(255, 190, 110); // a port that could not be opened
const int WEB_VIEW_INDENT = 24;                 // under the check box's text
const int ADDRESS_LABEL_WIDTH = 110;
const int ADDRESS_FIELD_WIDTH = 150;

juce::Colour stateColour(const Lk::MidiPortState& state) {
    const Lk::MidiPortStatus status = state.status;
    if (status == Lk::MidiPortStatus::open && !state.dropping)
        return juce::Colour(170, 235, 170);
    if (status == Lk::MidiPortStatus::pending || status == Lk::MidiPortStatus::open)
        return FAILED_STATE;
    return PALE_YELLOW.withAlpha(0.75f);
}
} // namespace

// ---- AliasCache ----

void AliasCache::init(Lk::TMidiAlias* a) {
    inAlias = a->type == Lk::atIn ? a : nullptr;
    outAlias = a->type == Lk::atIn ? nullptr : a;
    displayName = a->name;
}

std::unique_ptr<ComboBoxMidi> AliasCache::createComboBox(juce::Component* parent, int isInput,
                                                         int includeAssignToNone) {
    auto box = std::make_unique<ComboBoxMidi>(isInput);
    box->setIncludePendingDevices(1);
    box->setIncludeAssignToNone(includeAssignToNone);
    box->setOnlySelectIfOpen(0);
    box->setColour(juce::ComboBox::textColourId, PALE_YELLOW);
    box->setColour(juce::ComboBox::backgroundColourId, DARK_RED);
    parent->addChildComponent(box.get());
    return box;
}

std::unique_ptr<juce::Label> AliasCache::createStateLabel(juce::Component* parent) {
    std::unique_ptr<juce::Label> label(JuceUtils::createLabel({}));
    label->setFont(label->getFont().withHeight(STATE_FONT_HEIGHT));
    label->setMinimumHorizontalScale(1.0f); // a long error ends in "..."; the tooltip has it all
    label->setBorderSize(juce::BorderSize<int>(0, 3, 0, 3));
    parent->addChildComponent(label.get());
    return label;
}

void AliasCache::layout(juce::Component* parent, int& y, int& width, int isLast,
                        int includeAssignToNone) {
    if (nameLabel == nullptr) {
        nameLabel.reset(JuceUtils::createLabel({}));
        nameLabel->setFont(nameLabel->getFont().boldened());
        parent->addAndMakeVisible(nameLabel.get());
        separator = std::make_unique<SolidComponent>(juce::Colours::white);
        parent->addAndMakeVisible(separator.get());
        inputLabel.reset(JuceUtils::createLabel("INPUT:"));
        parent->addChildComponent(inputLabel.get());
        outputLabel.reset(JuceUtils::createLabel("OUTPUT:"));
        parent->addChildComponent(outputLabel.get());
        inputBox = createComboBox(parent, 1, includeAssignToNone);
        outputBox = createComboBox(parent, 0, includeAssignToNone);
        inputState = createStateLabel(parent);
        outputState = createStateLabel(parent);
        if (boxListener != nullptr) {
            inputBox->addListener(boxListener);
            outputBox->addListener(boxListener);
        }
    }
    if (width <= 0)
        return;
    width = std::max(width, MIN_ROW_WIDTH);
    nameLabel->setBounds(10, y, width - 20, ROW_HEIGHT);
    y += ROW_HEIGHT;
    if (inAlias != nullptr)
        layoutPort(*inputLabel, *inputBox, *inputState, y, width);
    if (outAlias != nullptr)
        layoutPort(*outputLabel, *outputBox, *outputState, y, width);
    y += 5;
    separator->setBounds(10, y, width - 20, 1);
    y += 5;
    bindPort(*inputLabel, *inputBox, *inputState, inAlias);
    bindPort(*outputLabel, *outputBox, *outputState, outAlias);
    separator->setVisible(!isLast);
}

void AliasCache::layoutPort(juce::Label& label, ComboBoxMidi& box, juce::Label& state, int& y,
                            int width) {
    label.setBounds(10, y, 60, ROW_HEIGHT);
    box.setBounds(75, y, width - 85, ROW_HEIGHT);
    y += ROW_HEIGHT;
    state.setBounds(75, y, width - 85, STATE_HEIGHT);
    y += STATE_HEIGHT;
}

void AliasCache::bindPort(juce::Label& label, ComboBoxMidi& box, juce::Label& state,
                          Lk::TMidiAlias* alias) {
    label.setVisible(alias != nullptr);
    box.setVisible(alias != nullptr);
    box.setAlias(alias);
    state.setVisible(alias != nullptr);
}

void AliasCache::display() {
    if (nameLabel == nullptr)
        return;
    nameLabel->setText(Lk::JuceStringFrom(displayName) + ":", juce::dontSendNotification);
    if (inAlias != nullptr)
        inputBox->display();
    if (outAlias != nullptr)
        outputBox->display();
    showPortStates();
}

void AliasCache::showPortStates() {
    if (nameLabel == nullptr)
        return;
    if (inAlias != nullptr)
        showPortState(*inputState, *inputBox, inAlias);
    if (outAlias != nullptr)
        showPortState(*outputState, *outputBox, outAlias);
}

void AliasCache::showPortState(juce::Label& label, ComboBoxMidi& box, Lk::TMidiAlias* alias) {
    const int isInput = alias->type == Lk::atIn;
    auto* manager = Lk::MidiManager::instance();
    Lk::OxString port;
    if (box.isChangedByUser()) {
        const int id = box.getSelectedId();
        port = id > 0 ? manager->GetDevName(id - 1, isInput) : Lk::OxString();
    } else {
        auto* aliases = Lk::TMidiAliasManager::instance();
        Lk::OxScopedLock hold(aliases->GetLock());
        port = alias->deviceName;
    }
    const Lk::MidiPortState state = manager->GetPortStateByName(port, isInput);
    const juce::String text = portStateText(state);
    label.setText(text, juce::dontSendNotification);
    label.setTooltip(text);
    label.setColour(juce::Label::textColourId, stateColour(state));
}

void AliasCache::commit() {
    if (inAlias != nullptr && inputBox->isChangedByUser())
        inputBox->commit();
    if (outAlias != nullptr && outputBox->isChangedByUser())
        outputBox->commit();
}

// ---- WebViewOption ----

WebViewOption::WebViewOption() {
    toggle.setColour(juce::ToggleButton::textColourId, PALE_YELLOW);
    toggle.setColour(juce::ToggleButton::tickColourId, PALE_YELLOW);
    toggle.setTooltip("A page that shows the display, live, to web browsers on this computer "
                      "or on the network: read-only, with no password.");
    addressLabel.setColour(juce::Label::textColourId, PALE_YELLOW);
    addressField.setColour(juce::TextEditor::textColourId, PALE_YELLOW);
    addressField.setColour(juce::TextEditor::backgroundColourId, DARK_RED.darker(0.5f));
    addressField.setColour(juce::TextEditor::outlineColourId, PALE_YELLOW.withAlpha(0.5f));
    addressField.setTextToShowWhenEmpty("8230", PALE_YELLOW.withAlpha(0.5f));
    addressField.setTooltip("A port (8230) for this computer only; an address and a port "
                            "(0.0.0.0:8230) for the devices on the network.");
    addressField.setInputRestrictions(260); // a host name and a port
    addAndMakeVisible(toggle);
    addAndMakeVisible(addressLabel);
    addAndMakeVisible(addressField);
    toggle.addListener(this);
    addressField.addListener(this);
}

void WebViewOption::show(bool on, const juce::String& address, Describe describe) {
    describer = std::move(describe);
    toggle.setToggleState(on, juce::dontSendNotification);
    addressField.setText(address, juce::dontSendNotification);
    this->describe();
}

void WebViewOption::describe() {
    note = describer ? describer(isOn(), getAddress()) : WebViewNote();
    repaint();
}

void WebViewOption::changed() {
    describe();
    if (onNoteChanged)
        onNoteChanged();
}

juce::TextLayout WebViewOption::noteLayout(int width) const {
    juce::AttributedString text(note.text);
    text.setFont(juce::Font(STATE_FONT_HEIGHT + 1.0f));
    text.setColour(note.failed ? FAILED_STATE : PALE_YELLOW);
    juce::TextLayout layout;
    layout.createLayout(text, static_cast<float>(width - WEB_VIEW_INDENT));
    return layout;
}

void WebViewOption::layout(int width) {
    toggle.setBounds(0, 0, width, ROW_HEIGHT);
    addressLabel.setBounds(WEB_VIEW_INDENT - 4, ROW_HEIGHT + 4, ADDRESS_LABEL_WIDTH, ROW_HEIGHT);
    addressField.setBounds(addressLabel.getRight(), ROW_HEIGHT + 4,
                           std::min(ADDRESS_FIELD_WIDTH, width - addressLabel.getRight()),
                           ROW_HEIGHT);
    const int noteTop = addressField.getBottom() + 6;
    setSize(width, noteTop + static_cast<int>(std::ceil(noteLayout(width).getHeight())));
}

void WebViewOption::paint(juce::Graphics& g) {
    const int noteTop = addressField.getBottom() + 6;
    noteLayout(getWidth())
        .draw(g, juce::Rectangle<int>(WEB_VIEW_INDENT, noteTop, getWidth() - WEB_VIEW_INDENT,
                                      getHeight() - noteTop)
                     .toFloat());
}

// ---- AliasChooserDialogContent ----

AliasChooserDialogContent::AliasChooserDialogContent(AliasChooserDialog& owner)
    : dialog(owner), viewed(new juce::Component()) {
    titleLabel.setText("MIDI Port Settings", juce::dontSendNotification);
    titleLabel.setJustificationType(juce::Justification::centred);
    titleLabel.setFont(titleLabel.getFont().boldened().withHeight(titleLabel.getFont().getHeight() *
                                                                  TITLE_FONT_SCALE));
    titleLabel.setColour(juce::Label::textColourId, PALE_YELLOW);
    addAndMakeVisible(titleLabel);
    noPortsLabel.setText("There are no MIDI ports selected.", juce::dontSendNotification);
    noPortsLabel.setJustificationType(juce::Justification::centred);
    noPortsLabel.setColour(juce::Label::textColourId, PALE_YELLOW);
    viewed->addChildComponent(noPortsLabel);
    startWithDesktopToggle.setButtonText("Start with the desktop session");
    startWithDesktopToggle.setTooltip("Starts the program when you log in (an entry in the "
                                      "desktop's autostart folder).");
    for (juce::ToggleButton* toggle : {&virtualInputToggle, &startWithDesktopToggle}) {
        toggle->setColour(juce::ToggleButton::textColourId, PALE_YELLOW);
        toggle->setColour(juce::ToggleButton::tickColourId, PALE_YELLOW);
        toggle->setColour(juce::ToggleButton::tickDisabledColourId, PALE_YELLOW);
        viewed->addChildComponent(*toggle);
    }
    serviceNotice.setColour(juce::Label::textColourId, juce::Colours::white);
    viewed->addChildComponent(serviceNotice);
    viewed->addChildComponent(webViewOption);
    webViewOption.onNoteChanged = [this] {
        display(0);
        dialog.fitContent(); // a longer line is read in full
    };
    viewport.setViewedComponent(viewed, true);
    viewport.setScrollBarsShown(true, false);
    addAndMakeVisible(viewport);
    addAndMakeVisible(separator);
    addAndMakeVisible(okButton);
    addAndMakeVisible(cancelButton);
    okButton.addListener(this);
    cancelButton.addListener(this);
    auto* manager = Lk::MidiManager::instance();
    manager->AddDevListChangeListener(this);
    manager->AddDeviceControlListener(this);
}

AliasChooserDialogContent::~AliasChooserDialogContent() {
    if (Lk::MidiManager::IsInstanceAllocated()) {
        auto* manager = Lk::MidiManager::instance();
        manager->RemoveDevListChangeListener(this);
        manager->RemoveDeviceControlListener(this);
    }
    cancelPendingUpdate();
    rows.clear();
    viewed->removeChildComponent(&noPortsLabel);
    viewed->removeChildComponent(&virtualInputToggle);
    viewed->removeChildComponent(&startWithDesktopToggle);
    viewed->removeChildComponent(&serviceNotice);
    viewed->removeChildComponent(&webViewOption);
}

void AliasChooserDialogContent::setAliases(const Lk::OxList<Lk::TMidiAlias*>& aliases) {
    if (aliases.getCount() == 0) {
        while (!rows.empty())
            rows.pop_back();
        return;
    }
    for (int i = 0; i < aliases.getCount(); ++i)
        aliases[i]->flags &= ~static_cast<uint32_t>(Lk::mafPaired);
    size_t used = 0;
    for (int i = 0; i < aliases.getCount(); ++i) {
        Lk::TMidiAlias* a = aliases[i];
        if (a->flags & Lk::mafPaired)
            continue;
        if (used == rows.size()) {
            rows.push_back(std::make_unique<AliasCache>());
            rows.back()->boxListener = this;
        }
        AliasCache& row = *rows[used++];
        Lk::TMidiAlias* partner = nullptr;
        for (int k = i + 1; k < aliases.getCount() && partner == nullptr; ++k)
            if (a->isInOutPairWith(aliases[k]))
                partner = aliases[k];
        if (partner == nullptr) {
            row.init(a);
            continue;
        }
        row.inAlias = a->type == Lk::atIn ? a : partner;
        row.outAlias = a->type == Lk::atIn ? partner : a;
        row.displayName = Lk::getNormalizedMIDIPortName(a->name, a->type == Lk::atIn);
        partner->flags |= Lk::mafPaired;
    }
    while (rows.size() > used)
        rows.pop_back();
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return AliasElementComparator::compareElements(a.get(), b.get()) < 0;
    });
}

void AliasChooserDialogContent::display(int reset) {
    const int W = getWidth();
    const int H = getHeight();
    if (W >= 1 && H >= 1) {
        titleLabel.setBounds(10, 10, W - 20, 40);
        separator.setBounds(10, H - 45, W - 20, 1);
        okButton.setBounds(W - 180, H - 40, 80, 30);
        cancelButton.setBounds(W - 90, H - 40, 80, 30);
        viewport.setBounds(0, 40, W, H - 90);
        if (reset)
            viewport.setViewPosition(0, 0);
    }
    if (reset) {
        const juce::String port = "\"" + dialog.virtualInputName + "\"";
        virtualInputToggle.setButtonText("Offer port " + port + " to other programs");
        virtualInputToggle.setTooltip("Other programs (a DAW, aplaymidi) can send to the MIDI "
                                      "port " +
                                      port + ": what arrives there is taken as MIDI input.");
        virtualInputToggle.setToggleState(dialog.virtualInputEnabled, juce::dontSendNotification);
        if (dialog.isStartingWithDesktop)
            startWithDesktopToggle.setToggleState(dialog.isStartingWithDesktop(),
                                                  juce::dontSendNotification);
        webViewOption.show(dialog.webViewEnabled, dialog.webViewAddress, dialog.describeWebView);
    }
    int y = 10;
    int w = W - viewport.getScrollBarThickness();
    serviceNotice.setText(currentServiceProblem(), juce::dontSendNotification);
    serviceNotice.setVisible(w >= 1 && serviceNotice.getText().isNotEmpty());
    if (serviceNotice.isVisible()) {
        serviceNotice.setBounds(10, y, w - 20, 2 * ROW_HEIGHT);
        y += 2 * ROW_HEIGHT + 10;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i]->layout(viewed, y, w, i + 1 == rows.size(), dialog.includeAssignToNone);
        if (reset)
            rows[i]->display();
    }
    if (w >= 1 && H >= 1) {
        noPortsLabel.setVisible(rows.empty());
        if (rows.empty()) {
            noPortsLabel.setBounds(10, y, w - 20, 40);
            y += 40;
        }
        layoutToggle(virtualInputToggle, dialog.virtualInputName.isNotEmpty(), y, w);
        layoutToggle(startWithDesktopToggle,
                     dialog.isStartingWithDesktop && dialog.setStartingWithDesktop, y, w);
        webViewOption.setVisible(dialog.describeWebView != nullptr);
        if (webViewOption.isVisible()) {
            webViewOption.setTopLeftPosition(10, y);
            webViewOption.layout(w - 20);
            y += webViewOption.getHeight() + 10;
        }
        viewed->setSize(w, y);
    }
}

void AliasChooserDialogContent::layoutToggle(juce::ToggleButton& toggle, bool shown, int& y,
                                             int width) {
    toggle.setVisible(shown);
    if (shown) {
        toggle.setBounds(10, y, width - 20, ROW_HEIGHT);
        y += ROW_HEIGHT + 10;
    }
}

juce::String AliasChooserDialogContent::currentServiceProblem() {
    return Lk::JuceStringFrom(Lk::MidiManager::instance()->GetServiceProblem());
}

void AliasChooserDialogContent::resized() {
    display(0);
}

void AliasChooserDialogContent::comboBoxMidiChanged(ComboBoxMidi*) {
    handleAsyncUpdate();
}

void AliasChooserDialogContent::handleAsyncUpdate() {
    for (auto& row : rows)
        row->showPortStates();
    if (serviceNotice.getText() != currentServiceProblem())
        display(0); // a sequencer came or went
}

void AliasChooserDialogContent::buttonClicked(juce::Button* button) {
    if (button == &okButton && dialog.describeWebView && webViewOption.getNote().invalid) {
        webViewOption.getAddressField().grabKeyboardFocus();
        return;
    }
    if (button == &okButton)
        commit();
    if (button == &okButton || button == &cancelButton)
        dialog.closeButtonPressed();
}

void AliasChooserDialogContent::commit() {
    auto* aliases = Lk::TMidiAliasManager::instance();
    aliases->BeginUpdate();
    try {
        for (auto& row : rows)
            row->commit();
    } catch (...) {
        aliases->EndUpdate();
        throw;
    }
    aliases->EndUpdate();
    commitVirtualInput();
    commitWebView();
    const bool startWithDesktop = startWithDesktopToggle.getToggleState();
    if (dialog.isStartingWithDesktop && dialog.setStartingWithDesktop &&
        startWithDesktop != dialog.isStartingWithDesktop())
        dialog.setStartingWithDesktop(startWithDesktop);
}

void AliasChooserDialogContent::commitVirtualInput() {
    const bool wanted = virtualInputToggle.getToggleState();
    if (dialog.virtualInputName.isEmpty() || wanted == dialog.virtualInputEnabled)
        return;
    dialog.virtualInputEnabled = wanted;
    if (dialog.onVirtualInputChanged)
        dialog.onVirtualInputChanged();
}

void AliasChooserDialogContent::commitWebView() {
    if (!dialog.describeWebView)
        return;
    dialog.webViewEnabled = webViewOption.isOn();
    dialog.webViewAddress = webViewOption.getAddress();
    if (dialog.onWebViewChosen)
        dialog.onWebViewChosen();
}

// ---- AliasChooserDialog ----

AliasChooserDialog::AliasChooserDialog(juce::Component* parent)
    : ABaseDialog("Fennic DOKA - MIDI Port Settings", parent, true) {
    setBackgroundColour(DARK_RED);
}

AliasChooserDialog::~AliasChooserDialog() {
    // Built by updateContent but never shown: the window does not own it yet.
    if (content != nullptr && getContentComponent() != content)
        delete content;
}

juce::Component* AliasChooserDialog::initContent() {
    if (content == nullptr)
        content = new AliasChooserDialogContent(*this);
    return content;
}

int AliasChooserDialog::getPreferredContentHeight() {
    // Fits what it holds until the user gives it a size; never taller than that needs.
    if (content != nullptr && content->getViewed().getHeight() > 0) {
        const int spare = content->getViewport().getHeight() - content->getViewed().getHeight();
        if (spare > 0 || !sizedByUser)
            return content->getHeight() - spare;
    }
    return preferredHeight;
}

void AliasChooserDialog::resized() {
    ABaseDialog::resized();
    // The content's size, not the window's: the dialog is placed by its content's size, and
    // the frame taken as content would make it grow by the frame at every opening.
    if (getWidth() >= 1 && content != nullptr && isVisible() && !fitting) {
        preferredWidth = content->getWidth();
        preferredHeight = content->getHeight();
        sizedByUser = true;
    }
}

void AliasChooserDialog::fitContent() {
    if (content == nullptr || !isVisible())
        return;
    const int hidden = content->getViewed().getHeight() - content->getViewport().getHeight();
    if (hidden <= 0)
        return;
    const juce::ScopedValueSetter<bool> resizing(fitting, true);
    setContentComponentSize(content->getWidth(), content->getHeight() + hidden);
}

bool AliasChooserDialog::shouldList(const Lk::TMidiAlias* a) const {
    if (a->type == Lk::atNone || a->name.isEmpty() || (a->flags & Lk::mafHidden))
        return false;
    return (a->type == Lk::atOut && includeOutputs) || (a->type == Lk::atIn && includeInputs);
}

void AliasChooserDialog::updateContent(bool) {
    if (content == nullptr)
        initContent();
    auto* aliases = Lk::TMidiAliasManager::instance();
    for (int i = 0; i < aliases->GetCount(); ++i) {
        Lk::TMidiAlias* a = aliases->GetAlias(i);
        if (a == nullptr || !shouldList(a))
            continue;
        Lk::OxScopedLock hold(aliases->GetLock());
        if (onlyUsedAliases ? (a->flags & Lk::mafUsed) != 0
                            : !a->name.equalsIgnoreCase(a->deviceName))
            aliasesToShow.addIfNotExists(a);
    }
    content->setAliases(aliasesToShow);
    aliasesToShow.clear();
}

void AliasChooserDialog::showTheDialog(bool reposition) {
    updateContent();
    if (getContentComponent() == nullptr)
        init();
    content->display(1);
    ABaseDialog::showTheDialog(reposition);
}
