#include "src/AppContentPanel.h"

#include "juce/common/DisplayScale.h"
#include "juce/common/JuceUtils.h"
#include "juce/common/OxWindow.h"
#include "juce/common/PortStateText.h"
#include "juce/common/SystemUtils.h"
#include "juce/face/FaceDrawing.h"
#include "midi/MidiRouter.h"
#include "platform/OrvoSystem.h"
#include "src/Autostart.h"
#include "src/CommandLineOptions.h"

#include <unistd.h>

namespace {

const char* const SECTION_CURRENT = "Current";
const char* const IDENT_RECEIVE_CHANNEL = "ReceiveChannel";
const char* const IDENT_VIRTUAL_PORT = "VirtualPort";
const char* const WEBSITE_LABEL = "www.fenniclabs.com";

const juce::Colour BUTTON_TEXT(254, 255, 179);
const juce::Colour DISPLAY_AMBER(255, 187, 0);
const float DISPLAY_FONT_HEIGHT = 130.0f;
const int TOOLTIP_DELAY_MS = 1500;
const int RECEIVE_CHANNELS = 16;

bool onMessageThread() {
    auto* mm = juce::MessageManager::getInstanceWithoutCreating();
    return mm != nullptr && mm->currentThreadHasLockedMessageManager();
}

} // namespace

namespace Lk {
bool fontExists(const OxString& name) {
    if (name.isEmpty())
        return false;
    return juce::Font::findAllTypefaceNames().contains(JuceStringFrom(name));
}
} // namespace Lk

AppContentPanel::AppContentPanel()
    : portDialog(this), programDialog(this, programNames),
      display(DisplayLines{"VERSION", DOKA_VERSION}) {
    portDialog.includeInputs = true;
    portDialog.includeOutputs = true;
    portDialog.onlyUsedAliases = false;
    portDialog.virtualInputName = VIRTUAL_PORT_NAME;
    portDialog.onVirtualInputChanged = [this] {
        virtualPortStored = portDialog.virtualInputEnabled;
        virtualPortThisRun = false;
        applyVirtualPort();
    };
    portDialog.isStartingWithDesktop = &Autostart::isOn;
    portDialog.setStartingWithDesktop = [](bool on) {
        const std::string failure = Autostart::set(on);
        if (!failure.empty())
            JuceUtils::ErrorDlg(failure);
    };
    portDialog.describeWebView = [this](bool on, const juce::String& address) {
        return webViewNote(on, address);
    };
    portDialog.onWebViewChosen = [this] { webViewChosen(); };
    Lk::TMidiAliasManager::instance()->setPersistenceEnabled(1);
    settingsFile = settingsFilePath();
}

Lk::OxString AppContentPanel::settingsFilePath() {
    return Lk::getSettingsFilePath(Lk::StringFrom(
        juce::File::getSpecialLocation(juce::File::currentExecutableFile).getFullPathName()));
}

AppContentPanel::~AppContentPanel() {
    startTimer.reset();
    Lk::OrvoSystem::shutdown();
}

OxContentBase* CreateContentPanel() {
    return new AppContentPanel();
}

void AppContentPanel::createComponents() {
    OxContentBase::createComponents();
    if (auto* window = OxWindow::getInstance())
        window->setTitleBarHeight(0);

    const juce::Rectangle<int> linkAreas[] = {
        {336, 16, 231, 77}, {25, 333, 280, 144}, {587, 334, 39, 25}};
    for (const auto& area : linkAreas) {
        auto* link = own(createLinkButton(PRODUCT_URL));
        link->setTooltip(WEBSITE_LABEL);
        link->setBounds(area);
    }

    for (auto [light, x] : {std::pair{&inputLight, FaceDrawing::IN_LIGHT_X},
                            std::pair{&thruLight, FaceDrawing::THRU_LIGHT_X}}) {
        light->setBounds(juce::Rectangle<int>(24, 24).withCentre({x, FaceDrawing::LIGHT_Y}));
        addAndMakeVisible(light);
    }

    line1Editor = createTextEditor(true, 21, 95, 600, 113);
    line2Editor = createTextEditor(false, 21, 208, 600, 113);
    const DisplayLines start = display.latest();
    line1Editor->setText(Lk::JuceStringFrom(start.line1), false);
    line2Editor->setText(Lk::JuceStringFrom(start.line2), false);
    webViewState.line1 = start.line1.c_str();
    webViewState.line2 = start.line2.c_str();

    selectDeviceButton = createButton({}, 56, 4, 123, 59, "Select MIDI device");
    selectDeviceButton2 = createButton({}, 482, 4, 114, 59, "Select MIDI device");
    programNamesButton = createButton({}, 21, 95, 600, 226, "Edit Program Names");
    programNamesButton->setConnectedEdges(
        juce::Button::ConnectedOnLeft | juce::Button::ConnectedOnRight |
        juce::Button::ConnectedOnTop | juce::Button::ConnectedOnBottom);
    closeButton = createButton({}, 593, 4, 41, 34, "Close");

    createChannelSelector();
    tooltips.setMillisecondsBeforeTipAppears(TOOLTIP_DELAY_MS);

    setScalableBackground(FaceDrawing::draw, FaceDrawing::WIDTH, FaceDrawing::HEIGHT);
    if (auto* window = findParentComponentOfClass<OxWindow>())
        windowControls = std::make_unique<WindowControls>(
            *window, *this,
            WindowControls::Buttons{
                programNamesButton, {selectDeviceButton, selectDeviceButton2}, closeButton});
}

