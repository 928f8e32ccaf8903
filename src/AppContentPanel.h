#pragma once

#include "juce/common/ActivityLight.h"
#include "juce/common/AliasChooserDialog.h"
#include "juce/common/OxContentBase.h"
#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"
#include "platform/OxTimer.h"
#include "src/DisplayHandOver.h"
#include "src/DisplayLog.h"
#include "src/DumpFile.h"
#include "src/ProgramEditor.h"
#include "src/ProgramNames.h"
#include "src/ThruStats.h"
#include "src/WebViewChoice.h"
#include "src/WebViewServer.h"
#include "src/WindowControls.h"

#include <memory>
#include <vector>

// The main window's content: the display of the module, the invisible controls over the
// pictures of its buttons, the receive-channel selector, the two dialogs, the settings,
// and the connection to the MIDI library.
class AppContentPanel : public OxContentBase,
                        public juce::Button::Listener,
                        public juce::ComboBox::Listener,
                        public Lk::OxTimer::Listener,
                        public Lk::TMidiAliasChangeListener,
                        public Lk::TMidiDeviceListListener,
                        public Lk::MidiManagerDataListener,
                        public Lk::MidiManagerDeviceControlListener {
public:
    static constexpr int START_TEXT_MS = 5000;
    static constexpr const char* DUMP_FILE_NAME = "DOKA_dump.syx";
    static constexpr const char* ALIAS_INPUT = "MIDI Input";
    static constexpr const char* ALIAS_THRU = "MIDI Thru";
    // Our own input port, which other programs send the module's messages to.
    static constexpr const char* VIRTUAL_PORT_NAME = "DOKA Display";
    // The maker's page, which the maker's name and the model plate on the face open.
    static constexpr const char* PRODUCT_URL = "https://www.fenniclabs.com/products/doka";

    AppContentPanel();
    ~AppContentPanel() override;

    void createComponents() override;
    bool init(const juce::String& commandLine) override;
    void start(bool) override;
    void close() override;
    void handleAsyncUpdate() override;

    void buttonClicked(juce::Button* button) override;
    void comboBoxChanged(juce::ComboBox* box) override;
    void onTimer(Lk::OxTimer* timer) override;
    void OnMidiAliasListChanged() override;
    void OnMidiDeviceListChanged() override;
    void OnMidiMessage(int portIndex, unsigned long long timestamp, const unsigned char* data,
                       int length, int& handled) override;
    void OnMidiErrorMessage(int index, int isInput, const Lk::OxString& text) override;
    void OnAfterOpenMidiDevice(int index, int isInput) override;
    void OnAfterCloseMidiDevice(int, int) override { lightsChanged(); }
    void OnMidiPortStateChanged(int, int) override { lightsChanged(); }
    void OnMidiForwarded() override { thruLight.messagePassed(); }

    void showProgram(int program);
    void showText(Lk::OxString line1, Lk::OxString line2);
    void invokeMIDISettings();
    void updateMIDIPorts();
    // Opens or closes our own input port as the settings and the command line want it.
    void applyVirtualPort();
    // Starts, stops or moves the web view as the settings and the command line want it. A
    // start that fails is said on stderr; the program runs on without the view.
    void applyWebView();
    void loadSettings();
    bool saveSettings();

    // The settings file beside the program when there is one, else in the settings folder.
    static Lk::OxString settingsFilePath();

    // For tests and the settings: what the panel holds.
    const Lk::OxString& getSettingsFile() const { return settingsFile; }
    juce::TextEditor* getLine1Editor() const { return line1Editor; }
    juce::TextEditor* getLine2Editor() const { return line2Editor; }
    juce::ComboBox* getChannelSelector() const { return channelSelector; }
    juce::TextButton* getProgramNamesButton() const { return programNamesButton; }
    juce::TextButton* getCloseButton() const { return closeButton; }
    juce::TextButton* getSelectDeviceButton() const { return selectDeviceButton; }
    int getReceiveChannel() const { return receiveChannel.load(); }
    int getCurrentProgram() const { return currentProgram.load(); }
    ProgramNameTable& getProgramNames() { return programNames; }
    ProgramEditorDialog& getProgramDialog() { return programDialog; }
    AliasChooserDialog& getPortDialog() { return portDialog; }
    WindowControls* getWindowControls() const { return windowControls.get(); }
    bool isDumping() const { return dumpFile.isOpen(); }
    juce::TooltipWindow& getTooltipWindow() { return tooltips; }
    ActivityLight& getInputLight() { return inputLight; }
    ActivityLight& getThruLight() { return thruLight; }
    WebViewServer* getWebView() const { return webView.get(); } // nullptr when off

private:
    class TooltipWindowHeightCorrected : public juce::TooltipWindow {
    public:
        explicit TooltipWindowHeightCorrected(AppContentPanel& panel)
            : juce::TooltipWindow(nullptr, 700), panel(panel) {}
        void resized() override {}
        juce::String getTipFor(juce::Component& c) override {
            return panel.tooltipFor(c, juce::TooltipWindow::getTipFor(c), isVisible());
        }

    private:
        AppContentPanel& panel;
    };

    // Over the display, the thru counters follow the tip.
    juce::String tooltipFor(juce::Component& c, const juce::String& tip, bool tipShowing);
    // Zero before the MIDI library exists and after it has gone.
    static Lk::MidiThruStats currentThruStats();

    juce::TextButton* createButton(const juce::String& text, int x, int y, int w, int h,
                                   const juce::String& tooltip);
    juce::TextEditor* createTextEditor(bool firstLine, int x, int y, int w, int h);
    void createChannelSelector();
    void selectReceiveChannel(int channel);
    void runStartCheck();
    // What the port behind "MIDI Input" or "MIDI Thru" is doing now, and its name.
    Lk::MidiPortState chosenPortState(bool input, Lk::OxString* port = nullptr) const;
    // Any thread: the lights follow the ports' states on the message thread.
    void lightsChanged();
    void updateLights();
    // Message thread: the web view's clients get what the panel shows when it changed.
    void publishWebView();
    const WebViewState& currentWebViewState();
    // The line under the port dialog's web view choice.
    WebViewNote webViewNote(bool on, const juce::String& address) const;
    void webViewChosen();
    template <typename T> T* own(T* component) {
        components.emplace_back(component);
        return component;
    }

    juce::TextButton* selectDeviceButton = nullptr;
    juce::TextButton* selectDeviceButton2 = nullptr;
    juce::TextButton* programNamesButton = nullptr;
    juce::TextButton* closeButton = nullptr;
    juce::TextEditor* line1Editor = nullptr;
    juce::TextEditor* line2Editor = nullptr;
    ActivityLight inputLight{"MIDI IN", "a message arrives"};
    ActivityLight thruLight{"MIDI THRU", "a message is passed on"};
    juce::ComboBox* channelSelector = nullptr;
    juce::String fontName;
    std::vector<std::unique_ptr<juce::Component>> components;
    Lk::OxString settingsFile;
    AliasChooserDialog portDialog;
    ProgramNameTable programNames;
    ProgramEditorDialog programDialog;
    TooltipWindowHeightCorrected tooltips{*this};
    // Where "--stats" and "--print-display" write; after them, it takes their last lines.
    std::unique_ptr<LineOutput> standardOutput;
    // The thru counters: under the display's tooltip (message thread only), and on stdout
    // with "--stats".
    ThruStatsTip statsTip{&AppContentPanel::currentThruStats};
    std::unique_ptr<ThruStatsPrinter> statsPrinter;
    DumpFile dumpFile;
    DisplayHandOver display;
    // The scale, always on top and the shortcuts.
    std::unique_ptr<WindowControls> windowControls;
    std::unique_ptr<DisplayLogWriter> displayLog; // "--print-display"; message thread only
    // Written by the MIDI and timer threads, read on the message thread.
    std::atomic<int> receiveChannel{kReceiveChannelOmni};
    std::atomic<int> currentProgram{-1};
    std::atomic<int> programForDialog{-1};
    std::atomic<bool> startCheckPending{false};
    std::atomic<bool> portsUpdatePending{false};
    std::atomic<bool> inputOpened{false}; // set by the thread that opened an input
    std::atomic<bool> lightsStale{false};
    std::unique_ptr<Lk::OxTimer> startTimer;
    bool settingsLoaded = false;   // whether a save at close may replace the file
    bool settingsFileRead = false; // whether the names in it are known
    bool midiConnected = false;
    bool virtualPortStored = false;  // the choice kept in the settings
    bool virtualPortThisRun = false; // "--virtual-port", until the dialog changes the choice
    WebViewChoice webViewChoice;
    std::unique_ptr<WebViewServer> webView;
    WebViewEndpoint webViewServing;
    std::string webViewFailure;    // of the last start, for the port dialog
    WebViewState webViewState;     // what the panel shows, message thread only
    WebViewState webViewPublished; // what the clients were last given
};

OxContentBase* CreateContentPanel();