juce::TextButton* AppContentPanel::createButton(const juce::String& text, int x, int y, int w,
                                                int h, const juce::String& tooltip) {
    auto* button = own(new juce::TextButton({}, tooltip));
    button->setButtonText(text);
    button->setBounds(x, y, w, h);
    button->setColour(juce::TextButton::buttonColourId, juce::Colours::transparentWhite);
    button->setColour(juce::TextButton::buttonOnColourId, juce::Colours::transparentWhite);
    const juce::Colour textColour =
        text.isNotEmpty() ? BUTTON_TEXT : juce::Colours::transparentWhite;
    button->setColour(juce::TextButton::textColourOnId, textColour);
    button->setColour(juce::TextButton::textColourOffId, textColour);
    addAndMakeVisible(button);
    button->addListener(this);
    return button;
}

juce::TextEditor* AppContentPanel::createTextEditor(bool firstLine, int x, int y, int w, int h) {
    auto* editor = own(new juce::TextEditor({}, 0));
    if (fontName.isEmpty())
        fontName = Lk::fontExists("Courier New") ? juce::String("Courier New")
                                                 : juce::Font::getDefaultMonospacedFontName();
    const juce::Font font(fontName, DISPLAY_FONT_HEIGHT, juce::Font::plain);
    editor->setFont(font.withHorizontalScale(1.0f).withExtraKerningFactor(0.0f));
    const int textWidth = font.getStringWidth("12345678");
    editor->setReadOnly(true);
    editor->setCaretVisible(false);
    editor->setColour(juce::TextEditor::textColourId, DISPLAY_AMBER);
    for (auto id : {juce::TextEditor::backgroundColourId, juce::TextEditor::outlineColourId,
                    juce::TextEditor::focusedOutlineColourId, juce::TextEditor::shadowColourId})
        editor->setColour(id, juce::Colours::transparentBlack);
    editor->setBounds(x + (w - textWidth) / 2 - 8, firstLine ? y + 8 : y - 8, w, h);
    addAndMakeVisible(editor);
    return editor;
}

void AppContentPanel::createChannelSelector() {
    channelSelector = own(new juce::ComboBox(juce::String()));
    channelSelector->setEditableText(false);
    channelSelector->addItem("OMNI", -1);
    for (int c = 1; c <= RECEIVE_CHANNELS; ++c)
        channelSelector->addItem("Channel " + juce::String(c), c);
    channelSelector->setBounds(540, 453, 110, 25);
    channelSelector->setSelectedItemIndex(0, juce::sendNotificationAsync);
    channelSelector->setTooltip("Receive Channel");
    for (auto id : {juce::ComboBox::backgroundColourId, juce::ComboBox::outlineColourId,
                    juce::ComboBox::buttonColourId, juce::ComboBox::arrowColourId})
        channelSelector->setColour(id, juce::Colours::transparentWhite);
    channelSelector->setColour(juce::ComboBox::textColourId, BUTTON_TEXT);
    addAndMakeVisible(channelSelector);
    channelSelector->addListener(this);
}

bool AppContentPanel::init(const juce::String& commandLine) {
    if (!OxContentBase::init(commandLine))
        return false;
    loadSettings();
    portDialog.init();
    portDialog.includeAssignToNone = false;
    const CommandLineOptions options = CommandLineOptions::parse(commandLine.toStdString());
    if (options.dump)
        dumpFile.open(DUMP_FILE_NAME);
    virtualPortThisRun = options.virtualPort;
    if (options.webView || !options.badWebView.empty())
        webViewChoice.setForThisRun(options.webView, options.webViewEndpoint);
    if (options.stats || options.printDisplay)
        standardOutput = std::make_unique<LineOutput>(STDOUT_FILENO);
    if (options.stats)
        statsPrinter =
            std::make_unique<ThruStatsPrinter>(*standardOutput, &AppContentPanel::currentThruStats,
                                               options.statsIntervalSeconds * 1000);
    if (options.printDisplay) {
        displayLog = std::make_unique<DisplayLogWriter>(*standardOutput);
        displayLog->shown(display.latest());
    }
    return true;
}

void AppContentPanel::start(bool s) {
    OxContentBase::start(s);
    auto* manager = Lk::MidiManager::instance();
    manager->SetDataListener(this);
    manager->AddDeviceControlListener(this);
    manager->AddDevListChangeListener(this);
    midiConnected = true;
    manager->RefreshDevList(0, 1);
    const Lk::OxString serviceProblem = manager->GetServiceProblem();
    if (serviceProblem.isNotEmpty())
        std::fprintf(stderr, "%s\n", serviceProblem.c_str());
    updateMIDIPorts();
    auto* aliases = Lk::TMidiAliasManager::instance();
    aliases->AddAliasChangeListener(this);
    Lk::TMidiAlias* input = aliases->GetAliasByName(ALIAS_INPUT, Lk::atIn, 0, -1);
    Lk::TMidiAlias* thru = aliases->GetAliasByName(ALIAS_THRU, Lk::atOut, 0, -1);
    Lk::TMidiRouter::instance()->AddRoute(input, thru);
    manager->SetSuspended(0);
    // The ports asked for while the manager was suspended were only marked pending.
    updateMIDIPorts();
    applyVirtualPort();
    applyWebView();
    lightsChanged();
    startTimer = std::make_unique<Lk::OxTimer>(this, START_TEXT_MS, 0, "StartText");
    startTimer->start();
}

void AppContentPanel::close() {
    webView.reset(); // its clients go before what it shows
    startTimer.reset();
    if (statsPrinter != nullptr)
        statsPrinter->finish();
    if (midiConnected && Lk::MidiManager::IsInstanceAllocated()) {
        // Nothing reaches the panel any more before the dump file goes.
        auto* manager = Lk::MidiManager::instance();
        manager->CloseVirtualInput();
        manager->SetDataListener(nullptr);
        manager->RemoveDeviceControlListener(this);
        manager->RemoveDevListChangeListener(this);
        if (Lk::TMidiAliasManager::IsInstanceAllocated())
            Lk::TMidiAliasManager::instance()->RemoveAliasChangeListener(this);
        midiConnected = false;
    }
    dumpFile.close();
    OxContentBase::close();
    if (settingsLoaded)
        saveSettings();
}

void AppContentPanel::loadSettings() {
    Lk::TIniFile ini(settingsFile);
    settingsFileRead = ini.ReadFromFileNoException();
    // The scale first: the position is restored for the window's size at that scale.
    int scale = DisplayScale::MIN_PERCENT;
    if (windowControls != nullptr) {
        windowControls->load(ini);
        scale = windowControls->getScale();
    }
    const auto size = DisplayScale::scaledSize({preferredWidth, preferredHeight}, scale);
    JuceUtils::loadWindowPosFromIni(this, ini, size.x, size.y);
    Lk::TMidiAliasManager::instance()->loadFromIniFile(ini);
    programNames.load(ini);
    selectReceiveChannel(ini.ReadInteger(SECTION_CURRENT, IDENT_RECEIVE_CHANNEL, receiveChannel,
                                         kReceiveChannelOmni, RECEIVE_CHANNELS - 1));
    virtualPortStored = ini.ReadInteger(SECTION_CURRENT, IDENT_VIRTUAL_PORT, 0, 0, 1) != 0;
    webViewChoice.load(ini);
    // Saved at close, the defaults would replace what the file holds.
    settingsLoaded = ini.unreadableReason().isEmpty();
    if (!settingsLoaded)
        std::fprintf(stderr,
                     "Cannot read the settings from %s (%s); they are not saved at close.\n",
                     settingsFile.c_str(), ini.unreadableReason().c_str());
}

void AppContentPanel::selectReceiveChannel(int channel) {
    // What is not a channel is OMNI, in the selector as in what the panel shows.
    receiveChannel = channel >= 0 && channel < RECEIVE_CHANNELS ? channel : kReceiveChannelOmni;
    if (channelSelector != nullptr)
        channelSelector->setSelectedItemIndex(receiveChannel + 1, juce::sendNotificationAsync);
}

bool AppContentPanel::saveSettings() {
    Lk::TIniFile ini(settingsFile);
    const bool read = ini.ReadFromFileNoException();
    JuceUtils::saveWindowPosToIni(this, ini);
    if (windowControls != nullptr)
        windowControls->save(ini);
    Lk::TMidiAliasManager::instance()->saveToIniFile(ini);
    programNames.save(ini, read && settingsFileRead);
    ini.WriteInteger(SECTION_CURRENT, IDENT_RECEIVE_CHANNEL, receiveChannel);
    ini.WriteInteger(SECTION_CURRENT, IDENT_VIRTUAL_PORT, virtualPortStored ? 1 : 0);
    webViewChoice.save(ini);
    if (ini.WriteToFile())
        return true;
    const Lk::OxString& why = ini.unreadableReason();
    std::fprintf(stderr, "Cannot save the settings to %s%s%s\n", settingsFile.c_str(),
                 why.isEmpty() ? "" : ": it cannot be read: ", why.c_str());
    return false;
}

void AppContentPanel::buttonClicked(juce::Button* button) {
    if (button == selectDeviceButton || button == selectDeviceButton2) {
        invokeMIDISettings();
    } else if (button == programNamesButton) {
        programDialog.showTheDialog(true);
        showProgram(currentProgram);
    } else if (button == closeButton) {
        juce::JUCEApplicationBase::quit();
    }
}

void AppContentPanel::invokeMIDISettings() {
    portDialog.showTheDialog(true);
    Lk::MidiManager::instance()->RefreshDevList(1, 1);
}

void AppContentPanel::applyVirtualPort() {
    const bool wanted = virtualPortStored || virtualPortThisRun;
    portDialog.virtualInputEnabled = wanted;
    if (!midiConnected)
        return;
    auto* manager = Lk::MidiManager::instance();
    if (!wanted) {
        manager->CloseVirtualInput();
    } else if (!manager->IsVirtualInputOpen()) {
        // What other programs send there takes the module's way: shown, and passed to the
        // thru port by the route of "MIDI Input". A failure reaches OnMidiErrorMessage.
        Lk::TMidiAlias* input =
            Lk::TMidiAliasManager::instance()->GetAliasByName(ALIAS_INPUT, Lk::atIn, 0, -1);
        manager->OpenVirtualInput(VIRTUAL_PORT_NAME, input, nullptr);
    }
}

void AppContentPanel::applyWebView() {
    const bool wanted = webViewChoice.isOn();
    const WebViewEndpoint& where = webViewChoice.endpoint();
    portDialog.webViewEnabled = wanted;
    portDialog.webViewAddress = juce::String::fromUTF8(where.toString().c_str());
    if (webView != nullptr && wanted && where.toString() == webViewServing.toString())
        return;
    webView.reset(); // a move frees the old port first
    webViewFailure.clear();
    if (!wanted)
        return;
    auto server = std::make_unique<WebViewServer>();
    webViewFailure = server->start(where);
    if (!webViewFailure.empty()) {
        std::fprintf(stderr, "%s\n", webViewFailure.c_str());
        return;
    }
    webView = std::move(server);
    webViewServing = where;
    webViewPublished = currentWebViewState();
    webView->publish(webViewPublished);
}

void AppContentPanel::webViewChosen() {
    WebViewEndpoint where; // the dialog lets only an address that parses through
    WebViewEndpoint::parse(portDialog.webViewAddress.toStdString(), where);
    // Unchanged, a view that runs on this run's choice stays with it, and one that could not
    // start is tried again.
    if (portDialog.webViewEnabled != webViewChoice.isOn() ||
        where.toString() != webViewChoice.endpoint().toString())
        webViewChoice.store(portDialog.webViewEnabled, where);
    applyWebView();
    if (!webViewFailure.empty())
        JuceUtils::ErrorDlg(juce::String::fromUTF8(webViewFailure.c_str()));
}

WebViewNote AppContentPanel::webViewNote(bool on, const juce::String& address) const {
    WebViewEndpoint where;
    if (!WebViewEndpoint::parse(address.toStdString(), where))
        return {"Write a port (8230), or an address and a port (0.0.0.0:8230).", true, true};
    const bool asChosen = where.toString() == webViewChoice.endpoint().toString();
    if (on && asChosen && !webViewFailure.empty())
        return {juce::String::fromUTF8(webViewFailure.c_str()), true, false};
    if (asChosen && webView != nullptr)
        where.port = webView->boundPort(); // the system's choice for port 0
    return {juce::String::fromUTF8(describeWebView(where).c_str())};
}

const WebViewState& AppContentPanel::currentWebViewState() {
    webViewState.program = currentProgram;
    webViewState.channel = receiveChannel;
    return webViewState;
}

void AppContentPanel::publishWebView() {
    if (webView == nullptr || currentWebViewState() == webViewPublished)
        return;
    webViewPublished = webViewState;
    webView->publish(webViewPublished);
}

Lk::MidiThruStats AppContentPanel::currentThruStats() {
    return Lk::MidiManager::IsInstanceAllocated() ? Lk::MidiManager::instance()->GetThruStats()
                                                  : Lk::MidiThruStats();
}

juce::String AppContentPanel::tooltipFor(juce::Component& c, const juce::String& tip,
                                         bool tipShowing) {
    // The display's editors lie under the Program Names button, which takes the pointer.
    // Under an open dialog the window shows no tips, the counters' neither.
    if ((&c != programNamesButton && &c != line1Editor && &c != line2Editor) ||
        c.isCurrentlyBlockedByAnotherModalComponent()) {
        statsTip.left();
        return tip;
    }
    const juce::String stats = juce::String::fromUTF8(statsTip.textFor(&c, tipShowing).c_str());
    return tip.isEmpty() ? stats : tip + "\n" + stats;
}

void AppContentPanel::comboBoxChanged(juce::ComboBox* box) {
    if (box != channelSelector)
        return;
    const int index = box->getSelectedItemIndex();
    receiveChannel = index >= 1 ? index - 1 : kReceiveChannelOmni;
    publishWebView();
}

void AppContentPanel::updateMIDIPorts() {
    auto* manager = Lk::MidiManager::instance();
    auto* aliases = Lk::TMidiAliasManager::instance();
    const struct {
        const char* name;
        Lk::TAliasType type;
    } directions[] = {{ALIAS_THRU, Lk::atOut}, {ALIAS_INPUT, Lk::atIn}};
    for (const auto& direction : directions) {
        const int isInput = direction.type == Lk::atIn;
        // Resolved here by the bound name rather than read from the alias's userID: the
        // alias-change listeners are told in no fixed order, so the manager may not have
        // resolved the alias anew yet.
        Lk::OxString device;
        if (Lk::TMidiAlias* alias =
                aliases->GetAliasByName(direction.name, direction.type, 1, -1)) {
            Lk::OxScopedLock hold(aliases->GetLock());
            device = alias->deviceName;
        }
        const int target =
            device.isEmpty() ? -1 : manager->GetDevIndexForAliasDevice(device, isInput);
        const int count = manager->GetDevCount(isInput);
        for (int i = 0; i < count; ++i) {
            if (i != target) {
                manager->Close(i, isInput, 0);
                continue;
            }
            const Lk::MidiPortStatus status = manager->GetPortState(i, isInput).status;
            if (status == Lk::MidiPortStatus::open)
                continue;
            // An absent port is only marked pending: the state line and the hint show it, and
            // it opens when it is plugged in. Reported in a box, it came back at every refresh.
            Lk::OxStringList absentReport;
            manager->Open(i, isInput,
                          status == Lk::MidiPortStatus::absent ? &absentReport : nullptr);
        }
    }
}

void AppContentPanel::OnMidiAliasListChanged() {
    lightsChanged();
    if (onMessageThread()) {
        updateMIDIPorts();
        return;
    }
    portsUpdatePending = true;
    triggerAsyncUpdate();
}

void AppContentPanel::OnMidiDeviceListChanged() {
    // A port that came back opens without an alias change; see to it on the message thread.
    portsUpdatePending = true;
    lightsChanged();
}

void AppContentPanel::OnMidiMessage(int, unsigned long long, const unsigned char* data, int length,
                                    int&) {
    inputLight.messagePassed();
    dumpFile.write(data, length);
    const DisplayEvent event = classifyDisplayMessage(data, length, receiveChannel);
    if (event.kind == DisplayEvent::Kind::showText)
        showText(event.lines.line1, event.lines.line2);
    else if (event.kind == DisplayEvent::Kind::showProgram)
        showProgram(event.program);
}

void AppContentPanel::showProgram(int program) {
    DisplayLines lines;
    if (!formatProgramLines(program, *programNames.get(), lines))
        return;
    showText(lines.line1, lines.line2);
    currentProgram = program;
    programForDialog = program;
    triggerAsyncUpdate();
}

void AppContentPanel::showText(Lk::OxString line1, Lk::OxString line2) {
    if (line1.isEmpty())
        line1 = " ";
    display.post(DisplayLines{line1, line2});
    triggerAsyncUpdate();
    currentProgram = -1;
}

void AppContentPanel::onTimer(Lk::OxTimer*) {
    // The timer thread holds no toolkit lock and must not wait for one: the message
    // thread decides.
    startCheckPending = true;
    triggerAsyncUpdate();
}

Lk::MidiPortState AppContentPanel::chosenPortState(bool input, Lk::OxString* port) const {
    auto* aliases = Lk::TMidiAliasManager::instance();
    Lk::OxString deviceName;
    if (Lk::TMidiAlias* alias = aliases->GetAliasByName(input ? ALIAS_INPUT : ALIAS_THRU,
                                                        input ? Lk::atIn : Lk::atOut, 0, -1)) {
        Lk::OxScopedLock hold(aliases->GetLock());
        deviceName = alias->deviceName;
    }
    if (port != nullptr)
        *port = deviceName;
    return Lk::MidiManager::instance()->GetPortStateByName(deviceName, input ? 1 : 0);
}

void AppContentPanel::lightsChanged() {
    lightsStale = true;
    triggerAsyncUpdate();
}

void AppContentPanel::updateLights() {
    for (bool input : {true, false}) {
        Lk::OxString port;
        const Lk::MidiPortState state = chosenPortState(input, &port);
        (input ? inputLight : thruLight).setState(Lk::JuceStringFrom(port), state);
        // Asked here, when a port changed, and not at every update: that takes the
        // manager's lock, which a refresh holds for a while.
        if (input)
            webViewState.input = portStateText(state).toStdString();
    }
}

void AppContentPanel::runStartCheck() {
    const Lk::MidiPortStatus input = chosenPortState(true).status;
    const bool present =
        input != Lk::MidiPortStatus::notChosen && input != Lk::MidiPortStatus::absent;
    if (display.replaceIfLine1StartsWith("VERSION", present ? DisplayLines{}
                                                            : DisplayLines{"SELECT", "DEVICE"}))
        currentProgram = -1;
}

void AppContentPanel::OnAfterOpenMidiDevice(int, int isInput) {
    // Which port opened is decided on the message thread, where the alias is read.
    if (isInput)
        inputOpened = true;
    lightsChanged();
}

void AppContentPanel::OnMidiErrorMessage(int, int, const Lk::OxString& text) {
    lightsChanged();
    JuceUtils::ErrorDlg(Lk::JuceStringFrom(text));
}

void AppContentPanel::handleAsyncUpdate() {
    if (startCheckPending.exchange(false))
        runStartCheck();
    if (inputOpened.exchange(false) && chosenPortState(true).status == Lk::MidiPortStatus::open)
        display.blankIfShowing("SELECT", "DEVICE");
    if (portsUpdatePending.exchange(false) && midiConnected)
        updateMIDIPorts();
    if (lightsStale.exchange(false) && midiConnected)
        updateLights();
    DisplayLines lines;
    if (display.take(lines) && line1Editor != nullptr) {
        line1Editor->setText(Lk::JuceStringFrom(lines.line1), false);
        line2Editor->setText(Lk::JuceStringFrom(lines.line2), false);
        if (displayLog != nullptr)
            displayLog->shown(lines);
        webViewState.line1 = lines.line1.c_str();
        webViewState.line2 = lines.line2.c_str();
    }
    publishWebView();
    const int program = programForDialog.exchange(-1);
    if (program >= 0)
        programDialog.setCurrentProgram(program);
    OxContentBase::handleAsyncUpdate();
}
